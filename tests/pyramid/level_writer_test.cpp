/*
 * level_writer_test.cpp - one level written by its workers against the fake
 * slide library: what they fetch, what lands in the TIFF (edge tiles padded
 * with their last real column and row), the rows counted, refused writes,
 * the raster order of the tiles in the file whatever the thread timing, the
 * window that holds finished tiles until their turn, and the byte budget of
 * the tiles in flight.
 */
#include "pyramid/level_writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <future>
#include <memory>

#include "pyramid/output_layout.h"
#include "pyramid/output_size.h"
#include "pyramid/pyramid_plan.h"
#include "pyramid/tile_encoder.h"
#include "tests/pyramid/fake_slide_fixture.h"
#include "tests/pyramid/tiff_file.h"

namespace nvx::pyramid {
namespace {

using testing::CreateTiffForWriting;
using testing::FakeSlideTest;
using testing::MeanDifferenceFromFake;
using testing::ReadTile;
using testing::TiffFile;
using namespace std::chrono_literals;

// Long enough for any wake-up on a loaded machine; a missing one fails here
// instead of hanging until ctest's time-out.
constexpr auto kWakeUp = 20s;

// A starter that starts only the first `count` workers of a level.
ThreadStarter FirstWorkers(int count) {
    auto started = std::make_shared<int>(0);
    return [started, count](WorkerThread* thread, std::function<void()> work) {
        return (*started)++ < count && StartWorkerThread(thread, std::move(work));
    };
}

class LevelWriterTest : public FakeSlideTest {
protected:
    // Writes the level `level_` of `source_` with its workers into a fresh
    // one-level TIFF at `path`. With `tiled` false the directory lacks its
    // tile tags and libtiff refuses every tile write.
    LevelOutcome RunLevel(const std::string& path, ThreadStarter starter = StartWorkerThread,
                          bool tiled = true, const LevelLimits& limits = {}) {
        TiffFile tiff = CreateTiffForWriting(path);
        EXPECT_TRUE(tiff);
        if (tiled) {
            SharedLevelTags shared;
            shared.pageCount = 5;
            shared.tileSize = source_.tileSize;
            shared.scanMagnification = 40;
            SetLevelTags(tiff.get(), level_, shared);
            SetJpegTables(tiff.get(), TablesFor(level_.jpegQuality));
        } else {
            TIFFSetField(tiff.get(), TIFFTAG_IMAGEWIDTH, static_cast<std::uint32_t>(level_.width));
            TIFFSetField(tiff.get(), TIFFTAG_IMAGELENGTH,
                         static_cast<std::uint32_t>(level_.height));
        }
        source_.slide = slide_;
        source_.scanMagnification = 40;
        dots_ = 0;
        LevelOutcome outcome;
        {
            LevelWriter writer(tiff.get(), source_, level_, limits, std::move(starter));
            outcome = writer.Run([this] { ++dots_; });
            if (outcome.Complete()) {
                EXPECT_EQ(writer.BytesInFlight(), 0u);
            }
        }
        if (tiled) {
            EXPECT_EQ(TIFFWriteDirectory(tiff.get()), 1);
        }
        return outcome;
    }

    std::vector<std::string> FetchLines() const {
        std::vector<std::string> fetches;
        for (const std::string& line : NewLogLines()) {
            if (line.rfind("tile ", 0) == 0 || line.rfind("region ", 0) == 0)
                fetches.push_back(line);
        }
        return fetches;
    }
    long Releases() const {
        const auto lines = NewLogLines();
        return std::count(lines.begin(), lines.end(), "release");
    }

    LevelSource source_;
    LevelPlan level_;
    int dots_ = 0;
};

// The pixel at (x, y) of a decoded tile of side `side`.
const std::uint8_t* At(const std::vector<std::uint8_t>& tile, int side, int x, int y) {
    return &tile[(static_cast<std::size_t>(y) * side + x) * 3];
}

std::vector<std::uint64_t> TileOffsets(const std::string& path) {
    TiffFile tiff(TIFFOpen(path.c_str(), "r"));
    std::vector<std::uint64_t> offsets;
    if (!tiff) return offsets;
    for (ttile_t t = 0; t < TIFFNumberOfTiles(tiff.get()); ++t) {
        offsets.push_back(TIFFGetStrileOffset(tiff.get(), t));
    }
    return offsets;
}

TEST(LevelMagnificationTest, ScanMagnificationOverTheLevelFactor) {
    EXPECT_EQ(LevelMagnification(40, 1.0f), 40.0f);
    EXPECT_EQ(LevelMagnification(40, 4.0f), 10.0f);
    EXPECT_EQ(LevelMagnification(40, 8.0f), 5.0f);
    EXPECT_EQ(LevelMagnification(40, 16.0f), 2.5f);
    EXPECT_EQ(LevelMagnification(40, 64.0f), 0.625f);
    EXPECT_EQ(LevelMagnification(20, 262144.0f), static_cast<float>(20.0 / 262144.0));
}

TEST(PadTileTest, RepeatsTheLastRealColumnAndRowOverTheRest) {
    // A 3 x 2 picture in a tile of 4: pixel value = 10 * row + column.
    std::vector<std::uint8_t> pixels;
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 3; ++x)
            for (int c = 0; c < 3; ++c) pixels.push_back(static_cast<std::uint8_t>(10 * y + x));
    std::vector<std::uint8_t> tile(4 * 4 * 3, 0xAB);
    PadTile(pixels.data(), 3, 2, 4, tile.data());
    const int expected[4][4] = {{0, 1, 2, 2}, {10, 11, 12, 12}, {10, 11, 12, 12}, {10, 11, 12, 12}};
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 4; ++x)
            for (int c = 0; c < 3; ++c)
                EXPECT_EQ(At(tile, 4, x, y)[c], expected[y][x]) << x << "," << y;
}

