/*
 * jpeg_picture_source.h - a plain JPEG picture used as a slide's full
 * resolution: decoded once into memory, then served tile by tile.
 */
#pragma once

#include <string>

#include "tools/tile_source.h"

namespace nvxmake {

class JpegPictureSource final : public TileSource {
public:
    explicit JpegPictureSource(const std::string& path);  // throws std::runtime_error

    uint32_t width() const override { return image_.width; }
    uint32_t height() const override { return image_.height; }
    bool Read(uint32_t x, uint32_t y, uint32_t w, uint32_t h, uint8_t* rgb) const override;

private:
    RgbImage image_;
};

// True when the file starts like a JPEG stream.
bool LooksLikeJpeg(const std::string& path);

// Reads a whole file; throws std::runtime_error.
std::vector<uint8_t> ReadWholeFile(const std::string& path);

}  // namespace nvxmake
