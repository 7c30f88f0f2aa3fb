/*
 * output_size_test.cpp - the output's size before writing: the raw bound of
 * the tiles, and the estimate from a sample of them against what a real
 * conversion of the fake slide writes.
 */
#include "pyramid/output_size.h"

#include <gtest/gtest.h>

#include "pyramid/conversion_driver_internal.h"
#include "tests/pyramid/fake_slide_fixture.h"
#include "tests/pyramid/tiff_file.h"

namespace nvx::pyramid {
namespace {

using testing::TiffFile;

TEST(RawTileBytesTest, CountsWholeTilesOfEveryLevel) {
    LevelPlan first;
    first.width = 2000;  // 8 x 6 tiles of 256
    first.height = 1500;
    LevelPlan second;
    second.width = 500;  // 2 x 2
    second.height = 375;
    EXPECT_EQ(RawTileBytes(256, {first, second}), (48u + 4u) * 256 * 256 * 3);
    EXPECT_EQ(RawTileBytes(256, {}), 0u);
}

// The stream bytes of every tile of a file's tiled directories.
std::uint64_t TileBytesIn(const std::string& path) {
    TiffFile tiff(TIFFOpen(path.c_str(), "r"));
    std::uint64_t bytes = 0;
    if (!tiff) return 0;
    do {
        if (!TIFFIsTiled(tiff.get())) continue;
        for (ttile_t t = 0; t < TIFFNumberOfTiles(tiff.get()); ++t) {
            bytes += TIFFGetStrileByteCount(tiff.get(), t);
        }
    } while (TIFFReadDirectory(tiff.get()));
    return bytes;
}

class OutputSizeTest : public testing::FakeSlideTest {};

TEST_F(OutputSizeTest, TheEstimateFromASampleIsNearTheTilesWrittenAndAbove) {
    for (const bool region : {false, true}) {
        ConversionJob job;
        job.inputPath = "fake.nvx";
        job.outputPath = PathIn(region ? "region.tif" : "whole.tif");
        job.info = info_;
        job.box = region ? slide::RegionBox{100, 50, 1700, 1300}
                         : slide::RegionBox{0, 0, info_.width, info_.height};
        job.layers = region ? 9 : 4;
        job.regionMode = region;
        const PyramidPlan plan = MakePyramidPlan(job.box.x, job.box.y, job.box.width,
                                                 job.box.height, job.layers, region);
        LevelSource source;
        source.slide = slide_;
        source.tileSize = info_.tileSize;
        source.scanMagnification = info_.scanMagnification;
        source.regionMode = region;
        const std::uint64_t estimate =
            EstimateOutputBytes(source, plan.levels) - kPicturesAndDirectoriesBytes;

        SlideHandedOver();
        {
            slide::SlideSession session(slide_);
            ASSERT_EQ(ConvertSlideWith(
                          job, &session, [](Progress) {}, DriverSeams())
                          .outcome,
                      ConversionOutcome::Converted);
        }
        const std::uint64_t written = TileBytesIn(job.outputPath);
        EXPECT_GE(estimate, written) << region;
        EXPECT_LE(estimate, written * 3 / 2) << region;
        ASSERT_TRUE(slide::OpenSlide(&slide_, "fake.nvx"));
        SlideTakenBack();
    }
}

// The raw bound only says when no estimate is needed: an output whose raw
// tiles pass the threshold but whose estimate does not stays classic.
TEST_F(OutputSizeTest, ABigTiffOnlyWhenTheEstimatePassesTheThreshold) {
    const PyramidPlan plan = MakePyramidPlan(0, 0, info_.width, info_.height, 4, false);
    LevelSource source;
    source.slide = slide_;
    source.tileSize = info_.tileSize;
    source.scanMagnification = info_.scanMagnification;
    const std::uint64_t bound =
        RawTileBytes(source.tileSize, plan.levels) + kPicturesAndDirectoriesBytes;
    const std::uint64_t estimate = EstimateOutputBytes(source, plan.levels);
    ASSERT_LT(estimate, bound);
    struct Case {
        const char* what;
        std::uint64_t threshold;
        bool bigTiff;
    };
    const Case cases[] = {
        {"the estimate passes it", estimate - 1, true},
        {"only the raw bound passes it", estimate, false},
        {"only the raw bound passes it, by far", (estimate + bound) / 2, false},
        {"neither passes it", bound, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(NeedsBigTiff(source, plan.levels, c.threshold), c.bigTiff) << c.what;
    }
}

}  // namespace
}  // namespace nvx::pyramid
