/*
 * region_selection.h - turns the user's region, measured at a magnification
 * of their choosing, into a box of full-resolution pixels on the slide.
 */
#pragma once

#include <cstdint>

#include "cli/console.h"
#include "cli/run_options.h"
#include "slide/region_box.h"

namespace nvx::cli {

struct RegionSelection {
    bool accepted = false;
    console::Message problem = console::Message::RegionMissing;  // when not accepted
    slide::RegionBox box;
    bool regionMode = false;
    // When not accepted: the region in full-resolution pixels as far as it
    // was mapped and cut, and the slide's size, for the reason.
    std::int64_t mappedX = 0, mappedY = 0, mappedWidth = 0, mappedHeight = 0;
};

// Maps the region of `options` onto a slide of the given size and scan
// magnification. Whole-slide runs (Scale not in (0, 80]) get the whole slide.
// All arithmetic is done in 64 bits: no product or quotient can wrap.
RegionSelection SelectRegion(const RunOptions& options, std::int32_t slideWidth,
                             std::int32_t slideHeight, std::int32_t scanMagnification);

}  // namespace nvx::cli
