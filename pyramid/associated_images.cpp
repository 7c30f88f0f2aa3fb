/*
 * associated_images.cpp - fetch, decode and write the thumbnail, label and
 * macro directories.
 *
 * Each picture goes from the library's stream to the file a row at a time
 * (picture_stream.h): TIFFWriteScanline hands each decoded row to libtiff's
 * JPEG codec for the directory's one strip, and libtiff writes the encoded
 * bytes out whenever its strip buffer fills. The file's bytes are those of one
 * TIFFWriteEncodedStrip of the whole picture.
 */
#include "pyramid/associated_images.h"

#include <algorithm>
#include <functional>

#include "pyramid/output_layout.h"

namespace nvx::pyramid {

namespace {

// libtiff's buffer for a strip's encoded bytes. Left to itself libtiff takes
// the size of the whole uncompressed strip.
constexpr tmsize_t kStripBufferBytes = tmsize_t{1} << 20;

PictureResult WriteFailed(Stage stage, AssociatedPicture picture, RunRecord* record) {
    record->Fail(Step::OfPicture(stage, picture));
    return PictureResult::WriteFailed;
}

// A directory of its own: its tags, then the rows into strip 0 through
// libtiff's JPEG codec, then the directory closed.
class DirectorySink : public PictureSink {
public:
    DirectorySink(TIFF* tiff, AssociatedPicture picture,
                  const std::function<bool(const JpegSize&)>& setTags, RunRecord* record)
        : tiff_(tiff), picture_(picture), setTags_(setTags), record_(*record) {}

    PictureResult Begin(const JpegSize& size) override {
        if (!setTags_(size)) return WriteFailed(Stage::SettingPictureTags, picture_, &record_);
        if (!TIFFWriteBufferSetup(tiff_, nullptr, kStripBufferBytes)) {
            record_.Fail(Step::OfPicture(Stage::WritingPicture, picture_), Cause::OutOfMemory);
            return PictureResult::OutOfMemory;
        }
        return PictureResult::Written;
    }
    PictureResult Row(const std::uint8_t* rgb) override {
        if (TIFFWriteScanline(tiff_, const_cast<std::uint8_t*>(rgb), row_++, 0) < 0)
            return WriteFailed(Stage::WritingPicture, picture_, &record_);
        return PictureResult::Written;
    }
    PictureResult End() override {
        if (!TIFFWriteDirectory(tiff_))
            return WriteFailed(Stage::WritingPicture, picture_, &record_);
        return PictureResult::Written;
    }

private:
    TIFF* tiff_;
    AssociatedPicture picture_;
    const std::function<bool(const JpegSize&)>& setTags_;
    RunRecord& record_;
    std::uint32_t row_ = 0;
};

// Decodes `stream` into its own directory. `fits` may refuse the stream's
// size (the thumbnail must not be larger than asked for).
PictureResult WriteStream(TIFF* tiff, AssociatedPicture picture, const std::uint8_t* stream,
                          std::int32_t length, const std::function<bool(const JpegSize&)>& fits,
                          const std::function<bool(const JpegSize&)>& setTags, RunRecord* record) {
    DirectorySink sink(tiff, picture, setTags, record);
    return StreamPicture(picture, stream, length, fits, &sink, record);
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
    while (request.width >= 2048 || request.height >= 2048) HalveThumbnailRequest(&request);
    return request;
}

void HalveThumbnailRequest(ThumbnailRequest* request) {
    request->scale *= 0.5f;
    request->x /= 2;
    request->y /= 2;
    request->width = std::max<std::int32_t>(1, request->width / 2);
    request->height = std::max<std::int32_t>(1, request->height / 2);
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
