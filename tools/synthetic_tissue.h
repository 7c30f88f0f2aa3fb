/*
 * synthetic_tissue.h - a deterministic, tissue-like slide: a few irregular
 * pieces of H&E-stained tissue (pink stroma, glands with pale lumens and
 * purple epithelium, dark nuclei) on a white background.
 *
 * Every pixel is a pure function of its position and the seed, so tiles can
 * be made in any order on any number of threads and the same options always
 * give the same bytes. Tiles away from all tissue are known white without
 * computing a pixel, which keeps huge mostly-background slides quick.
 */
#pragma once

#include <cstdint>
#include <vector>

#include "tools/tile_source.h"

namespace nvxmake {

class SyntheticTissue final : public TileSource {
public:
    SyntheticTissue(uint32_t width, uint32_t height, uint32_t seed);

    uint32_t width() const override { return width_; }
    uint32_t height() const override { return height_; }
    bool Read(uint32_t x, uint32_t y, uint32_t w, uint32_t h, uint8_t* rgb) const override;
    bool KnownBlank(uint32_t x, uint32_t y, uint32_t w, uint32_t h) const override;

private:
    struct Piece {  // one piece of tissue: a wobbly rotated ellipse
        double cx, cy, rx, ry, cosA, sinA;
        double cosPhase[3], sinPhase[3];  // of the edge's three waves
        double x0, y0, x1, y1;            // bounding box, wobble included
    };

    bool Inside(const Piece& p, double x, double y) const;
    void Stain(uint32_t x, uint32_t y, uint8_t* px) const;

    uint32_t width_, height_, seed_;
    std::vector<Piece> pieces_;
};

}  // namespace nvxmake