TEST_F(LevelWriterTest, RegionEdgeTilesAreFetchedClippedAndPaddedWithTheirLastPixels) {
    source_.regionMode = true;
    source_.tileSize = 256;
    level_.originX = 1900;
    level_.originY = 100;
    level_.width = 100;
    level_.height = 300;
    const std::string path = PathIn("narrow.tif");
    const LevelOutcome outcome = RunLevel(path, FirstWorkers(1));

    EXPECT_EQ(FetchLines(), (std::vector<std::string>{"region 40 1900 100 100 256 0",
                                                      "region 40 1900 356 100 44 0"}));
    EXPECT_EQ(Releases(), 2);
    EXPECT_TRUE(outcome.Complete());
    EXPECT_EQ(outcome.rowsWritten, 300);  // the last tile row counts only the rows there are
    EXPECT_EQ(outcome.lostTiles, 0);
    // A dot for each tile row that lands while the caller waits: both rows
    // may land before it wakes.
    EXPECT_GE(dots_, 1);
    EXPECT_LE(dots_, 2);

    const auto first = ReadTile(path, 0, 0, 0);
    ASSERT_EQ(first.size(), 256u * 256 * 3);
    EXPECT_LT(MeanDifferenceFromFake(first, 256, 100, 256, 1900, 100, 40.0f), 3.0);
    // Beyond the level's width each row goes on as its last real pixel.
    for (const int y : {0, 100, 255}) {
        for (int c = 0; c < 3; ++c) {
            EXPECT_NEAR(At(first, 256, 240, y)[c], At(first, 256, 99, y)[c], 6) << y;
        }
    }
    const auto second = ReadTile(path, 0, 0, 256);
    ASSERT_EQ(second.size(), 256u * 256 * 3);
    EXPECT_LT(MeanDifferenceFromFake(second, 256, 100, 44, 1900, 356, 40.0f), 3.0);
    // Below the level's height each column goes on as its last real row.
    for (const int x : {0, 50, 99}) {
        for (int c = 0; c < 3; ++c) {
            EXPECT_NEAR(At(second, 256, x, 250)[c], At(second, 256, x, 43)[c], 6) << x;
        }
    }
}

TEST_F(LevelWriterTest, WholeSlideModeDecodesStoredTilesOfTheLevelMagnificationInRasterOrder) {
    // The level at factor 4 of the 2000 x 1500 slide: 500 x 375 at 10x.
    source_.tileSize = 256;
    level_.width = 500;
    level_.height = 375;
    level_.scaleFactor = 4.0f;
    const std::string path = PathIn("level.tif");
    const LevelOutcome outcome = RunLevel(path, FirstWorkers(1));

    EXPECT_EQ(FetchLines(), (std::vector<std::string>{"tile 10 0 0", "tile 10 256 0",
                                                      "tile 10 0 256", "tile 10 256 256"}));
    EXPECT_EQ(Releases(), 4);
    EXPECT_TRUE(outcome.Complete());
    EXPECT_EQ(outcome.rowsWritten, 375);
    EXPECT_EQ(outcome.lostTiles, 0);
    const auto left = ReadTile(path, 0, 0, 0);
    const auto right = ReadTile(path, 0, 256, 0);  // decodes 244 wide
    const auto corner = ReadTile(path, 0, 256, 256);
    ASSERT_FALSE(left.empty());
    ASSERT_FALSE(right.empty());
    ASSERT_FALSE(corner.empty());
    EXPECT_LT(MeanDifferenceFromFake(left, 256, 256, 256, 0, 0, 10.0f), 3.0);
    EXPECT_LT(MeanDifferenceFromFake(right, 256, 244, 256, 256, 0, 10.0f), 3.0);
    EXPECT_LT(MeanDifferenceFromFake(corner, 256, 244, 119, 256, 256, 10.0f), 3.0);
}

