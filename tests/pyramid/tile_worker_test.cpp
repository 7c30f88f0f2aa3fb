/*
 * tile_worker_test.cpp - tile workers against the fake slide library: what
 * they fetch, what lands in the TIFF (edge tiles padded with their last
 * real column and row), the row accounting, refused writes, the raster
 * order of the tiles in the file whatever the thread timing, and the
 * window that holds finished tiles until their turn.
 */
#include "pyramid/tile_worker.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <thread>

#include "pyramid/output_layout.h"
#include "pyramid/pyramid_plan.h"
#include "pyramid/tile_encoder.h"
#include "pyramid/worker_threads.h"
#include "tests/pyramid/fake_slide_fixture.h"
#include "tests/pyramid/tiff_file.h"

namespace nvx::pyramid {
namespace {

using testing::CreateTiffForWriting;
using testing::FakeSlideTest;
using testing::MeanDifferenceFromFake;
using testing::ReadTile;
using testing::TiffFile;

class TileWorkerTest : public FakeSlideTest {
protected:
    // Runs `workers` workers over one level described by `task` into a fresh
    // one-level TIFF at `path`. With `tiled` false the directory lacks its
    // tile tags and libtiff refuses every tile write.
    void RunLevel(const std::string& path, BandTask task, int workers = 1, bool tiled = true) {
        TiffFile tiff = CreateTiffForWriting(path);
        ASSERT_TRUE(tiff);
        if (tiled) {
            LevelTags tags;
            tags.page = 1;
            tags.pageCount = 5;
            tags.width = task.levelWidth;
            tags.height = task.levelHeight;
            tags.tileSize = task.tileSize;
            tags.scanMagnification = 40;
            SetLevelTags(tiff.get(), tags);
            SetJpegTables(tiff.get(), TablesFor(tags.jpegQuality));
        } else {
            TIFFSetField(tiff.get(), TIFFTAG_IMAGEWIDTH,
                         static_cast<std::uint32_t>(task.levelWidth));
            TIFFSetField(tiff.get(), TIFFTAG_IMAGELENGTH,
                         static_cast<std::uint32_t>(task.levelHeight));
        }
        TileSequence tiles(tiff.get(), task.levelWidth, task.levelHeight, task.tileSize, &tileLock_,
                           &rowsDone_, &faults_);
        liveWorkers_ = workers;
        task.slide = slide_;
        task.scanMagnification = 40.0f;
        task.tiles = &tiles;
        task.liveWorkers = &liveWorkers_;
        task.faults = &faults_;
        {
            std::vector<WorkerThread> threads(static_cast<std::size_t>(workers));
            for (WorkerThread& thread : threads) {
                ASSERT_TRUE(StartWorkerThread(&thread, TileWorkerProc, &task));
            }
        }
        EXPECT_EQ(liveWorkers_.load(), 0);
        if (tiled) {
            EXPECT_EQ(TIFFWriteDirectory(tiff.get()), 1);
        }
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

    std::atomic<std::int32_t> rowsDone_{0};
    std::atomic<std::int32_t> liveWorkers_{1};
    TileLock tileLock_;
    WriteFaults faults_;
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

TEST(BandMagnificationTest, ScanMagnificationOverTheLevelFactor) {
    EXPECT_EQ(BandMagnification(40.0f, 1.0f), 40.0f);
    EXPECT_EQ(BandMagnification(40.0f, 4.0f), 10.0f);
    EXPECT_EQ(BandMagnification(40.0f, 8.0f), 5.0f);
    EXPECT_EQ(BandMagnification(40.0f, 16.0f), 2.5f);
    EXPECT_EQ(BandMagnification(40.0f, 64.0f), 0.625f);
    EXPECT_EQ(BandMagnification(20.0f, 262144.0f), static_cast<float>(20.0 / 262144.0));
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

TEST_F(TileWorkerTest, RegionEdgeTilesAreFetchedClippedAndPaddedWithTheirLastPixels) {
    BandTask task;
    task.regionMode = 1;
    task.originX = 1900;
    task.originY = 100;
    task.levelWidth = 100;
    task.levelHeight = 300;
    task.tileSize = 256;
    const std::string path = PathIn("narrow.tif");
    RunLevel(path, task);

    EXPECT_EQ(FetchLines(), (std::vector<std::string>{"region 40 1900 100 100 256 0",
                                                      "region 40 1900 356 100 44 0"}));
    EXPECT_EQ(Releases(), 2);
    EXPECT_EQ(rowsDone_.load(), 512);  // each tile row counts a whole tile
    EXPECT_FALSE(faults_.Any());

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

TEST_F(TileWorkerTest, WholeSlideModeDecodesStoredTilesOfTheLevelMagnificationInRasterOrder) {
    // The level at factor 4 of the 2000 x 1500 slide: 500 x 375 at 10x.
    BandTask task;
    task.levelWidth = 500;
    task.levelHeight = 375;
    task.tileSize = 256;
    task.scaleFactor = 4.0f;
    const std::string path = PathIn("level.tif");
    RunLevel(path, task);

    EXPECT_EQ(FetchLines(), (std::vector<std::string>{"tile 10 0 0", "tile 10 256 0",
                                                      "tile 10 0 256", "tile 10 256 256"}));
    EXPECT_EQ(Releases(), 4);
    EXPECT_EQ(rowsDone_.load(), 512);
    EXPECT_EQ(faults_.lostTiles.load(), 0);
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

TEST_F(TileWorkerTest, ARefusedTileWriteIsCountedAndStopsTheLevel) {
    BandTask task;
    task.regionMode = 1;
    task.levelWidth = 768;
    task.levelHeight = 512;
    task.tileSize = 256;
    RunLevel(PathIn("striped.tif"), task, 1, /*tiled=*/false);
    EXPECT_EQ(faults_.failedTileWrites.load(), 1);
    EXPECT_EQ(faults_.lostTiles.load(), 0);
    EXPECT_EQ(rowsDone_.load(), 0);      // the level ends short: the driver sees it
    EXPECT_EQ(FetchLines().size(), 1u);  // nothing more is fetched for a lost file
    EXPECT_EQ(Releases(), 1);
}

TEST_F(TileWorkerTest, SixtyFourWorkersWriteEveryTileOnceAndInRasterOrder) {
    // Tiles of 16 pixels give 25 x 94 tiles to share.
    BandTask task;
    task.regionMode = 1;
    task.originX = 1000;
    task.levelWidth = 400;
    task.levelHeight = 1500;
    task.tileSize = 16;
    const std::string path = PathIn("shared.tif");
    RunLevel(path, task, kWorkersPerLevel);
    EXPECT_EQ(rowsDone_.load(), 1504);  // 94 tile rows, the last one 12 rows short
    EXPECT_FALSE(faults_.Any());
    EXPECT_EQ(FetchLines().size(), 25u * 94u);
    EXPECT_EQ(Releases(), 25 * 94);

    const std::vector<std::uint64_t> offsets = TileOffsets(path);
    ASSERT_EQ(offsets.size(), 25u * 94u);
    EXPECT_TRUE(std::is_sorted(offsets.begin(), offsets.end()));
    EXPECT_EQ(std::adjacent_find(offsets.begin(), offsets.end()), offsets.end());
    for (const auto& [x, y] : std::vector<std::pair<int, int>>{{0, 0}, {384, 1008}, {192, 1488}}) {
        const auto tileData = ReadTile(path, 0, x, y);
        ASSERT_FALSE(tileData.empty());
        EXPECT_LT(
            MeanDifferenceFromFake(tileData, 16, 16, std::min(16, 1500 - y), 1000 + x, y, 40.0f),
            4.0)
            << x << "," << y;
    }
}

TEST_F(TileWorkerTest, FinishedTilesWaitForTheirTurnAndTakersWaitForTheWindow) {
    TiffFile tiff = CreateTiffForWriting(PathIn("order.tif"));
    LevelTags tags;
    tags.page = 1;
    tags.pageCount = 5;
    // One row of tiles, long enough for two windows and more.
    tags.width = static_cast<std::int32_t>(16 * 3 * TileSequence::kWindow);
    tags.height = 16;
    tags.tileSize = 16;
    SetLevelTags(tiff.get(), tags);
    TileSequence tiles(tiff.get(), tags.width, tags.height, 16, &tileLock_, &rowsDone_, &faults_);
    ASSERT_EQ(tiles.TileCount(), 3 * TileSequence::kWindow);

    std::vector<TilePlace> taken(TileSequence::kWindow);
    for (TilePlace& place : taken) ASSERT_TRUE(tiles.Take(&place));
    EXPECT_EQ(taken[5].index, 5);
    EXPECT_EQ(taken[5].column, 80);

    // The next tile is a window ahead of the writer: its taker waits.
    auto blocked = std::async(std::launch::async, [&tiles] {
        TilePlace place;
        return tiles.Take(&place) ? place.index : -1;
    });
    EXPECT_EQ(blocked.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);

    const std::vector<std::uint8_t> stream{0xFF, 0xD8, 0xFF, 0xD9};
    for (std::size_t i = taken.size() - 1; i >= 1; --i) tiles.Finish(taken[i], std::vector(stream));
    EXPECT_EQ(blocked.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    EXPECT_EQ(TIFFGetStrileByteCount(tiff.get(), 1), 0u);  // nothing written before tile 0

    tiles.Finish(taken[0], std::vector(stream));
    EXPECT_EQ(blocked.get(), TileSequence::kWindow);
    for (ttile_t t = 0; t < TileSequence::kWindow; ++t) {
        EXPECT_EQ(TIFFGetStrileByteCount(tiff.get(), t), stream.size()) << t;
        if (t > 0) {
            EXPECT_GT(TIFFGetStrileOffset(tiff.get(), t), TIFFGetStrileOffset(tiff.get(), t - 1));
        }
    }
    EXPECT_EQ(rowsDone_.load(), 0);  // the row's last tile is still to come

    // A failed write stops the level: it lets a waiting taker go and hands
    // out nothing more. The tile the blocked taker got is next to write.
    std::vector<TilePlace> more(TileSequence::kWindow - 1);
    for (TilePlace& place : more) ASSERT_TRUE(tiles.Take(&place));
    auto stopped = std::async(std::launch::async, [&tiles] {
        TilePlace place;
        return tiles.Take(&place);
    });
    EXPECT_EQ(stopped.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    TilePlace next;
    next.index = TileSequence::kWindow;
    tiles.Finish(next, {});  // a tile that could not be encoded
    EXPECT_FALSE(stopped.get());
    EXPECT_EQ(faults_.failedTileWrites.load(), 1);
    TilePlace place;
    EXPECT_FALSE(tiles.Take(&place));
}

}  // namespace
}  // namespace nvx::pyramid
