/*
 * associated_images.cpp - fetch, decode and write the thumbnail, label and
 * macro directories.
 *
 * Each picture goes from the library's stream to the file a row at a time:
 * libjpeg decodes one row, TIFFWriteScanline hands it to libtiff's JPEG
 * codec for the directory's one strip, and libtiff writes the encoded bytes
 * out whenever its strip buffer fills. The file's bytes are those of one
 * TIFFWriteEncodedStrip of the whole picture.
 */
#include "pyramid/associated_images.h"

#include <algorithm>
#include <functional>
#include <new>
#include <string>
#include <vector>

#include "pyramid/output_layout.h"
#include "slide/jpeg_row_decoder.h"

namespace nvx::pyramid {

namespace {

// libtiff's buffer for a strip's encoded bytes. Left to itself libtiff takes
// the size of the whole uncompressed strip.
constexpr tmsize_t kStripBufferBytes = tmsize_t{1} << 20;

// A picture's name and the work that may run out of memory, as fixed texts.
struct PictureWork {
    const char* name;
    const char* decoding;
    const char* writing;
};
// The thumbnail's pixels are made by the slide library, which may run out too.
constexpr const char* kFetchingThumbnail = "fetching the thumbnail picture";
constexpr PictureWork kThumbnailWork{"thumbnail", "decoding the thumbnail picture",
                                     "writing the thumbnail picture"};
constexpr PictureWork kLabelWork{"label", "decoding the label picture",
                                 "writing the label picture"};
constexpr PictureWork kMacroWork{"macro", "decoding the macro picture",
                                 "writing the macro picture"};

PictureResult DecodeFailed(const slide::JpegRowDecoder& decoder, const PictureWork& work,
                           WriteFaults* faults) {
    if (decoder.failure() != slide::JpegRowDecoder::Failure::OutOfMemory)
        return PictureResult::Lost;
    faults->NoteOutOfMemory(work.decoding);
    return PictureResult::OutOfMemory;
}

// Sets the directory's tags, passes the started decoder's rows into strip 0
// and closes the directory.
PictureResult WriteRows(TIFF* tiff, const PictureWork& work, slide::JpegRowDecoder* decoder,
                        const std::function<void(const JpegSize&)>& setTags, WriteFaults* faults) {
    const JpegSize size = decoder->size();
    std::vector<std::uint8_t> row(static_cast<std::size_t>(size.width) * 3);
    setTags(size);
    if (!TIFFWriteBufferSetup(tiff, nullptr, kStripBufferBytes)) {
        faults->NoteOutOfMemory(work.writing);
        return PictureResult::OutOfMemory;
    }
    for (std::int32_t y = 0; y < size.height; ++y) {
        if (!decoder->ReadRow(row.data())) return DecodeFailed(*decoder, work, faults);
        if (TIFFWriteScanline(tiff, row.data(), static_cast<std::uint32_t>(y), 0) < 0) {
            faults->NoteFailedWrite(std::string("the ") + work.name + " directory");
            return PictureResult::WriteFailed;
        }
    }
    if (!decoder->Finish()) return DecodeFailed(*decoder, work, faults);
    if (!TIFFWriteDirectory(tiff)) {
        faults->NoteFailedWrite(std::string("the ") + work.name + " directory");
        return PictureResult::WriteFailed;
    }
    return PictureResult::Written;
}

// Decodes `stream` into its own directory. `fits` may refuse the stream's
// size (the thumbnail must not be larger than asked for).
PictureResult WriteStream(TIFF* tiff, const PictureWork& work, const std::uint8_t* stream,
                          std::int32_t length, const std::function<bool(const JpegSize&)>& fits,
                          const std::function<void(const JpegSize&)>& setTags,
                          WriteFaults* faults) {
    if (stream == nullptr || length <= 0) return PictureResult::Lost;
    const char* doing = work.decoding;
    try {
        slide::JpegRowDecoder decoder(stream, static_cast<std::size_t>(length));
        if (!decoder.Start()) return DecodeFailed(decoder, work, faults);
        if (!fits(decoder.size())) return PictureResult::Lost;
        doing = work.writing;
        return WriteRows(tiff, work, &decoder, setTags, faults);
    } catch (const std::bad_alloc&) {
        faults->NoteOutOfMemory(doing);
        return PictureResult::OutOfMemory;
    }
}

bool AnySize(const JpegSize&) { return true; }

// A label or macro the library handed over: missing when the slide has none,
// lost when it cannot be read or does not decode, otherwise written with its
// own tags. Its size is the stream's own, so a size the library misreports
// can neither cut the picture off nor make us allocate for a picture that is
// not there.
PictureResult WriteLabelOrMacro(TIFF* tiff, const PictureWork& work,
                                const slide::FetchedPicture& picture,
                                const std::function<void(const JpegSize&)>& setTags,
                                WriteFaults* faults) {
    switch (picture.status) {
        case slide::PictureStatus::None:
            return PictureResult::Missing;
        case slide::PictureStatus::Unreadable:
            return PictureResult::Lost;
        case slide::PictureStatus::Delivered:
            break;
    }
    return WriteStream(tiff, work, picture.buffer.get(), picture.length, AnySize, setTags, faults);
}

}  // namespace

PicturesOnSlide FindPicturesOnSlide(slide::SlideHandle slide) {
    PicturesOnSlide pictures;
    pictures.label = slide::FetchLabel(slide).status;
    pictures.macro = slide::FetchPreview(slide).status;
    return pictures;
}

ThumbnailRequest ReduceThumbnailRequest(float scanMagnification, std::int32_t x, std::int32_t y,
                                        std::int32_t width, std::int32_t height) {
    ThumbnailRequest request{scanMagnification, x, y, width, height};
    // A side never halves below one pixel: a slide or region a few pixels
    // thin still has a thumbnail.
    while (request.width >= 2048 || request.height >= 2048) {
        request.scale *= 0.5f;
        request.x /= 2;
        request.y /= 2;
        request.width = std::max<std::int32_t>(1, request.width / 2);
        request.height = std::max<std::int32_t>(1, request.height / 2);
    }
    return request;
}

PictureResult WriteThumbnailDirectory(TIFF* tiff, slide::SlideHandle slide, std::int32_t pageCount,
                                      const ThumbnailRequest& request, WriteFaults* faults) {
    if (request.width <= 0 || request.height <= 0) return PictureResult::Lost;
    const slide::Fetched fetched = slide::FetchRegion(slide, request.scale, request.x, request.y,
                                                      request.width, request.height, 1);
    if (fetched.failure == slide::FetchFailure::OutOfMemory) {
        faults->NoteOutOfMemory(kFetchingThumbnail);
        return PictureResult::OutOfMemory;
    }
    // The stream may be no larger than the area asked for.
    const auto fits = [&request](const JpegSize& size) {
        return static_cast<std::int64_t>(size.width) * size.height <=
               static_cast<std::int64_t>(request.width) * request.height;
    };
    return WriteStream(
        tiff, kThumbnailWork, fetched.buffer.get(), fetched.length, fits,
        [&](const JpegSize& size) { SetThumbnailTags(tiff, pageCount, size.width, size.height); },
        faults);
}

PictureResult WriteLabelDirectory(TIFF* tiff, slide::SlideHandle slide, std::int32_t page,
                                  std::int32_t pageCount, WriteFaults* faults) {
    return WriteLabelOrMacro(
        tiff, kLabelWork, slide::FetchLabel(slide),
        [&](const JpegSize& size) { SetLabelTags(tiff, page, pageCount, size.width, size.height); },
        faults);
}

PictureResult WriteMacroDirectory(TIFF* tiff, slide::SlideHandle slide, WriteFaults* faults) {
    return WriteLabelOrMacro(
        tiff, kMacroWork, slide::FetchPreview(slide),
        [&](const JpegSize& size) { SetMacroTags(tiff, size.width, size.height); }, faults);
}

}  // namespace nvx::pyramid
