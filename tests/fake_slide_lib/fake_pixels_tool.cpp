/*
 * fake_pixels_tool.cpp - prints the fake slide library's pixels as raw
 * packed RGB on standard output, for the tests written in Python.
 *
 * usage: fake_pixels WIDTH HEIGHT MAGNIFICATION SCALE X Y W H
 *   the W x H pixels from (X, Y) of the level at SCALE of the fake's
 *   WIDTH x HEIGHT slide scanned at MAGNIFICATION
 */
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "tests/fake_slide_lib/fake_pixels.h"

int main(int argc, char** argv) {
    if (argc != 9) {
        std::fprintf(stderr, "usage: fake_pixels WIDTH HEIGHT MAGNIFICATION SCALE X Y W H\n");
        return 2;
    }
    const nvx::fake::FakeSlideSize slide{std::atoi(argv[1]), std::atoi(argv[2]),
                                         std::atoi(argv[3])};
    const float scale = std::strtof(argv[4], nullptr);
    const int width = std::atoi(argv[7]), height = std::atoi(argv[8]);
    if (width <= 0 || height <= 0) return 2;
    const std::vector<std::uint8_t> rgb = nvx::fake::RenderPixels(
        slide, scale, std::atoi(argv[5]), std::atoi(argv[6]), width, height);
    return std::fwrite(rgb.data(), 1, rgb.size(), stdout) == rgb.size() ? 0 : 1;
}
