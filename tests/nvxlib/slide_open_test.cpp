/*
 * slide_open_test.cpp - opening, querying and closing through the C
 * interface: all seven header values, handle life cycle, bad arguments, and
 * no file descriptor left behind.
 */
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/nvxlib/test_slides.h"

namespace {

using namespace nvxtest;

TEST(SlideOpen, QueryFillsAllSevenValues) {
    const std::string path =
        Slide("query-240.nvx", "--synthetic 1000x700 --mag 20 --mpp 0.5 --tile 240");
    OpenSlide s(path);
    ASSERT_TRUE(s.ok());
    int32_t h = -1, w = -1, mag = -1, tile = -1;
    float auxF = -1, mpp = -1;
    double auxD = -1;
    ASSERT_TRUE(NvxQuerySlide(s.handle(), &h, &w, &mag, &auxF, &auxD, &mpp, &tile));
    EXPECT_EQ(h, 700);
    EXPECT_EQ(w, 1000);
    EXPECT_EQ(mag, 20);
    EXPECT_EQ(auxF, 0.0f);
    EXPECT_EQ(auxD, 0.0);
    EXPECT_FLOAT_EQ(mpp, 0.5f);
    EXPECT_EQ(tile, 240);
}

TEST(SlideOpen, HandlesAreDistinctAndLiveUntilClosed) {
    const std::string path = SyntheticSlide();
    NvxSlideHandle a = 0, b = 0;
    ASSERT_TRUE(NvxOpenSlide(&a, path.c_str()));
    ASSERT_TRUE(NvxOpenSlide(&b, path.c_str()));
    EXPECT_NE(a, b);
    ASSERT_TRUE(NvxCloseSlide(&a));
    // b is unaffected by closing a; a is gone.
    EXPECT_TRUE(FetchTile(b, 40.0f, 0, 0).data);
    EXPECT_FALSE(FetchTile(a, 40.0f, 0, 0).data);
    int32_t w = 0;
    EXPECT_FALSE(NvxQuerySlide(a, nullptr, &w, nullptr, nullptr, nullptr, nullptr, nullptr));
    EXPECT_FALSE(NvxCloseSlide(&a));  // twice
    ASSERT_TRUE(NvxCloseSlide(&b));
}

TEST(SlideOpen, UnknownHandlesAndNullArgumentsReportNo) {
    NvxSlideHandle never = 987654;
    EXPECT_FALSE(NvxCloseSlide(&never));
    EXPECT_FALSE(NvxCloseSlide(nullptr));
    EXPECT_FALSE(NvxOpenSlide(nullptr, SyntheticSlide().c_str()));
    NvxSlideHandle h = 0;
    EXPECT_FALSE(NvxOpenSlide(&h, nullptr));
    EXPECT_FALSE(NvxOpenSlide(&h, ""));
    uint8_t* buf = reinterpret_cast<uint8_t*>(1);
    int32_t len = 5, w = 5, hh = 5;
    EXPECT_FALSE(NvxFetchLabel(never, &buf, &len, &w, &hh));
    EXPECT_EQ(buf, nullptr);  // outputs are cleared even on failure
    EXPECT_EQ(len, 0);
    EXPECT_FALSE(NvxFetchTile(nullptr, 40.0f, 0, 0, &len, &buf));
    NvxReleaseBuffer(nullptr);  // ignored
}

size_t OpenDescriptors() {
    size_t count = 0;
    for ([[maybe_unused]] const auto& fd : std::filesystem::directory_iterator("/proc/self/fd"))
        ++count;
    return count;
}

TEST(SlideOpen, OpeningAndClosingLeavesNoDescriptorOpen) {
    const std::string good = SyntheticSlide();
    const std::string cut = CopyOf(good, "descriptors-cut.nvx");
    std::filesystem::resize_file(cut, std::filesystem::file_size(cut) / 2);
    const size_t before = OpenDescriptors();
    for (int round = 0; round < 10; ++round) {
        {
            OpenSlide a(good), b(good);
            ASSERT_TRUE(a.ok() && b.ok());
            EXPECT_EQ(OpenDescriptors(), before + 2) << "one descriptor per open slide";
            EXPECT_TRUE(FetchTile(a.handle(), 40.0f, 256, 256).data);
            EXPECT_TRUE(FetchRegion(b.handle(), 13.0f, 100, 100, 300, 200, 1).data);
        }
        // Refused after the file was opened, or before.
        for (const std::string& bad : {cut, CmuSource(), std::string(NVX_TEST_SLIDES),
                                       std::string(NVX_TEST_SLIDES) + "/no-such.nvx"}) {
            OpenSlide s(bad);
            EXPECT_FALSE(s.ok()) << bad;
        }
    }
    EXPECT_EQ(OpenDescriptors(), before);
}

}  // namespace
