/*
 * associated_images.cpp - fetch, decode and write the thumbnail, label and
 * macro directories.
 */
#include "pyramid/associated_images.h"

#include <functional>
#include <string>
#include <vector>

#include "pyramid/output_layout.h"
#include "slide/jpeg_decode.h"

namespace nvx::pyramid {

namespace {

// Decodes the thumbnail's stream into at most `capacity` bytes, the size the
// region was asked for. False when nothing usable came.
bool DecodeThumbnail(const slide::LibraryBuffer& buffer, std::int32_t length, std::size_t capacity,
                     std::vector<std::uint8_t>* pixels, JpegSize* size) {
    if (!buffer || length <= 0 || capacity == 0) return false;
    pixels->assign(capacity, 0);
    return slide::DecodeJpegToRgb(buffer.get(), static_cast<std::size_t>(length), pixels->data(),
                                  pixels->size(), size) &&
           size->width > 0 && size->height > 0;
}

// Sets the directory's tags, writes strip 0 and closes the directory.
PictureResult WriteStripDirectory(TIFF* tiff, const char* what, std::vector<std::uint8_t>* pixels,
                                  const JpegSize& size, const std::function<void()>& setTags,
                                  WriteFaults* faults) {
    setTags();
    const tmsize_t bytes = static_cast<tmsize_t>(size.width) * size.height * 3;
    const bool stripWritten = TIFFWriteEncodedStrip(tiff, 0, pixels->data(), bytes) >= 0;
    const bool directoryWritten = TIFFWriteDirectory(tiff) != 0;
    if (stripWritten && directoryWritten) return PictureResult::Written;
    faults->NoteFailedWrite(std::string("the ") + what + " directory");
    return PictureResult::WriteFailed;
}

// A label or macro is decoded at the size its stream's own header gives, so
// a size the library misreports can neither cut the picture off nor make us
// allocate for a picture that is not there.
bool DecodeLabelOrMacro(const slide::FetchedPicture& picture, std::vector<std::uint8_t>* pixels,
                        JpegSize* size) {
    return picture.buffer && picture.length > 0 &&
           slide::DecodeJpegToRgb(picture.buffer.get(), static_cast<std::size_t>(picture.length),
                                  pixels, size);
}

}  // namespace

ThumbnailRequest ReduceThumbnailRequest(float scanMagnification, std::int32_t x, std::int32_t y,
                                        std::int32_t width, std::int32_t height) {
    ThumbnailRequest request{scanMagnification, x, y, width, height};
    while (request.width >= 2048 || request.height >= 2048) {
        request.scale *= 0.5f;
        request.x /= 2;
        request.y /= 2;
        request.width /= 2;
        request.height /= 2;
    }
    return request;
}

PictureResult WriteThumbnailDirectory(TIFF* tiff, slide::SlideHandle slide, std::int32_t pageCount,
                                      const ThumbnailRequest& request, WriteFaults* faults) {
    PictureResult result = PictureResult::Lost;
    {
        slide::Fetched fetched = slide::FetchRegion(slide, request.scale, request.x, request.y,
                                                    request.width, request.height, 1);
        std::vector<std::uint8_t> pixels;
        JpegSize size;
        const std::size_t capacity =
            request.width > 0 && request.height > 0
                ? static_cast<std::size_t>(request.width) * request.height * 3
                : 0;
        if (DecodeThumbnail(fetched.buffer, fetched.length, capacity, &pixels, &size)) {
            fetched.buffer.reset();
            result = WriteStripDirectory(
                tiff, "thumbnail", &pixels, size,
                [&] { SetThumbnailTags(tiff, pageCount, size.width, size.height); }, faults);
        }
    }
    return result;
}

namespace {

// A label or macro the library handed over: missing when nothing came, lost
// when what came does not decode, otherwise written with its own tags.
PictureResult WriteLabelOrMacro(TIFF* tiff, const char* what, slide::FetchedPicture picture,
                                const std::function<void(const JpegSize&)>& setTags,
                                WriteFaults* faults) {
    if (!picture.buffer) return PictureResult::Missing;
    std::vector<std::uint8_t> pixels;
    JpegSize size;
    if (!DecodeLabelOrMacro(picture, &pixels, &size)) return PictureResult::Lost;
    picture.buffer.reset();
    return WriteStripDirectory(
        tiff, what, &pixels, size, [&] { setTags(size); }, faults);
}

}  // namespace

PictureResult WriteLabelDirectory(TIFF* tiff, slide::SlideHandle slide, std::int32_t page,
                                  std::int32_t pageCount, WriteFaults* faults) {
    return WriteLabelOrMacro(
        tiff, "label", slide::FetchLabel(slide),
        [&](const JpegSize& size) { SetLabelTags(tiff, page, pageCount, size.width, size.height); },
        faults);
}

PictureResult WriteMacroDirectory(TIFF* tiff, slide::SlideHandle slide, WriteFaults* faults) {
    return WriteLabelOrMacro(
        tiff, "macro", slide::FetchPreview(slide),
        [&](const JpegSize& size) { SetMacroTags(tiff, size.width, size.height); }, faults);
}

}  // namespace nvx::pyramid
