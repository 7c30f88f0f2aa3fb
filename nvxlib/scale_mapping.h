/*
 * scale_mapping.h - how a requested magnification maps onto the stored
 * levels. Scales arrive as 32-bit floats (40/3 is not exact), so every
 * comparison allows a small relative error.
 */
#pragma once

#include <cstdint>
#include <optional>

namespace nvx {

struct ScaleMapping {
    uint32_t level = 0;   // the stored level the pixels come from
    double ratio = 1;     // level pixels per pixel at the scale (>= 1)
    bool stored = false;  // the scale is exactly that stored level's
    uint32_t width = 0;   // slide size at the scale
    uint32_t height = 0;
};

// nullopt for a scale outside (0, scanMagnification] or not finite.
std::optional<ScaleMapping> MapScale(uint32_t width, uint32_t height, uint32_t scanMagnification,
                                     uint32_t levelCount, float scale);

}  // namespace nvx
