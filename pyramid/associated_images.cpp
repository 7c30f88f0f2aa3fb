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
#include <vector>

#include "pyramid/output_layout.h"
#include "slide/jpeg_row_decoder.h"

namespace nvx::pyramid {

namespace {

// libtiff's buffer for a strip's encoded bytes. Left to itself libtiff takes
// the size of the whole uncompressed strip.
constexpr tmsize_t kStripBufferBytes = tmsize_t{1} << 20;

PictureResult DecodeFailed(const slide::JpegRowDecoder& decoder, AssociatedPicture picture,
                           RunRecord* record) {
    if (decoder.failure() != slide::JpegRowDecoder::Failure::OutOfMemory)
        return PictureResult::Lost;
    record->Fail(Step::OfPicture(Stage::DecodingPicture, picture), Cause::OutOfMemory);
    return PictureResult::OutOfMemory;
}

PictureResult WriteFailed(Stage stage, AssociatedPicture picture, RunRecord* record) {
    record->Fail(Step::OfPicture(stage, picture));
    return PictureResult::WriteFailed;
}

// Sets the directory's tags, passes the started decoder's rows into strip 0
// and closes the directory.
PictureResult WriteRows(TIFF* tiff, AssociatedPicture picture, slide::JpegRowDecoder* decoder,
                        const std::function<bool(const JpegSize&)>& setTags, RunRecord* record) {
    const JpegSize size = decoder->size();
    std::vector<std::uint8_t> row(static_cast<std::size_t>(size.width) * 3);
    if (!setTags(size)) return WriteFailed(Stage::SettingPictureTags, picture, record);
    if (!TIFFWriteBufferSetup(tiff, nullptr, kStripBufferBytes)) {
        record->Fail(Step::OfPicture(Stage::WritingPicture, picture), Cause::OutOfMemory);
        return PictureResult::OutOfMemory;
    }
    for (std::int32_t y = 0; y < size.height; ++y) {
        if (!decoder->ReadRow(row.data())) return DecodeFailed(*decoder, picture, record);
        if (TIFFWriteScanline(tiff, row.data(), static_cast<std::uint32_t>(y), 0) < 0) {
            return WriteFailed(Stage::WritingPicture, picture, record);
        }
    }
    if (!decoder->Finish()) return DecodeFailed(*decoder, picture, record);
    if (!TIFFWriteDirectory(tiff)) return WriteFailed(Stage::WritingPicture, picture, record);
    return PictureResult::Written;
}

// Decodes `stream` into its own directory. `fits` may refuse the stream's
// size (the thumbnail must not be larger than asked for).
PictureResult WriteStream(TIFF* tiff, AssociatedPicture picture, const std::uint8_t* stream,
                          std::int32_t length, const std::function<bool(const JpegSize&)>& fits,
                          const std::function<bool(const JpegSize&)>& setTags, RunRecord* record) {
    if (stream == nullptr || length <= 0) return PictureResult::Lost;
    Stage doing = Stage::DecodingPicture;
    try {
        slide::JpegRowDecoder decoder(stream, static_cast<std::size_t>(length));
        if (!decoder.Start()) return DecodeFailed(decoder, picture, record);
        if (!fits(decoder.size())) return PictureResult::Lost;
        doing = Stage::WritingPicture;
        return WriteRows(tiff, picture, &decoder, setTags, record);
    } catch (const std::bad_alloc&) {
        record->Fail(Step::OfPicture(doing, picture), Cause::OutOfMemory);
        return PictureResult::OutOfMemory;
    }
}

bool AnySize(const JpegSize&) { return true; }

// A label or macro the library handed over: missing when the slide has none,
// lost when it cannot be read or does not decode, otherwise written with its
// own tags. Its size is the stream's own, so a size the library misreports
// can neither cut the picture off nor make us allocate for a picture that is
// not there.
PictureResult WriteLabelOrMacro(TIFF* tiff, AssociatedPicture which,
                                const slide::FetchedPicture& picture,
                                const std::function<bool(const JpegSize&)>& setTags,
                                RunRecord* record) {
    switch (picture.status) {
        case slide::PictureStatus::None:
            return PictureResult::Missing;
        case slide::PictureStatus::Unreadable:
            return PictureResult::Lost;
        case slide::PictureStatus::Delivered:
            break;
    }
    return WriteStream(tiff, which, picture.buffer.get(), picture.length, AnySize, setTags, record);
}

}  // namespace

PicturesOnSlide FindPicturesOnSlide(slide::SlideHandle slide, bool label, bool macro) {
    PicturesOnSlide pictures;
    if (label) pictures.label = slide::FetchLabel(slide).status;
    if (macro) pictures.macro = slide::FetchPreview(slide).status;
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
                                      const ThumbnailRequest& request, RunRecord* record,
                                      int quality) {
    if (request.width <= 0 || request.height <= 0) return PictureResult::Lost;
    const slide::Fetched fetched = slide::FetchRegion(slide, request.scale, request.x, request.y,
                                                      request.width, request.height, 1);
    if (fetched.failure == slide::FetchFailure::OutOfMemory) {
        record->Fail(Step::OfPicture(Stage::FetchingPicture, AssociatedPicture::Thumbnail),
                     Cause::OutOfMemory);
        return PictureResult::OutOfMemory;
    }
    // The stream may be no larger than the area asked for.
    const auto fits = [&request](const JpegSize& size) {
        return static_cast<std::int64_t>(size.width) * size.height <=
               static_cast<std::int64_t>(request.width) * request.height;
    };
    return WriteStream(
        tiff, AssociatedPicture::Thumbnail, fetched.buffer.get(), fetched.length, fits,
        [&](const JpegSize& size) {
            return SetThumbnailTags(tiff, pageCount, size.width, size.height, quality);
        },
        record);
}

PictureResult WriteLabelDirectory(TIFF* tiff, slide::SlideHandle slide, std::int32_t page,
                                  std::int32_t pageCount, RunRecord* record, int quality) {
    return WriteLabelOrMacro(
        tiff, AssociatedPicture::Label, slide::FetchLabel(slide),
        [&](const JpegSize& size) {
            return SetLabelTags(tiff, page, pageCount, size.width, size.height, quality);
        },
        record);
}

PictureResult WriteMacroDirectory(TIFF* tiff, slide::SlideHandle slide, RunRecord* record,
                                  int quality) {
    return WriteLabelOrMacro(
        tiff, AssociatedPicture::Macro, slide::FetchPreview(slide),
        [&](const JpegSize& size) { return SetMacroTags(tiff, size.width, size.height, quality); },
        record);
}

}  // namespace nvx::pyramid