TEST_F(LevelWriterTest, ARefusedTileWriteStopsTheLevelAndSaysWhichTile) {
    source_.regionMode = true;
    source_.tileSize = 256;
    level_.width = 768;
    level_.height = 512;
    const LevelOutcome outcome = RunLevel(PathIn("striped.tif"), FirstWorkers(1), false);
    EXPECT_FALSE(outcome.Complete());
    ASSERT_TRUE(outcome.failure);
    EXPECT_EQ(outcome.failure->kind, LevelFailure::Kind::WriteRefused);
    EXPECT_EQ(outcome.failure->what, "writing tile 0 (0, 0)");
    EXPECT_EQ(outcome.rowsWritten, 0);
    EXPECT_EQ(FetchLines().size(), 1u);  // nothing more is fetched for a lost file
    EXPECT_EQ(Releases(), 1);
    EXPECT_EQ(dots_, 0);
}

TEST_F(LevelWriterTest, ATileThatWouldTakeTheFilePastItsLimitStopsTheLevelUnwritten) {
    // 2 x 2 tiles; the first two fit under the limit with the directory's
    // room, the third would not.
    source_.regionMode = true;
    source_.tileSize = 256;
    level_.width = 512;
    level_.height = 512;
    const std::string path = PathIn("limited.tif");
    const LevelOutcome whole = RunLevel(path, FirstWorkers(1));
    ASSERT_TRUE(whole.Complete());
    const std::vector<std::uint64_t> offsets = TileOffsets(path);
    ASSERT_EQ(offsets.size(), 4u);

    LevelLimits limits;
    limits.fileBytes = offsets[2] + DirectoryBytes(4);
    const LevelOutcome limited = RunLevel(path, FirstWorkers(1), true, limits);
    ASSERT_TRUE(limited.failure);
    EXPECT_EQ(limited.failure->kind, LevelFailure::Kind::FileLimit);
    EXPECT_EQ(limited.failure->what, "writing tile 2 (0, 256)");
    EXPECT_EQ(limited.rowsWritten, 256);
    EXPECT_LE(std::filesystem::file_size(path), limits.fileBytes);
}

TEST_F(LevelWriterTest, SixtyFourWorkersWriteEveryTileOnceAndInRasterOrder) {
    // Tiles of 16 pixels give 25 x 94 tiles to share; with a budget of one
    // tile the workers take turns, and the tile the file waits for is never
    // held back by the others.
    source_.regionMode = true;
    source_.tileSize = 16;
    level_.originX = 1000;
    level_.width = 400;
    level_.height = 1500;
    for (const std::size_t budget : {kTileBudgetBytes, std::size_t{0}}) {
        const std::string path = PathIn(budget == 0 ? "one-tile.tif" : "shared.tif");
        LevelLimits limits;
        limits.budgetBytes = budget;
        auto run = std::async(std::launch::async,
                              [&] { return RunLevel(path, StartWorkerThread, true, limits); });
        ASSERT_EQ(run.wait_for(kWakeUp), std::future_status::ready) << budget;
        const LevelOutcome outcome = run.get();
        EXPECT_TRUE(outcome.Complete());
        EXPECT_EQ(outcome.rowsWritten, 1500);  // never more than the level's rows
        EXPECT_EQ(FetchLines().size(), 25u * 94u * (budget == 0 ? 2 : 1));
        EXPECT_EQ(Releases(), 25 * 94 * (budget == 0 ? 2 : 1));

        const std::vector<std::uint64_t> offsets = TileOffsets(path);
        ASSERT_EQ(offsets.size(), 25u * 94u);
        EXPECT_TRUE(std::is_sorted(offsets.begin(), offsets.end()));
        EXPECT_EQ(std::adjacent_find(offsets.begin(), offsets.end()), offsets.end());
        for (const auto& [x, y] :
             std::vector<std::pair<int, int>>{{0, 0}, {384, 1008}, {192, 1488}}) {
            const auto tileData = ReadTile(path, 0, x, y);
            ASSERT_FALSE(tileData.empty());
            EXPECT_LT(MeanDifferenceFromFake(tileData, 16, 16, std::min(16, 1500 - y), 1000 + x, y,
                                             40.0f),
                      4.0)
                << x << "," << y;
        }
    }
}

