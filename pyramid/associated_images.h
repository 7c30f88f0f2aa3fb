/*
 * associated_images.h - the three single-strip pictures beside the pyramid:
 * the thumbnail of the exported area, the label photograph and the macro
 * photograph of the whole slide. Each routine fetches one JPEG stream from
 * the slide library, decodes it, and writes it as one JPEG strip in a
 * directory of its own, sized from the stream's own header.
 *
 * A label or macro the library does not deliver (no entry point, no
 * buffer: the slide has none) leaves its directory out and is reported as
 * missing. A stream the library hands over that does not decode or does
 * not fit is lost data, and so is a thumbnail the slide does not give: every
 * slide has the pixels for one. Any buffer received is still given back.
 */
#pragma once

#include <tiffio.h>

#include <cstdint>

#include "pyramid/write_faults.h"
#include "slide/library_binding.h"

namespace nvx::pyramid {

enum class PictureResult {
    Written,
    Missing,      // left out: the slide has no such picture
    Lost,         // left out: the slide's picture could not be read
    WriteFailed,  // libtiff refused the strip or the directory (noted in the faults)
};

// The thumbnail's request: the area halved together with the scale until
// both sides are below 2048.
struct ThumbnailRequest {
    float scale = 0.0f;
    std::int32_t x = 0;
    std::int32_t y = 0;
    std::int32_t width = 0;
    std::int32_t height = 0;
};
ThumbnailRequest ReduceThumbnailRequest(float scanMagnification, std::int32_t x, std::int32_t y,
                                        std::int32_t width, std::int32_t height);

// Directory 2 with PageNumber (2, pageCount), fetched as `request` asks.
PictureResult WriteThumbnailDirectory(TIFF* tiff, slide::SlideHandle slide, std::int32_t pageCount,
                                      const ThumbnailRequest& request, WriteFaults* faults);
// The label with PageNumber (page, pageCount).
PictureResult WriteLabelDirectory(TIFF* tiff, slide::SlideHandle slide, std::int32_t page,
                                  std::int32_t pageCount, WriteFaults* faults);
// The macro: the library's preview of the whole slide; no PageNumber.
PictureResult WriteMacroDirectory(TIFF* tiff, slide::SlideHandle slide, WriteFaults* faults);

}  // namespace nvx::pyramid
