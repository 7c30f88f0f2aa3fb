/*
 * openslide_source.h - full-resolution pixels, objective power, microns per
 * pixel, label and macro of any slide that OpenSlide opens.
 */
#pragma once

#include <memory>
#include <string>

#include <openslide.h>

#include "tools/tile_source.h"

namespace nvxmake {

class OpenSlideSource final : public TileSource {
public:
    explicit OpenSlideSource(const std::string& path);  // throws std::runtime_error

    uint32_t width() const override { return width_; }
    uint32_t height() const override { return height_; }
    bool read(uint32_t x, uint32_t y, uint32_t w, uint32_t h, uint8_t* rgb) const override;
    std::optional<double> objectivePower() const override;
    std::optional<double> micronsPerPixel() const override;
    std::optional<RgbImage> label() const override { return associated("label"); }
    std::optional<RgbImage> macro() const override { return associated("macro"); }

private:
    struct Closer {
        void operator()(openslide_t* s) const noexcept { openslide_close(s); }
    };
    std::optional<double> number(const char* property) const;
    std::optional<RgbImage> associated(const char* name) const;

    std::unique_ptr<openslide_t, Closer> slide_;
    uint32_t width_ = 0;
    uint32_t height_ = 0;
};

}  // namespace nvxmake
