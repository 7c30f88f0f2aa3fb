/*
 * tile_fetch_test.cpp - NvxFetchTile: stored tiles at every stored scale go
 * out byte for byte as stored, with edge tiles smaller; other scales are
 * built by area averaging; positions and scales outside the slide give
 * nothing.
 */
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "nvxlib/slide_file.h"
#include "tests/nvxlib/test_slides.h"

namespace {

using namespace nvxtest;

TEST(TileFetch, StoredTilesAreReturnedAsStoredAtEveryLevel) {
    const std::string path = SyntheticSlide();
    OpenSlide s(path);
    ASSERT_TRUE(s.ok());
    auto file = nvx::SlideFile::Open(path.c_str());
    ASSERT_TRUE(file);
    ASSERT_EQ(file->levels().size(), 6u);
    for (uint32_t k = 0; k < file->levels().size(); ++k) {
        const nvx::LevelShape& shape = file->levels()[k].shape;
        const float scale = 40.0f / float(1u << k);
        // First tile and the bottom-right edge tile of each level.
        for (auto [c, r] : {std::pair{0u, 0u}, std::pair{shape.columns - 1, shape.rows - 1}}) {
            Fetched f = FetchTile(s.handle(), scale, int32_t(c * 256), int32_t(r * 256));
            ASSERT_TRUE(f.data) << "level " << k;
            nvx::MallocBuffer stored = file->ReadTile(k, c, r);
            ASSERT_EQ(size_t(f.length), stored.size);
            EXPECT_EQ(0, std::memcmp(f.data.get(), stored.data.get(), stored.size));
            const Image img = Decode(f.data.get(), size_t(f.length));
            EXPECT_EQ(img.width, int(std::min(256u, shape.width - c * 256)));
            EXPECT_EQ(img.height, int(std::min(256u, shape.height - r * 256)));
        }
    }
}

TEST(TileFetch, PositionsAndScalesOutsideTheSlideGiveNothing) {
    OpenSlide s(SyntheticSlide());
    ASSERT_TRUE(s.ok());
    const NvxSlideHandle h = s.handle();
    EXPECT_FALSE(FetchTile(h, 40.0f, 6144, 0).data);  // one column past the last
    EXPECT_FALSE(FetchTile(h, 40.0f, 0, 4096).data);  // one row past the last
    EXPECT_FALSE(FetchTile(h, 40.0f, -256, 0).data);
    EXPECT_FALSE(FetchTile(h, 40.0f, 100, 0).data);   // not on the tile grid
    EXPECT_FALSE(FetchTile(h, 10.0f, 1536, 0).data);  // level 2 is 1500 wide
    EXPECT_FALSE(FetchTile(h, 80.0f, 0, 0).data);
    EXPECT_FALSE(FetchTile(h, 0.0f, 0, 0).data);
    EXPECT_FALSE(FetchTile(h, -40.0f, 0, 0).data);
    EXPECT_FALSE(FetchTile(h, std::nanf(""), 0, 0).data);
    EXPECT_TRUE(FetchTile(h, 10.0f, 1280, 768).data);  // the last tile of level 2
    // A scale given with float rounding still finds its stored level.
    EXPECT_TRUE(FetchTile(h, std::nextafter(10.0f, 11.0f), 0, 0).data);
}

TEST(TileFetch, ScalesBeyondTheLastLevelAreBuilt) {
    OpenSlide s(SyntheticSlide());
    ASSERT_TRUE(s.ok());
    // 40/64: the last stored level is 40/32, so this tile is reduced from it.
    Fetched f = FetchTile(s.handle(), 0.625f, 0, 0);
    ASSERT_TRUE(f.data);
    const Image img = Decode(f.data.get(), size_t(f.length));
    EXPECT_EQ(img.width, 93);  // floor(6000 / 64)
    EXPECT_EQ(img.height, 62);
    Fetched region = FetchRegion(s.handle(), 0.625f, 0, 0, 93, 62, 0);
    ASSERT_TRUE(region.data);
    EXPECT_LT(MeanAbsDiff(img.rgb.data(), region.data.get(), img.rgb.size()), 2.0);
}

// A one-level slide: every smaller scale is averaged from full resolution.
class OneLevelSlide : public ::testing::Test {
protected:
    void SetUp() override {
        path_ = Slide("one-level.nvx", "--synthetic 1000x700 --tile 1024 --seed 3");
        slide_ = std::make_unique<OpenSlide>(path_);
        ASSERT_TRUE(slide_->ok());
        Fetched full = FetchRegion(slide_->handle(), 40.0f, 0, 0, 1000, 700, 0);
        ASSERT_TRUE(full.data);
        full_ = full.Bytes();
    }

