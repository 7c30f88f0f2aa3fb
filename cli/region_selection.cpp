/*
 * region_selection.cpp - region mapping, its tests against the slide and
 * the cuts at the slide's edges.
 */
#include "cli/region_selection.h"

#include <cmath>

namespace nvx::cli {
namespace {

// Quotients are held to this size before they become integers; anything that
// large lies far off any slide, and the cast stays defined.
constexpr double kQuotientLimit = 4.0e18;

// value × M / Scale, the quotient truncated toward zero.
std::int64_t MapToFullResolution(std::int32_t value, std::int32_t magnification, double scale) {
    const std::int64_t product = std::int64_t(value) * std::int64_t(magnification);
    const double quotient = std::trunc(double(product) / scale);
    if (quotient >= kQuotientLimit) return std::int64_t(kQuotientLimit);
    if (quotient <= -kQuotientLimit) return -std::int64_t(kQuotientLimit);
    return static_cast<std::int64_t>(quotient);
}

}  // namespace

RegionSelection SelectRegion(const RunOptions& options, std::int32_t slideWidth,
                             std::int32_t slideHeight, std::int32_t scanMagnification) {
    RegionSelection selection;
    if (!IsRegionScale(options.scale)) {
        selection.accepted = true;
        selection.box = {0, 0, slideWidth, slideHeight};
        return selection;
    }
    selection.regionMode = true;

    std::int64_t x0 = MapToFullResolution(options.x, scanMagnification, options.scale);
    std::int64_t y0 = MapToFullResolution(options.y, scanMagnification, options.scale);
    std::int64_t w = MapToFullResolution(options.width, scanMagnification, options.scale);
    std::int64_t h = MapToFullResolution(options.height, scanMagnification, options.scale);

    const auto refuse = [&](console::Message problem) {
        selection.problem = problem;
        selection.mappedX = x0;
        selection.mappedY = y0;
        selection.mappedWidth = w;
        selection.mappedHeight = h;
        return selection;
    };
    if (x0 >= slideWidth) return refuse(console::Message::XBeyondSlide);
    if (y0 >= slideHeight) return refuse(console::Message::YBeyondSlide);
    // Cut at the near edges.
    if (x0 < 0) {
        w += x0;
        x0 = 0;
    }
    if (y0 < 0) {
        h += y0;
        y0 = 0;
    }
    if (w <= 0 || h <= 0) return refuse(console::Message::RegionMissing);
    // Cut at the far edges.
    if (x0 + w > slideWidth) w = slideWidth - x0;
    if (y0 + h > slideHeight) h = slideHeight - y0;

    selection.accepted = true;
    selection.box = {std::int32_t(x0), std::int32_t(y0), std::int32_t(w), std::int32_t(h)};
    return selection;
}

}  // namespace nvx::cli
