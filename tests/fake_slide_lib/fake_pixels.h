/*
 * fake_pixels.h - the fake slide library's pixels, the one place they are
 * defined: the fake serves them, the pyramid tests compare with them, and
 * the end-to-end tests get them from the fake_pixels tool built from here.
 *
 * Full-resolution pixel (X, Y) is R = X*255/(W-1), G = Y*255/(H-1),
 * B = 64 + 128*((X/64 + Y/64) % 2); a pixel at scale S at (x, y) is the
 * full-resolution pixel (x*M/S, y*M/S); beyond the slide, white.
 */
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace nvx::fake {

// The slide the fake serves pixels of.
struct FakeSlideSize {
    int width = 0;
    int height = 0;
    int magnification = 0;
};

// Full-resolution pixel (X, Y).
inline void FullResolutionPixel(const FakeSlideSize& slide, long X, long Y, std::uint8_t* rgb) {
    if (X < 0 || Y < 0 || X >= slide.width || Y >= slide.height) {
        rgb[0] = rgb[1] = rgb[2] = 255;
        return;
    }
    rgb[0] = std::uint8_t(slide.width > 1 ? X * 255 / (slide.width - 1) : 0);
    rgb[1] = std::uint8_t(slide.height > 1 ? Y * 255 / (slide.height - 1) : 0);
    rgb[2] = std::uint8_t(64 + 128 * (((X / 64) + (Y / 64)) % 2));
}

// Pixel (x, y) of the level at `scale`.
inline void PixelAtScale(const FakeSlideSize& slide, float scale, int x, int y, std::uint8_t* rgb) {
    const double factor = slide.magnification / double(scale);
    FullResolutionPixel(slide, long(std::floor(x * factor)), long(std::floor(y * factor)), rgb);
}

// The width x height pixels from (x, y) of the level at `scale`, packed RGB.
inline std::vector<std::uint8_t> RenderPixels(const FakeSlideSize& slide, float scale, int x, int y,
                                              int width, int height) {
    std::vector<std::uint8_t> rgb(std::size_t(width) * std::size_t(height) * 3);
    for (int row = 0; row < height; ++row)
        for (int col = 0; col < width; ++col)
            PixelAtScale(slide, scale, x + col, y + row,
                         &rgb[(std::size_t(row) * width + col) * 3]);
    return rgb;
}

}  // namespace nvx::fake
