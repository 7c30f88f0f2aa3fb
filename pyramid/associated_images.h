/*
 * associated_images.h - the three single-strip pictures beside the pyramid:
 * the thumbnail of the exported area, the label photograph and the macro
 * photograph of the whole slide. Each routine fetches one JPEG stream from
 * the slide library and writes it as one JPEG strip in a directory of its
 * own, sized from the stream's own header. The stream is decoded and the
 * strip encoded a row at a time, so a picture costs memory in proportion to
 * its width, not its area.
 *
 * A label or macro the slide does not have (no entry point, or the library
 * says it has none) leaves its directory out and is reported as missing.
 * One the library says the slide has but cannot read, or a stream it hands
 * over that does not decode or does not fit, is lost data, and so is a
 * thumbnail the slide does not give: every slide has the pixels for one.
 * What fails (memory that runs out, a tag or write libtiff refuses) fails
 * the run in its record, naming the work and the picture. Any buffer
 * received is still given back.
 */
#pragma once

#include <tiffio.h>

#include <cstdint>

#include "common/run_record.h"
#include "pyramid/output_format.h"
#include "pyramid/picture_stream.h"
#include "slide/library_binding.h"

namespace nvx::pyramid {

// Which of the label and the macro the slide has, as the library says
// before anything is written: the file's directory count depends on it.
struct PicturesOnSlide {
    slide::PictureStatus label = slide::PictureStatus::None;
    slide::PictureStatus macro = slide::PictureStatus::None;
};
// Only the pictures asked for are fetched; the others are None.
PicturesOnSlide FindPicturesOnSlide(slide::SlideHandle slide, bool label = true, bool macro = true);

// The thumbnail's request: the area halved together with the scale until
// both sides are below 2048, neither side below 1.
struct ThumbnailRequest {
    float scale = 0.0f;
    std::int32_t x = 0;
    std::int32_t y = 0;
    std::int32_t width = 0;
    std::int32_t height = 0;
};
ThumbnailRequest ReduceThumbnailRequest(float scanMagnification, std::int32_t x, std::int32_t y,
                                        std::int32_t width, std::int32_t height);
// Halves the request's area together with its scale, neither side below 1.
void HalveThumbnailRequest(ThumbnailRequest* request);

// Each picture is encoded at `quality`, RGB whatever the levels are: the
// pictures are small, and a label's coloured print and barcodes would blur
// with their colours at half resolution.
//
// Directory 2 with PageNumber (2, pageCount), fetched as `request` asks.
PictureResult WriteThumbnailDirectory(TIFF* tiff, slide::SlideHandle slide, std::int32_t pageCount,
                                      const ThumbnailRequest& request, RunRecord* record,
                                      int quality = kReducedQuality);
// The label with PageNumber (page, pageCount).
PictureResult WriteLabelDirectory(TIFF* tiff, slide::SlideHandle slide, std::int32_t page,
                                  std::int32_t pageCount, RunRecord* record,
                                  int quality = kFullQuality);
// The macro: the library's preview of the whole slide; no PageNumber.
PictureResult WriteMacroDirectory(TIFF* tiff, slide::SlideHandle slide, RunRecord* record,
                                  int quality = kFullQuality);

}  // namespace nvx::pyramid
