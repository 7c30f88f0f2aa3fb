/*
 * conversion_driver.h - turns an open slide and a settled export box into the
 * finished pyramid TIFF: plans the directories, writes every pyramid level
 * with its tile workers, the thumbnail, label and macro, closes the file and
 * the slide, and returns the run's exit status.
 */
#pragma once

#include <cstdint>
#include <string>

#include "slide/slide_library.h"

namespace nvx::pyramid {

// The area to convert, in full-resolution pixels.
struct RegionBox {
    std::int32_t x = 0;
    std::int32_t y = 0;
    std::int32_t width = 0;
    std::int32_t height = 0;
};

// Everything the front end hands over once the slide is open and the box set.
struct ConversionJob {
    std::string inputPath;   // the input slide's path (to refuse overwriting it)
    std::string outputPath;  // after '?' has become ' '
    slide::SlideHandle slide = 0;
    slide::SlideInfo info;
    RegionBox box;
    std::int32_t layers = 0;  // 1..9 in whole-slide mode, 9 in region mode
    double scale = 0.0;       // the region's Scale; 0 in whole-slide mode
    bool regionMode = false;
    int startupStatus = 0;  // 0, or 1 when the application framework failed to start
};

// Runs the conversion. The slide is open on entry; it is closed and the slide
// library unloaded on every path that returns.
int ConvertSlide(const ConversionJob& job);

}  // namespace nvx::pyramid
