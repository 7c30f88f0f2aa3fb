/*
 * region_fetch_test.cpp - NvxFetchRegion at stored scales: pixels equal the
 * stored tiles across tile seams, white outside the slide (negative origins
 * included), JPEG format decoding to the asked size, refusals of unusable
 * requests.
 */
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <map>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/nvxlib/test_slides.h"

namespace {

using namespace nvxtest;

class RegionFetch : public ::testing::Test {
protected:
    void SetUp() override {
        slide_ = std::make_unique<OpenSlide>(SyntheticSlide());
        ASSERT_TRUE(slide_->ok());
    }
    NvxSlideHandle h() const { return slide_->handle(); }

    // Pixel (x, y) of level 0 through the stored tile holding it.
    std::array<uint8_t, 3> TilePixel(int x, int y) {
        const int tx = x / 256 * 256, ty = y / 256 * 256;
        auto key = std::pair{tx, ty};
        if (!tiles_.contains(key)) {
            Fetched f = FetchTile(h(), 40.0f, tx, ty);
            tiles_[key] = Decode(f.data.get(), size_t(f.length));
        }
        const Image& img = tiles_[key];
        const uint8_t* p = &img.rgb[(size_t(y - ty) * img.width + (x - tx)) * 3];
        return {p[0], p[1], p[2]};
    }

