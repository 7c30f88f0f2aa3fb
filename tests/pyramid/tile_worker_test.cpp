/*
 * tile_worker_test.cpp - one tile worker against the fake slide library:
 * what it fetches, what lands in the TIFF (narrow tiles through the edge
 * buffer, the band's short last row), the row accounting, empty bands,
 * refused writes, and 64 workers sharing one file.
 */
#include "pyramid/tile_worker.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <memory>

#include "pyramid/output_layout.h"
#include "pyramid/pyramid_plan.h"
#include "pyramid/worker_threads.h"
#include "tests/pyramid/fake_slide_fixture.h"

namespace nvx::pyramid {
namespace {

using testing::FakeSlideTest;
using testing::MeanDifferenceFromFake;
using testing::MeanValue;
using testing::ReadTile;

class TileWorkerTest : public FakeSlideTest {
protected:
    // Runs one worker over `task` into a fresh one-level TIFF at `path`.
    // With `tiled` false the directory lacks its tile tags and libtiff
    // refuses every tile write.
    void RunWorker(const std::string& path, BandTask task, std::int32_t levelHeight,
                   bool tiled = true) {
        TiffFile tiff = CreateOutputTiff(path);
        ASSERT_TRUE(tiff);
        if (tiled) {
            LevelTags tags;
            tags.page = 1;
            tags.pageCount = 5;
            tags.width = task.levelWidth;
            tags.height = levelHeight;
            tags.tileSize = task.tileSize;
            tags.scanMagnification = 40;
            SetLevelTags(tiff.get(), tags);
        } else {
            TIFFSetField(tiff.get(), TIFFTAG_IMAGEWIDTH,
                         static_cast<std::uint32_t>(task.levelWidth));
            TIFFSetField(tiff.get(), TIFFTAG_IMAGELENGTH, static_cast<std::uint32_t>(levelHeight));
        }
        task.slide = slide_;
        task.scanMagnification = 40.0f;
        task.tiff = tiff.get();
        task.rowsDone = &rowsDone_;
        task.liveWorkers = &liveWorkers_;
        task.tileLock = &tileLock_;
        task.faults = &faults_;
        EXPECT_EQ(TileWorkerProc(&task), 0u);
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

TEST(BandMagnificationTest, ScanMagnificationOverTheLevelFactor) {
    EXPECT_EQ(BandMagnification(40.0f, 1.0f), 40.0f);
    EXPECT_EQ(BandMagnification(40.0f, 4.0f), 10.0f);
    EXPECT_EQ(BandMagnification(40.0f, 8.0f), 5.0f);
    EXPECT_EQ(BandMagnification(40.0f, 16.0f), 2.5f);
    EXPECT_EQ(BandMagnification(40.0f, 64.0f), 0.625f);
    EXPECT_EQ(BandMagnification(20.0f, 262144.0f), static_cast<float>(20.0 / 262144.0));
}

TEST_F(TileWorkerTest, RegionNarrowerThanATileIsLaidOutAtFullWidthWithZerosBeyond) {
    BandTask task;
    task.regionMode = 1;
    task.originX = 1900;
    task.originY = 100;
    task.levelWidth = 100;
    task.tileSize = 256;
    task.startRow = 0;
    task.endRow = 300;
    const std::string path = PathIn("narrow.tif");
    RunWorker(path, task, 300);

    EXPECT_EQ(FetchLines(), (std::vector<std::string>{"region 40 1900 100 100 256 0",
                                                      "region 40 1900 356 100 44 0"}));
    EXPECT_EQ(Releases(), 2);
    EXPECT_EQ(rowsDone_.load(), 512);  // each tile row counts a whole tile
    EXPECT_EQ(liveWorkers_.load(), 0);
    EXPECT_EQ(faults_.lostTiles.load(), 0);

    const auto first = ReadTile(path, 0, 0, 0);
    ASSERT_EQ(first.size(), 256u * 256 * 3);
    EXPECT_LT(MeanDifferenceFromFake(first, 256, 100, 256, 1900, 100, 40.0f), 3.0);
    EXPECT_LT(MeanValue(first, 256, 120, 0, 256, 256), 3.0);  // the edge buffer's zeros
    const auto second = ReadTile(path, 0, 0, 256);
    ASSERT_EQ(second.size(), 256u * 256 * 3);
    EXPECT_LT(MeanDifferenceFromFake(second, 256, 100, 44, 1900, 356, 40.0f), 3.0);
}

TEST_F(TileWorkerTest, RegionWidthOfWholeTilesCountsEachRowOnceAtItsLastTile) {
    BandTask task;
    task.regionMode = 1;
    task.levelWidth = 512;
    task.tileSize = 256;
    task.startRow = 256;
    task.endRow = 512;
    const std::string path = PathIn("whole.tif");
    RunWorker(path, task, 512);

    EXPECT_EQ(FetchLines(), (std::vector<std::string>{"region 40 0 256 256 256 0",
                                                      "region 40 256 256 256 256 0"}));
    EXPECT_EQ(rowsDone_.load(), 256);
    const auto tile = ReadTile(path, 0, 256, 256);
    ASSERT_FALSE(tile.empty());
    EXPECT_LT(MeanDifferenceFromFake(tile, 256, 256, 256, 256, 256, 40.0f), 3.0);
}

TEST_F(TileWorkerTest, WholeSlideModeDecodesStoredTilesOfTheLevelMagnification) {
    // The level at factor 4 of the 2000 x 1500 slide: 500 x 375 at 10x.
    BandTask task;
    task.levelWidth = 500;
    task.tileSize = 256;
    task.scaleFactor = 4.0f;
    task.startRow = 0;
    task.endRow = 375;
    const std::string path = PathIn("level.tif");
    RunWorker(path, task, 375);

    EXPECT_EQ(FetchLines(), (std::vector<std::string>{"tile 10 0 0", "tile 10 256 0",
                                                      "tile 10 0 256", "tile 10 256 256"}));
    EXPECT_EQ(Releases(), 4);
    EXPECT_EQ(rowsDone_.load(), 512);
    EXPECT_EQ(faults_.lostTiles.load(), 0);
    const auto left = ReadTile(path, 0, 0, 0);
    const auto right = ReadTile(path, 0, 256, 0);  // decodes 244 wide: the edge buffer
    const auto corner = ReadTile(path, 0, 256, 256);
    ASSERT_FALSE(left.empty());
    ASSERT_FALSE(right.empty());
    ASSERT_FALSE(corner.empty());
    EXPECT_LT(MeanDifferenceFromFake(left, 256, 256, 256, 0, 0, 10.0f), 3.0);
    EXPECT_LT(MeanDifferenceFromFake(right, 256, 244, 256, 256, 0, 10.0f), 3.0);
    EXPECT_LT(MeanDifferenceFromFake(corner, 256, 244, 119, 256, 256, 10.0f), 3.0);
}

TEST_F(TileWorkerTest, EmptyBandFetchesNothingWritesNothingAndStillCountsItselfOut) {
    BandTask task;
    task.levelWidth = 2000;
    task.tileSize = 256;
    task.startRow = 0;
    task.endRow = 0;
    RunWorker(PathIn("empty.tif"), task, 1500);
    EXPECT_TRUE(FetchLines().empty());
    EXPECT_EQ(rowsDone_.load(), 0);
    EXPECT_EQ(liveWorkers_.load(), 0);
    EXPECT_FALSE(faults_.Any());
}

TEST_F(TileWorkerTest, RefusedTileWritesAreCountedWhileTheRowsStillCount) {
    BandTask task;
    task.regionMode = 1;
    task.levelWidth = 300;
    task.tileSize = 256;
    task.startRow = 0;
    task.endRow = 256;
    RunWorker(PathIn("striped.tif"), task, 256, /*tiled=*/false);
    EXPECT_EQ(faults_.failedTileWrites.load(), 2);
    EXPECT_EQ(faults_.lostTiles.load(), 0);
    EXPECT_EQ(rowsDone_.load(), 256);
    EXPECT_EQ(Releases(), 2);  // buffers go back whatever the write did
    EXPECT_EQ(liveWorkers_.load(), 0);
}

TEST_F(TileWorkerTest, SixtyFourWorkersShareOneFileAndCountEveryRow) {
    // Tiles of 16 rows make all 64 bands busy on the fake's 1500 rows.
    const std::int32_t tile = 16;
    const std::int32_t width = 400;
    const std::int32_t height = 1500;
    const std::string path = PathIn("shared.tif");
    TiffFile tiff = CreateOutputTiff(path);
    ASSERT_TRUE(tiff);
    LevelTags tags;
    tags.page = 1;
    tags.pageCount = 5;
    tags.width = width;
    tags.height = height;
    tags.tileSize = tile;
    tags.scanMagnification = 40;
    SetLevelTags(tiff.get(), tags);

    liveWorkers_ = kWorkersPerLevel;
    std::array<BandTask, kWorkersPerLevel> tasks;
    for (int j = 0; j < kWorkersPerLevel; ++j) {
        const BandRows band = BandOf(j, height, tile);
        BandTask& task = tasks[j];
        task.regionMode = 1;
        task.originX = 1000;
        task.levelWidth = width;
        task.tileSize = tile;
        task.slide = slide_;
        task.scanMagnification = 40.0f;
        task.startRow = band.startRow;
        task.endRow = band.endRow;
        task.tiff = tiff.get();
        task.rowsDone = &rowsDone_;
        task.liveWorkers = &liveWorkers_;
        task.tileLock = &tileLock_;
        task.faults = &faults_;
    }
    {
        std::array<WorkerThread, kWorkersPerLevel> threads;
        for (int j = 0; j < kWorkersPerLevel; ++j) {
            ASSERT_TRUE(StartWorkerThread(&threads[j], TileWorkerProc, &tasks[j]));
        }
    }
    EXPECT_EQ(liveWorkers_.load(), 0);
    EXPECT_EQ(rowsDone_.load(), 1504);  // 94 tile rows, the last one 12 rows short
    EXPECT_FALSE(faults_.Any());
    ASSERT_EQ(TIFFWriteDirectory(tiff.get()), 1);
    tiff.reset();

    EXPECT_EQ(FetchLines().size(), 25u * 94u);
    EXPECT_EQ(Releases(), 25 * 94);
    for (const auto& [x, y] : std::vector<std::pair<int, int>>{{0, 0}, {384, 1008}, {192, 1488}}) {
        const auto tileData = ReadTile(path, 0, x, y);
        ASSERT_FALSE(tileData.empty());
        EXPECT_LT(MeanDifferenceFromFake(tileData, tile, tile, std::min(tile, height - y), 1000 + x,
                                         y, 40.0f),
                  4.0)
            << x << "," << y;
    }
}

}  // namespace
}  // namespace nvx::pyramid
