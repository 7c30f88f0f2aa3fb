/*
 * source_fidelity_test.cpp - a slide made from a real scan gives back the
 * scan's pixels: NvxFetchRegion at full magnification against OpenSlide's
 * reading of the source, and a reduced scale against the source averaged.
 */
#include <gtest/gtest.h>

#include <openslide.h>

#include "tests/nvxlib/test_slides.h"

namespace {

using namespace nvxtest;

struct OpenSlideCloser {
    void operator()(openslide_t* o) const { openslide_close(o); }
};

// Source pixels as RGB (the scan is opaque, so alpha is 255 throughout).
std::vector<uint8_t> SourceRgb(openslide_t* src, int64_t w, int64_t h) {
    std::vector<uint32_t> argb(size_t(w * h));
    openslide_read_region(src, argb.data(), 0, 0, 0, w, h);
    std::vector<uint8_t> rgb(argb.size() * 3);
    for (size_t i = 0; i < argb.size(); ++i) {
        rgb[i * 3] = uint8_t(argb[i] >> 16);
        rgb[i * 3 + 1] = uint8_t(argb[i] >> 8);
        rgb[i * 3 + 2] = uint8_t(argb[i]);
    }
    return rgb;
}

double ChannelMad(const uint8_t* a, const uint8_t* b, size_t pixels, int c) {
    double sum = 0;
    for (size_t i = 0; i < pixels; ++i) sum += std::abs(int(a[i * 3 + c]) - int(b[i * 3 + c]));
    return sum / double(pixels);
}

TEST(SourceFidelity, FullMagnificationMatchesTheScan) {
    std::unique_ptr<openslide_t, OpenSlideCloser> src(openslide_open(CmuSource().c_str()));
    ASSERT_TRUE(src);
    int64_t w = 0, h = 0;
    openslide_get_level0_dimensions(src.get(), &w, &h);
    ASSERT_EQ(w, 2220);
    ASSERT_EQ(h, 2967);
    const std::vector<uint8_t> want = SourceRgb(src.get(), w, h);

    OpenSlide s(CmuSlide());
    ASSERT_TRUE(s.ok());
    int32_t mag = 0, tile = 0;
    float mpp = 0;
    ASSERT_TRUE(NvxQuerySlide(s.handle(), nullptr, nullptr, &mag, nullptr, nullptr, &mpp, &tile));
    EXPECT_EQ(mag, 20);  // the source's objective power
    EXPECT_NEAR(mpp, 0.499f, 1e-4);
    Fetched got = FetchRegion(s.handle(), 20.0f, 0, 0, int32_t(w), int32_t(h), 0);
    ASSERT_TRUE(got.data);
    ASSERT_EQ(size_t(got.length), want.size());
    for (int c = 0; c < 3; ++c)
        EXPECT_LT(ChannelMad(got.data.get(), want.data(), want.size() / 3, c), 2.0)
            << "channel " << c;

    // At 5x (a quarter), against the scan averaged in 4 x 4 blocks.
    const int qw = int(w / 4), qh = int(h / 4);
    Fetched quarter = FetchRegion(s.handle(), 5.0f, 0, 0, qw, qh, 0);
    ASSERT_TRUE(quarter.data);
    std::vector<uint8_t> averaged(size_t(qw) * qh * 3);
    for (int y = 0; y < qh; ++y)
        for (int x = 0; x < qw; ++x)
            for (int c = 0; c < 3; ++c) {
                int sum = 0;
                for (int dy = 0; dy < 4; ++dy)
                    for (int dx = 0; dx < 4; ++dx)
                        sum += want[((size_t(y) * 4 + dy) * w + x * 4 + dx) * 3 + c];
                averaged[(size_t(y) * qw + x) * 3 + c] = uint8_t((sum + 8) / 16);
            }
    for (int c = 0; c < 3; ++c)
        EXPECT_LT(ChannelMad(quarter.data.get(), averaged.data(), averaged.size() / 3, c), 3.5);
}

}  // namespace
