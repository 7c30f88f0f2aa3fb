/*
 * scale_mapping.cpp - choose the finest stored level no finer than needed
 * (the "next finer" level), so that reducing from it only ever averages.
 */
#include "nvxlib/scale_mapping.h"

#include <cmath>

namespace nvx {
namespace {
constexpr double kTolerance = 1e-5;
}

std::optional<ScaleMapping> MapScale(uint32_t width, uint32_t height, uint32_t scanMagnification,
                                     uint32_t levelCount, float scale) {
    if (!std::isfinite(scale) || scale <= 0 || levelCount == 0) return std::nullopt;
    double d = static_cast<double>(scanMagnification) / static_cast<double>(scale);
    if (d < 1 - kTolerance) return std::nullopt;  // finer than the scan
    if (std::fabs(d - std::round(d)) < kTolerance * d) d = std::round(d);
    if (d < 1) d = 1;

    ScaleMapping m;
    while (m.level + 1 < levelCount && std::ldexp(1.0, int(m.level) + 1) <= d * (1 + kTolerance))
        ++m.level;
    m.ratio = d / std::ldexp(1.0, int(m.level));
    if (std::fabs(m.ratio - 1) < kTolerance) {
        m.ratio = 1;
        m.stored = true;
    }
    m.width = static_cast<uint32_t>(std::floor(static_cast<double>(width) / d));
    m.height = static_cast<uint32_t>(std::floor(static_cast<double>(height) / d));
    if (m.stored) {  // exactly the stored level's size
        m.width = width >> m.level;
        m.height = height >> m.level;
    }
    return m;
}

}  // namespace nvx
