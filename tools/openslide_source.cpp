/*
 * openslide_source.cpp - OpenSlide gives premultiplied ARGB; transparent
 * parts (outside a scanned area) become white, as an nvx slide's background.
 */
#include "tools/openslide_source.h"

#include <cmath>
#include <cstdlib>
#include <limits>
#include <stdexcept>
#include <vector>

namespace nvxmake {
namespace {

// Premultiplied ARGB over white, to packed RGB.
void ArgbToRgb(const uint32_t* argb, size_t count, uint8_t* rgb) {
    for (size_t i = 0; i < count; ++i) {
        const uint32_t p = argb[i];
        const uint32_t a = p >> 24;
        const uint32_t add = 255 - a;
        rgb[i * 3] = static_cast<uint8_t>(((p >> 16) & 0xff) + add);
        rgb[i * 3 + 1] = static_cast<uint8_t>(((p >> 8) & 0xff) + add);
        rgb[i * 3 + 2] = static_cast<uint8_t>((p & 0xff) + add);
    }
}

}  // namespace

OpenSlideSource::OpenSlideSource(const std::string& path) {
    slide_.reset(openslide_open(path.c_str()));
    if (!slide_) throw std::runtime_error("not a slide that OpenSlide can open: " + path);
    if (const char* err = openslide_get_error(slide_.get()))
        throw std::runtime_error("OpenSlide cannot read " + path + ": " + err);
    int64_t w = 0, h = 0;
    openslide_get_level0_dimensions(slide_.get(), &w, &h);
    if (w <= 0 || h <= 0 || w > std::numeric_limits<int32_t>::max() ||
        h > std::numeric_limits<int32_t>::max())
        throw std::runtime_error("slide size unusable: " + path);
    width_ = static_cast<uint32_t>(w);
    height_ = static_cast<uint32_t>(h);
}

bool OpenSlideSource::Read(uint32_t x, uint32_t y, uint32_t w, uint32_t h, uint8_t* rgb) const {
    std::vector<uint32_t> argb(size_t(w) * h);
    openslide_read_region(slide_.get(), argb.data(), x, y, 0, w, h);
    if (openslide_get_error(slide_.get()) != nullptr) return false;
    ArgbToRgb(argb.data(), argb.size(), rgb);
    return true;
}

std::optional<double> OpenSlideSource::Number(const char* property) const {
    const char* text = openslide_get_property_value(slide_.get(), property);
    if (text == nullptr) return std::nullopt;
    char* end = nullptr;
    const double v = std::strtod(text, &end);
    if (end == text || !std::isfinite(v) || v <= 0) return std::nullopt;
    return v;
}

std::optional<double> OpenSlideSource::ObjectivePower() const {
    return Number(OPENSLIDE_PROPERTY_NAME_OBJECTIVE_POWER);
}

std::optional<double> OpenSlideSource::MicronsPerPixel() const {
    return Number(OPENSLIDE_PROPERTY_NAME_MPP_X);
}

std::optional<RgbImage> OpenSlideSource::Associated(const char* name) const {
    int64_t w = -1, h = -1;
    openslide_get_associated_image_dimensions(slide_.get(), name, &w, &h);
    if (w <= 0 || h <= 0 || w > 65535 || h > 65535) return std::nullopt;
    std::vector<uint32_t> argb(size_t(w) * size_t(h));
    openslide_read_associated_image(slide_.get(), name, argb.data());
    if (openslide_get_error(slide_.get()) != nullptr) return std::nullopt;
    RgbImage img{uint32_t(w), uint32_t(h), std::vector<uint8_t>(argb.size() * 3)};
    ArgbToRgb(argb.data(), argb.size(), img.rgb.data());
    return img;
}

}  // namespace nvxmake
