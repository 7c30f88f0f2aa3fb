/*
 * fake_slide_fixture.h - a test fixture with the fake slide library open
 * (its default 2000 x 1500 slide at 40x, tile 256), a temporary folder, the
 * fake's call log of this test, and readers for what landed in a TIFF.
 */
#pragma once

#include <gtest/gtest.h>
#include <tiffio.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "slide/library_binding.h"

namespace nvx::pyramid::testing {

inline constexpr int kFakeWidth = 2000;
inline constexpr int kFakeHeight = 1500;
inline constexpr int kFakeMagnification = 40;

// The fake's pixel at (x, y) of the level at `scale`.
void FakePixel(int x, int y, float scale, std::uint8_t* rgb);

// A decoded tile of directory `directory` (0-based) with its top-left at (x, y).
std::vector<std::uint8_t> ReadTile(const std::string& path, int directory, int x, int y);

// Mean absolute difference per channel between a tile's first `width` x
// `height` pixels and the fake's pixels of the level at `scale` from (x0, y0).
double MeanDifferenceFromFake(const std::vector<std::uint8_t>& tile, int tileSize, int width,
                              int height, int x0, int y0, float scale);

// Mean value of the tile's bytes inside the given rectangle.
double MeanValue(const std::vector<std::uint8_t>& tile, int tileSize, int left, int top, int right,
                 int bottom);

class FakeSlideTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    // Lines the fake logged since this test began.
    std::vector<std::string> NewLogLines() const;
    std::string PathIn(const char* name) const { return (folder_ / name).string(); }
    // The driver closes the slide itself; the fixture then leaves it alone.
    void SlideHandedOver() { slideOpen_ = false; }
    // The test opened `slide_` again; the fixture closes it at the end.
    void SlideTakenBack() { slideOpen_ = true; }

    slide::SlideHandle slide_ = 0;
    slide::SlideInfo info_;

private:
    std::filesystem::path folder_;
    std::uintmax_t logOffset_ = 0;
    bool slideOpen_ = false;
};

}  // namespace nvx::pyramid::testing