    // Area average of full resolution over [x*d, (x+1)*d) x [y*d, (y+1)*d),
    // white beyond the slide, in double precision.
    double Expected(int x, int y, int c, double d) const {
        double sum = 0;
        for (int sy = int(std::floor(y * d)); sy < int(std::ceil((y + 1) * d)); ++sy) {
            const double wy = std::min((y + 1) * d, sy + 1.0) - std::max(y * d, double(sy));
            for (int sx = int(std::floor(x * d)); sx < int(std::ceil((x + 1) * d)); ++sx) {
                const double wx = std::min((x + 1) * d, sx + 1.0) - std::max(x * d, double(sx));
                const double v =
                    (sx < 1000 && sy < 700) ? full_[(size_t(sy) * 1000 + sx) * 3 + c] : 255;
                sum += wx * wy * v;
            }
        }
        return sum / (d * d);
    }

    void ExpectAveraged(float scale, int x, int y, int w, int h) {
        const double d = 40.0 / scale;
        Fetched f = FetchRegion(slide_->handle(), scale, x, y, w, h, 0);
        ASSERT_TRUE(f.data) << scale;
        ASSERT_EQ(f.length, w * h * 3);
        double worst = 0;
        for (int j = 0; j < h; ++j)
            for (int i = 0; i < w; ++i)
                for (int c = 0; c < 3; ++c)
                    worst = std::max(worst, std::fabs(f.data.get()[(size_t(j) * w + i) * 3 + c] -
                                                      Expected(x + i, y + j, c, d)));
        EXPECT_LE(worst, 0.51 + 1e-3) << "scale " << scale;  // rounding only
    }

    std::string path_;
    std::unique_ptr<OpenSlide> slide_;
    std::vector<uint8_t> full_;
};

TEST_F(OneLevelSlide, RegionsAtOtherScalesAreAreaAverages) {
    ExpectAveraged(10.0f, 0, 0, 250, 175);        // 4 x 4 blocks
    ExpectAveraged(40.0f / 3, 100, 50, 120, 90);  // 3 x 3 blocks
    ExpectAveraged(16.0f, 37, 21, 200, 150);      // 2.5: partial pixels at block edges
    ExpectAveraged(5.0f, 110, 80, 20, 20);        // crosses the right and bottom edges
}

// At 24x the ratio 5/3 is inexact: the last output column's cover, summed
// from the left, ends a hair past the column the region's own extent ends
// at, and must not read the level row beyond what was assembled.
TEST_F(OneLevelSlide, InexactRatiosStayInsideTheAssembledColumns) {
    for (int x = 0; x < 12; ++x) ExpectAveraged(24.0f, x, 5, 12 - x, 4);
    ExpectAveraged(24.0f, 0, 0, 12, 12);
}

TEST_F(OneLevelSlide, BuiltTileIsTheRegionEncodedAtQuality90) {
    Fetched tile = FetchTile(slide_->handle(), 10.0f, 0, 0);
    ASSERT_TRUE(tile.data);
    const Image img = Decode(tile.data.get(), size_t(tile.length));
    ASSERT_EQ(img.width, 250);
    ASSERT_EQ(img.height, 175);
    Fetched region = FetchRegion(slide_->handle(), 10.0f, 0, 0, 250, 175, 0);
    ASSERT_TRUE(region.data);
    EXPECT_LT(MeanAbsDiff(img.rgb.data(), region.data.get(), img.rgb.size()), 2.0);
}

}  // namespace
