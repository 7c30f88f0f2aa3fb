/*
 * default_pictures.cpp - drawing of the generated label and preview.
 */
#include "tools/default_pictures.h"

#include <algorithm>

namespace nvxmake {
namespace {

RgbImage Filled(uint32_t w, uint32_t h, uint8_t r, uint8_t g, uint8_t b) {
    RgbImage img{w, h, std::vector<uint8_t>(size_t(w) * h * 3)};
    for (size_t i = 0; i < size_t(w) * h; ++i) {
        img.rgb[i * 3] = r;
        img.rgb[i * 3 + 1] = g;
        img.rgb[i * 3 + 2] = b;
    }
    return img;
}

void Box(RgbImage& img, uint32_t x0, uint32_t y0, uint32_t w, uint32_t h, uint8_t v) {
    for (uint32_t y = y0; y < std::min(img.height, y0 + h); ++y)
        for (uint32_t x = x0; x < std::min(img.width, x0 + w); ++x)
            std::fill_n(&img.rgb[(size_t(y) * img.width + x) * 3], 3, v);
}

// Nearest-neighbour copy of src into the centre of a w x h box of dst,
// keeping the aspect ratio.
void FitInto(const RgbImage& src, RgbImage& dst, uint32_t x0, uint32_t y0, uint32_t w, uint32_t h,
             bool darkenOnly) {
    if (src.width == 0 || src.height == 0) return;
    const double s = std::min(double(w) / src.width, double(h) / src.height);
    const auto fw = std::max<uint32_t>(1, uint32_t(src.width * s));
    const auto fh = std::max<uint32_t>(1, uint32_t(src.height * s));
    const uint32_t ox = x0 + (w - fw) / 2, oy = y0 + (h - fh) / 2;
    for (uint32_t y = 0; y < fh; ++y) {
        const auto sy = std::min(src.height - 1, uint32_t(y / s));
        for (uint32_t x = 0; x < fw; ++x) {
            const auto sx = std::min(src.width - 1, uint32_t(x / s));
            const uint8_t* p = &src.rgb[(size_t(sy) * src.width + sx) * 3];
            uint8_t* q = &dst.rgb[(size_t(oy + y) * dst.width + ox + x) * 3];
            // Tissue on glass only absorbs light: white stays the glass colour.
            for (int c = 0; c < 3; ++c) q[c] = darkenOnly ? std::min(q[c], p[c]) : p[c];
        }
    }
}

}  // namespace

RgbImage MakeLabel(uint32_t seed) {
    RgbImage img = Filled(600, 600, 250, 250, 246);
    // A 16 x 16 module 2D code in the top left, with a solid L finder edge.
    uint32_t state = seed * 2654435761U + 12345;
    for (uint32_t my = 0; my < 16; ++my)
        for (uint32_t mx = 0; mx < 16; ++mx) {
            state = state * 1664525U + 1013904223U;
            const bool dark = mx == 0 || my == 15 || ((state >> 24) & 1);
            if (dark) Box(img, 40 + mx * 16, 40 + my * 16, 16, 16, 20);
        }
    // Lines of handwriting-like blocks below it.
    for (uint32_t line = 0; line < 5; ++line) {
        uint32_t x = 40;
        while (x < 540) {
            state = state * 1664525U + 1013904223U;
            const uint32_t word = 20 + (state >> 26);
            Box(img, x, 340 + line * 48, std::min(word, 560 - x), 22, 40);
            x += word + 14;
        }
    }
    return img;
}

RgbImage MakePreview(const RgbImage& label, const RgbImage& tissue) {
    RgbImage img = Filled(1500, 500, 214, 218, 222);  // glass under a light
    FitInto(label, img, 20, 20, 460, 460, false);
    Box(img, 500, 0, 4, 500, 150);  // edge of the label area
    FitInto(tissue, img, 540, 20, 940, 460, true);
    return img;
}

}  // namespace nvxmake
