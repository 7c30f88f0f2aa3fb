/*
 * tile_cache_test.cpp - the decoded-tile cache: least recently used tiles
 * go first, and under a budget of a few tiles, regions swept over a whole
 * slide from many threads keep it within that budget while giving the
 * same pixels as a cache that holds everything.
 */
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <new>
#include <thread>

#include "nvxlib/slide_reader.h"
#include "tests/nvxlib/test_slides.h"

namespace {

using namespace nvxtest;

TEST(TileCache, DropsTheLeastRecentlyUsedTileBeyondItsBudget) {
    nvx::TileCache cache(3 * 100);
    std::map<uint64_t, int> decodes;
    const auto get = [&](uint64_t key) {
        return cache.Get(key, 100, [&] {
            ++decodes[key];
            return std::make_shared<const nvx::DecodedTile>();
        });
    };
    get(1), get(2), get(3), get(1);  // 2 is now the least recently used
    EXPECT_EQ(cache.BytesHeld(), 300u);
    get(4);
    EXPECT_EQ(cache.BytesHeld(), 300u);
    get(1), get(3);
    get(2);
    EXPECT_EQ(decodes, (std::map<uint64_t, int>{{1, 1}, {2, 2}, {3, 1}, {4, 1}}));
}

TEST(TileCache, MemoryThatRunsOutIsNotRememberedAsADamagedTile) {
    nvx::TileCache cache(3 * 100);
    int decodes = 0;
    EXPECT_THROW(cache.Get(1, 100,
                           [&]() -> nvx::DecodedTilePtr {
                               ++decodes;
                               throw std::bad_alloc();
                           }),
                 std::bad_alloc);
    EXPECT_EQ(cache.BytesHeld(), 0u);
    const nvx::DecodedTilePtr tile = cache.Get(1, 100, [&] {
        ++decodes;
        return std::make_shared<const nvx::DecodedTile>();
    });
    EXPECT_TRUE(tile);
    EXPECT_EQ(decodes, 2);
    EXPECT_EQ(cache.BytesHeld(), 100u);
}

TEST(TileCache, SmallBudgetHoldsWhileRegionsSweepTheSlide) {
    constexpr size_t kTileBytes = 256 * 256 * 3;
    constexpr size_t kBudget = 6 * kTileBytes;
    const nvx::SlideReader small(nvx::SlideFile::Open(SyntheticSlide().c_str()), kBudget);
    const nvx::SlideReader whole(nvx::SlideFile::Open(SyntheticSlide().c_str()));
    // Regions of 300 x 300 over the whole 3000 x 2000 level 1 (12 x 8 tiles),
    // eight threads at once.
    constexpr int kThreads = 8, kSide = 300, kColumns = 10, kRows = 7;
    std::atomic<size_t> mostHeld{0};
    std::atomic<int> differing{0}, missing{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = t; i < kColumns * kRows; i += kThreads) {
                const int32_t x = (i % kColumns) * kSide, y = (i / kColumns) * kSide;
                const nvx::MallocBuffer got = small.FetchRegion(20.0f, x, y, kSide, kSide, 0);
                const nvx::MallocBuffer want = whole.FetchRegion(20.0f, x, y, kSide, kSide, 0);
                if (!got || !want) {
                    ++missing;
                    continue;
                }
                if (got.size != want.size || std::memcmp(got.data.get(), want.data.get(), got.size))
                    ++differing;
                size_t held = small.CachedBytes(), seen = mostHeld.load();
                while (held > seen && !mostHeld.compare_exchange_weak(seen, held)) {
                }
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(missing, 0);
    EXPECT_EQ(differing, 0);
    EXPECT_LE(mostHeld.load(), kBudget);
    // The sweep touched far more tiles than the small cache may keep.
    EXPECT_GT(whole.CachedBytes(), 12 * kTileBytes * 7);
}

}  // namespace