class LevelWindowTest : public FakeSlideTest {
protected:
    void SetUp() override {
        FakeSlideTest::SetUp();
        tiff_ = CreateTiffForWriting(PathIn("order.tif"));
        ASSERT_TRUE(tiff_);
        source_.slide = slide_;
        source_.tileSize = 16;
        // One row of tiles, long enough for two windows and more.
        level_.width = static_cast<std::int32_t>(16 * 3 * LevelWriter::kWindow);
        level_.height = 16;
        SharedLevelTags shared;
        shared.pageCount = 5;
        shared.tileSize = 16;
        SetLevelTags(tiff_.get(), level_, shared);
    }
    // Takes a tile on another thread; the future holds its index, or -1.
    std::future<std::int64_t> TakeElsewhere(LevelWriter* writer) {
        return std::async(std::launch::async, [writer] {
            TilePlace place;
            return writer->Take(&place) ? place.index : std::int64_t{-1};
        });
    }
    static TileStream Stream() { return TileStream{{0xFF, 0xD8, 0xFF, 0xD9}, false}; }

    TiffFile tiff_;
    LevelSource source_;
    LevelPlan level_;
};

TEST_F(LevelWindowTest, FinishedTilesWaitForTheirTurnAndTakersWaitForTheWindow) {
    LevelWriter tiles(tiff_.get(), source_, level_);
    ASSERT_EQ(tiles.TileCount(), 3 * LevelWriter::kWindow);

    std::vector<TilePlace> taken(LevelWriter::kWindow);
    for (TilePlace& place : taken) ASSERT_TRUE(tiles.Take(&place));
    EXPECT_EQ(taken[5].index, 5);
    EXPECT_EQ(taken[5].column, 80);

    // The next tile is a window ahead of the writer: its taker waits.
    auto blocked = TakeElsewhere(&tiles);
    EXPECT_EQ(blocked.wait_for(100ms), std::future_status::timeout);

    for (std::size_t i = taken.size() - 1; i >= 1; --i) tiles.Finish(taken[i], Stream());
    EXPECT_EQ(blocked.wait_for(50ms), std::future_status::timeout);
    EXPECT_EQ(TIFFGetStrileByteCount(tiff_.get(), 1), 0u);  // nothing written before tile 0

    tiles.Finish(taken[0], Stream());
    ASSERT_EQ(blocked.wait_for(kWakeUp), std::future_status::ready);
    EXPECT_EQ(blocked.get(), LevelWriter::kWindow);
    for (ttile_t t = 0; t < LevelWriter::kWindow; ++t) {
        EXPECT_EQ(TIFFGetStrileByteCount(tiff_.get(), t), 4u) << t;
        if (t > 0) {
            EXPECT_GT(TIFFGetStrileOffset(tiff_.get(), t), TIFFGetStrileOffset(tiff_.get(), t - 1));
        }
    }

    // A tile that could not be encoded stops the level: it lets a waiting
    // taker go and hands out nothing more. The tile the blocked taker got is
    // next to write.
    std::vector<TilePlace> more(LevelWriter::kWindow - 1);
    for (TilePlace& place : more) ASSERT_TRUE(tiles.Take(&place));
    auto stopped = TakeElsewhere(&tiles);
    EXPECT_EQ(stopped.wait_for(50ms), std::future_status::timeout);
    TilePlace next;
    next.index = LevelWriter::kWindow;
    next.column = static_cast<std::int32_t>(16 * LevelWriter::kWindow);
    tiles.Finish(next, TileStream{});
    ASSERT_EQ(stopped.wait_for(kWakeUp), std::future_status::ready);
    EXPECT_EQ(stopped.get(), -1);
    TilePlace place;
    EXPECT_FALSE(tiles.Take(&place));
}

TEST_F(LevelWindowTest, TakersWaitWhileTheTilesInFlightSpendTheBudget) {
    const std::size_t working = TileWorkingBytes(16);
    LevelLimits limits;
    limits.budgetBytes = 3 * working;
    LevelWriter tiles(tiff_.get(), source_, level_, limits);
    std::vector<TilePlace> taken(3);
    for (TilePlace& place : taken) ASSERT_TRUE(tiles.Take(&place));
    EXPECT_EQ(tiles.BytesInFlight(), 3 * working);

    auto fourth = TakeElsewhere(&tiles);
    EXPECT_EQ(fourth.wait_for(100ms), std::future_status::timeout);
    // A finished tile that waits for its turn keeps only its stream.
    tiles.Finish(taken[2], Stream());
    EXPECT_EQ(tiles.BytesInFlight(), 2 * working + 4);
    EXPECT_EQ(fourth.wait_for(50ms), std::future_status::timeout);
    // Written, the first two free their bytes and the fourth tile is taken.
    tiles.Finish(taken[0], Stream());
    tiles.Finish(taken[1], Stream());
    ASSERT_EQ(fourth.wait_for(kWakeUp), std::future_status::ready);
    EXPECT_EQ(fourth.get(), 3);
    EXPECT_EQ(tiles.BytesInFlight(), working);
}

}  // namespace
}  // namespace nvx::pyramid
