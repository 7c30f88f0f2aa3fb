/*
 * tile_source.h - where nvxmake takes full-resolution pixels from: a
 * synthetic tissue generator, a slide OpenSlide opens, or a JPEG picture.
 * Sources are read from several threads at once.
 */
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace nvxmake {

struct RgbImage {
    uint32_t width = 0;
    uint32_t height = 0;
    std::vector<uint8_t> rgb;  // packed, rows top down
};

class TileSource {
public:
    virtual ~TileSource() = default;
    virtual uint32_t width() const = 0;
    virtual uint32_t height() const = 0;

    // Fills rgb (w * h * 3 bytes) with the rectangle; false on a read error.
    virtual bool Read(uint32_t x, uint32_t y, uint32_t w, uint32_t h, uint8_t* rgb) const = 0;

    // True when the rectangle is certainly plain white, known without reading.
    virtual bool KnownBlank(uint32_t, uint32_t, uint32_t, uint32_t) const { return false; }

    // What the source records about itself, when it does.
    virtual std::optional<double> ObjectivePower() const { return std::nullopt; }
    virtual std::optional<double> MicronsPerPixel() const { return std::nullopt; }
    virtual std::optional<RgbImage> Label() const { return std::nullopt; }
    virtual std::optional<RgbImage> Macro() const { return std::nullopt; }
};

}  // namespace nvxmake
