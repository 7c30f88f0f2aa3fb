/*
 * region_box.h - the area of a slide to convert, in full-resolution pixels:
 * the whole slide, or the user's region mapped onto it. The front end
 * settles it; the pyramid writer converts it.
 */
#pragma once

#include <cstdint>

namespace nvx::slide {

struct RegionBox {
    std::int32_t x = 0;
    std::int32_t y = 0;
    std::int32_t width = 0;
    std::int32_t height = 0;
};

}  // namespace nvx::slide