    std::unique_ptr<OpenSlide> slide_;
    std::map<std::pair<int, int>, Image> tiles_;
};

TEST_F(RegionFetch, StoredScaleRegionEqualsTilesAcrossSeams) {
    const int x0 = 1900, y0 = 900, w = 700, hgt = 500;  // spans 4 x 3 tiles, on tissue
    Fetched f = FetchRegion(h(), 40.0f, x0, y0, w, hgt, 0);
    ASSERT_TRUE(f.data);
    ASSERT_EQ(f.length, w * hgt * 3);
    const auto white = std::count(f.data.get(), f.data.get() + f.length, uint8_t{255});
    ASSERT_LT(white, f.length / 2) << "the region should hold tissue";
    int mismatches = 0;
    for (int y = 0; y < hgt; y += 7)
        for (int x = 0; x < w; x += 5) {
            const auto want = TilePixel(x0 + x, y0 + y);
            const uint8_t* got = f.data.get() + (size_t(y) * w + x) * 3;
            mismatches += !std::equal(want.begin(), want.end(), got);
        }
    EXPECT_EQ(mismatches, 0);
}

// On the slide made from the scan, tissue reaches every edge, so a shifted
// or mis-clipped copy cannot hide in white background.
TEST(RegionOverhang, OutsideTheSlideIsWhiteAndInsideIsUnshifted) {
    OpenSlide s(CmuSlide());
    ASSERT_TRUE(s.ok());
    const NvxSlideHandle h = s.handle();
    const auto isWhite = [](const uint8_t* p) { return p[0] == 255 && p[1] == 255 && p[2] == 255; };
    // Top-left overhang: 50 columns and 30 rows before the slide.
    Fetched over = FetchRegion(h, 20.0f, -50, -30, 200, 100, 0);
    Fetched inside = FetchRegion(h, 20.0f, 0, 0, 150, 70, 0);
    ASSERT_TRUE(over.data && inside.data);
    // Bottom-right overhang: the slide is 2220 x 2967.
    Fetched edge = FetchRegion(h, 20.0f, 2120, 2917, 200, 100, 0);
    Fetched corner = FetchRegion(h, 20.0f, 2120, 2917, 100, 50, 0);
    ASSERT_TRUE(edge.data && corner.data);
    for (int y = 0; y < 100; ++y)
        for (int x = 0; x < 200; ++x) {
            const uint8_t* p = over.data.get() + (size_t(y) * 200 + x) * 3;
            if (x < 50 || y < 30) {
                ASSERT_TRUE(isWhite(p)) << x << "," << y;
            } else {
                ASSERT_EQ(
                    0, std::memcmp(p, inside.data.get() + (size_t(y - 30) * 150 + x - 50) * 3, 3));
            }
            const uint8_t* q = edge.data.get() + (size_t(y) * 200 + x) * 3;
            if (x >= 100 || y >= 50) {
                ASSERT_TRUE(isWhite(q)) << x << "," << y;
            } else {
                ASSERT_EQ(0, std::memcmp(q, corner.data.get() + (size_t(y) * 100 + x) * 3, 3));
            }
        }
    EXPECT_LT(std::count(inside.data.get(), inside.data.get() + inside.length, uint8_t{255}),
              inside.length / 2);  // tissue, not background
    // A region wholly outside is all white.
    Fetched away = FetchRegion(h, 20.0f, 7000, -900, 64, 32, 0);
    ASSERT_TRUE(away.data);
    EXPECT_TRUE(std::all_of(away.data.get(), away.data.get() + away.length,
                            [](uint8_t v) { return v == 255; }));
}

TEST_F(RegionFetch, JpegFormatDecodesToTheAskedSize) {
    // The converter's thumbnail: the whole slide at 10x, 1500 x 1000.
    Fetched jpeg = FetchRegion(h(), 10.0f, 0, 0, 1500, 1000, 1);
    ASSERT_TRUE(jpeg.data);
    const Image img = Decode(jpeg.data.get(), size_t(jpeg.length));
    ASSERT_EQ(img.width, 1500);
    ASSERT_EQ(img.height, 1000);
    Fetched rgb = FetchRegion(h(), 10.0f, 0, 0, 1500, 1000, 0);
    ASSERT_TRUE(rgb.data);
    EXPECT_LT(MeanAbsDiff(img.rgb.data(), rgb.data.get(), img.rgb.size()), 2.0);
}

// A tiny scale makes the slide far smaller than one pixel; positions times
// that many level pixels per pixel lie beyond any integer, and every pixel
// but the first is white background.
TEST_F(RegionFetch, TinyScalesAtExtremePositionsGiveWhite) {
    const auto allWhite = [](const Fetched& f) {
        return f.data && std::all_of(f.data.get(), f.data.get() + f.length,
                                     [](uint8_t v) { return v == 255; });
    };
    for (const float scale : {1e-20f, 1e-30f, 1e-45f}) {
        EXPECT_TRUE(allWhite(FetchRegion(h(), scale, 1, 1, 4, 3, 0))) << scale;
        EXPECT_TRUE(allWhite(FetchRegion(h(), scale, INT32_MAX - 3, 7, 4, 3, 0))) << scale;
        EXPECT_TRUE(allWhite(FetchRegion(h(), scale, INT32_MIN, INT32_MIN, 4, 3, 0))) << scale;
        EXPECT_TRUE(FetchRegion(h(), scale, 0, 0, 2, 2, 1).data) << scale;
    }
}

TEST_F(RegionFetch, UnusableRequestsGiveNothing) {
    EXPECT_FALSE(FetchRegion(h(), 40.0f, 0, 0, 0, 10, 0).data);
    EXPECT_FALSE(FetchRegion(h(), 40.0f, 0, 0, 10, -1, 0).data);
    EXPECT_FALSE(FetchRegion(h(), 40.0f, 0, 0, 10, 10, 2).data);        // unknown format
    EXPECT_FALSE(FetchRegion(h(), 40.0f, 0, 0, 40000, 40000, 0).data);  // over 2 GiB
    EXPECT_FALSE(FetchRegion(h(), 41.0f, 0, 0, 10, 10, 0).data);
    uint8_t* buf = nullptr;
    EXPECT_FALSE(NvxFetchRegion(h(), 40.0f, 0, 0, 10, 10, &buf, nullptr, 0));
    EXPECT_EQ(buf, nullptr);
}

// Regions at built scales are assembled in strips; a region several strips
// wide must equal its pieces fetched on their own.
TEST_F(RegionFetch, WideBuiltRegionEqualsItsPieces) {
    const int x0 = -300, y0 = 1200, w = 9500, hgt = 40;  // past both sides, at 30x
    Fetched whole = FetchRegion(h(), 30.0f, x0, y0, w, hgt, 0);
    ASSERT_TRUE(whole.data);
    for (const int piece : {0, 4000, 4096, 8191}) {
        const int pw = std::min(1500, w - piece);
        Fetched part = FetchRegion(h(), 30.0f, x0 + piece, y0, pw, hgt, 0);
        ASSERT_TRUE(part.data);
        for (int y = 0; y < hgt; ++y)
            ASSERT_EQ(0, std::memcmp(whole.data.get() + (size_t(y) * w + piece) * 3,
                                     part.data.get() + size_t(y) * pw * 3, size_t(pw) * 3))
                << "piece at " << piece << ", row " << y;
    }
}

// A region the interface allows (under 2 GiB) at a built scale must not need
// many times its own size: 40 million columns are 120 MB of pixels, and are
// fetched here with 700 MB of address space to spare.
TEST(RegionMemory, WideRegionAtBuiltScaleNeedsLittleBeyondItsPixels) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "sanitizers reserve address space beyond any limit";
#else
    const std::string path = SyntheticSlide();
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        OpenSlide s(path);
        if (!s.ok()) _exit(2);
        size_t pages = 0;
        std::ifstream("/proc/self/statm") >> pages;
        const rlim_t limit = rlim_t(pages) * rlim_t(sysconf(_SC_PAGESIZE)) + (rlim_t{700} << 20);
        const rlimit as{limit, limit};
        if (setrlimit(RLIMIT_AS, &as) != 0) _exit(3);
        uint8_t* buffer = nullptr;
        int32_t length = 0;
        const bool ok =
            NvxFetchRegion(s.handle(), 30.0f, -1000, 1000, 40'000'000, 1, &buffer, &length, 0) != 0;
        const bool right = ok && length == 120'000'000 && buffer[0] == 255 &&
                           buffer[length - 1] == 255;  // left and right of the slide
        NvxReleaseBuffer(buffer);
        _exit(right ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
#endif
}

}  // namespace
