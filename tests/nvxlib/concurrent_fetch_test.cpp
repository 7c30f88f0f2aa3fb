/*
 * concurrent_fetch_test.cpp - 64 threads fetching at once on one handle, as
 * the converter's workers do: stored tiles, built tiles and regions in both
 * formats, each result compared with the same request made alone, while
 * other threads open and close other handles of the same file.
 */
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "tests/nvxlib/test_slides.h"

namespace {

using namespace nvxtest;

struct Job {
    bool tile;
    float scale;
    int32_t x, y, w, h, format;
};

std::vector<uint8_t> RunJob(NvxSlideHandle h, const Job& j) {
    Fetched f = j.tile ? FetchTile(h, j.scale, j.x, j.y)
                       : FetchRegion(h, j.scale, j.x, j.y, j.w, j.h, j.format);
    return f.data ? f.Bytes() : std::vector<uint8_t>{};
}

TEST(ConcurrentFetch, SixtyFourThreadsOnOneHandleGetWhatOneThreadGets) {
    const std::string path = SyntheticSlide();
    OpenSlide s(path);
    ASSERT_TRUE(s.ok());
    std::vector<Job> jobs;
    for (int y = 0; y < 4000; y += 256)
        for (int x = 0; x < 6000; x += 512) jobs.push_back({true, 40.0f, x, y, 0, 0, 0});
    for (int y = 0; y < 1000; y += 256)
        for (int x = 0; x < 1500; x += 256) jobs.push_back({true, 10.0f, x, y, 0, 0, 0});
    jobs.push_back({true, 2.5f, 0, 0, 0, 0, 0});
    jobs.push_back({true, 0.625f, 0, 0, 0, 0, 0});
    jobs.push_back({true, 40.0f / 3, 256, 256, 0, 0, 0});
    // Region-mode bands: neighbouring regions share tiles.
    for (int y = 1000; y < 3000; y += 200)
        for (int x = 1500; x < 4500; x += 256) jobs.push_back({false, 40.0f, x, y, 256, 200, 0});
    jobs.push_back({false, 5.0f, 0, 0, 750, 500, 1});
    jobs.push_back({false, 40.0f / 6, 100, 100, 300, 200, 0});

    std::vector<std::vector<uint8_t>> expected;
    for (const Job& j : jobs) {
        expected.push_back(RunJob(s.handle(), j));
        ASSERT_FALSE(expected.back().empty());
    }

    std::atomic<int> mismatches{0}, done{0};
    std::atomic<bool> stop{false};
    std::vector<std::jthread> threads;
    // Handle churn beside the fetchers must not disturb them.
    threads.emplace_back([&] {
        while (!stop) {
            NvxSlideHandle other = 0;
            if (NvxOpenSlide(&other, path.c_str())) NvxCloseSlide(&other);
        }
    });
    std::vector<std::jthread> fetchers;
    for (int t = 0; t < 64; ++t) {
        fetchers.emplace_back([&, t] {
            for (size_t i = 0; i < jobs.size(); ++i) {
                const size_t k = (i * 7 + size_t(t) * 13) % jobs.size();
                if (RunJob(s.handle(), jobs[k]) != expected[k]) ++mismatches;
                ++done;
            }
        });
    }
    fetchers.clear();  // joins
    stop = true;
    threads.clear();
    EXPECT_EQ(done.load(), int(64 * jobs.size()));
    EXPECT_EQ(mismatches.load(), 0);
}

}  // namespace
