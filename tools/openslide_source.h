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
    bool Read(uint32_t x, uint32_t y, uint32_t w, uint32_t h, uint8_t* rgb) const override;
    std::optional<double> ObjectivePower() const override;
    std::optional<double> MicronsPerPixel() const override;
    std::optional<RgbImage> Label() const override { return Associated("label"); }
    std::optional<RgbImage> Macro() const override { return Associated("macro"); }

private:
    struct Closer {
        void operator()(openslide_t* s) const noexcept { openslide_close(s); }
    };
    std::optional<double> Number(const char* property) const;
    std::optional<RgbImage> Associated(const char* name) const;

    std::unique_ptr<openslide_t, Closer> slide_;
    uint32_t width_ = 0;
    uint32_t height_ = 0;
};

}  // namespace nvxmake
