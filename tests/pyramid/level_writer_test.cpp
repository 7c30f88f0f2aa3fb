/*
 * level_writer_test.cpp - one level written by its workers against the fake
 * slide library: what they fetch, what lands in the TIFF (edge tiles padded
 * with their last real column and row), the rows counted, refused writes,
 * the raster order of the tiles in the file whatever the thread timing,
 * finished tiles that wait for their turn, the byte budget of the tiles in
 * flight, the workers stopped when Run threw, and the large blocks a level
 * holds while it runs, within its budget and its gate.
 */
#include "pyramid/level_writer.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <future>
#include <memory>
#include <ostream>
#include <stdexcept>

#include "common/turbo_jpeg.h"
#include "pyramid/output_layout.h"
#include "pyramid/output_size.h"
#include "pyramid/pyramid_plan.h"
#include "pyramid/tile_encoder.h"
#include "tests/pyramid/fake_slide_fixture.h"
#include "tests/pyramid/held_bytes.h"
#include "tests/pyramid/tiff_file.h"

namespace nvx::pyramid {
namespace {

using testing::CreateTiffForWriting;
using testing::FakeSlideTest;
using testing::kCountedBlockBytes;
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
            const std::size_t held = testing::HeldBytes();
            testing::RestartPeak();
            outcome = writer.Run([this] { ++dots_; });
            peakHeld_ = testing::PeakHeldBytes() - held;
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
    std::size_t peakHeld_ = 0;  // the most held in large blocks while the level ran
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
    EXPECT_EQ(outcome.routes, (TileRoutes{0, 0, 2}));  // a region's pixels, always
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
    // The one whole stored tile is transcoded; the edge tiles are decoded and padded.
    EXPECT_EQ(outcome.routes, (TileRoutes{0, 1, 3}));
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
        // Each tile counted once, whichever worker made it.
        EXPECT_EQ(outcome.routes, (TileRoutes{0, 0, 25 * 94}));
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

TEST_F(LevelWriterTest, AWriterWhoseRunThrewStopsItsWorkersInsteadOfWaitingForTheLevel) {
    // 125 x 94 tiles of 16 pixels, one worker: a run would fetch them all.
    source_.regionMode = true;
    source_.tileSize = 16;
    level_.width = 2000;
    level_.height = 1500;
    TiffFile tiff = CreateTiffForWriting(PathIn("thrown.tif"));
    ASSERT_TRUE(tiff);
    SharedLevelTags shared;
    shared.pageCount = 5;
    shared.tileSize = 16;
    SetLevelTags(tiff.get(), level_, shared);
    source_.slide = slide_;
    source_.scanMagnification = 40;
    int starts = 0;
    const ThreadStarter oneThenThrow = [&](WorkerThread* thread, std::function<void()> work) {
        if (starts++ == 1) throw std::runtime_error("no more threads");
        return StartWorkerThread(thread, std::move(work));
    };
    {
        LevelWriter writer(tiff.get(), source_, level_, {}, oneThenThrow);
        EXPECT_THROW(writer.Run([] {}), std::runtime_error);
    }
    const std::size_t fetched = FetchLines().size();
    EXPECT_LT(fetched, 125u * 94u);
    EXPECT_EQ(Releases(), static_cast<long>(fetched));
}

class LevelWindowTest : public FakeSlideTest {
protected:
    static constexpr int kTiles = 96;
    void SetUp() override {
        FakeSlideTest::SetUp();
        tiff_ = CreateTiffForWriting(PathIn("order.tif"));
        ASSERT_TRUE(tiff_);
        source_.slide = slide_;
        source_.tileSize = 16;
        level_.width = 16 * kTiles;  // one row of tiles
        level_.height = 16;
        SharedLevelTags shared;
        shared.pageCount = 5;
        shared.tileSize = 16;
        SetLevelTags(tiff_.get(), level_, shared);
    }
    // Takes a tile on another thread; the future holds its index, or -1.
    std::future<std::int64_t> TakeElsewhere(LevelWriter* writer) {
        return std::async(std::launch::async, [writer] {
            TakenTile tile;
            return writer->Take(&tile) ? tile.place.index : std::int64_t{-1};
        });
    }
    // The most a tile of this level holds: every one is whole.
    std::size_t Most() const {
        return CostOf(source_, level_, TilePlace{}, !PixelRouteForced()).Most();
    }
    static TileStream Stream() { return TileStream{{0xFF, 0xD8, 0xFF, 0xD9}, false}; }

    TiffFile tiff_;
    LevelSource source_;
    LevelPlan level_;
};

TEST_F(LevelWindowTest, FinishedTilesWaitForTheirTurnAndAFailedTileLetsWaitingTakersGo) {
    LevelLimits limits;
    limits.budgetBytes = 32 * Most();
    LevelWriter tiles(tiff_.get(), source_, level_, limits);
    ASSERT_EQ(tiles.TileCount(), kTiles);

    std::vector<TakenTile> taken(32);
    for (TakenTile& tile : taken) ASSERT_TRUE(tiles.Take(&tile));
    EXPECT_EQ(taken[5].place.index, 5);
    EXPECT_EQ(taken[5].place.column, 80);

    for (std::size_t i = taken.size() - 1; i >= 1; --i) tiles.Finish(&taken[i], Stream());
    EXPECT_EQ(TIFFGetStrileByteCount(tiff_.get(), 1), 0u);  // nothing written before tile 0
    tiles.Finish(&taken[0], Stream());
    for (ttile_t t = 0; t < 32; ++t) {
        EXPECT_EQ(TIFFGetStrileByteCount(tiff_.get(), t), 4u) << t;
        if (t > 0) {
            EXPECT_GT(TIFFGetStrileOffset(tiff_.get(), t), TIFFGetStrileOffset(tiff_.get(), t - 1));
        }
    }
    EXPECT_EQ(tiles.BytesInFlight(), 0u);

    // A tile that could not be encoded stops the level: it lets a taker
    // that waits for the budget go and hands out nothing more.
    for (TakenTile& tile : taken) ASSERT_TRUE(tiles.Take(&tile));
    auto stopped = TakeElsewhere(&tiles);
    EXPECT_EQ(stopped.wait_for(50ms), std::future_status::timeout);
    tiles.Finish(&taken[0], TileStream{});
    ASSERT_EQ(stopped.wait_for(kWakeUp), std::future_status::ready);
    EXPECT_EQ(stopped.get(), -1);
    TakenTile tile;
    EXPECT_FALSE(tiles.Take(&tile));
}

TEST_F(LevelWindowTest, TakersWaitWhileTheTilesInFlightSpendTheBudget) {
    const std::size_t most = Most();
    LevelLimits limits;
    limits.budgetBytes = 3 * most;
    LevelWriter tiles(tiff_.get(), source_, level_, limits);
    std::vector<TakenTile> taken(3);
    for (TakenTile& tile : taken) ASSERT_TRUE(tiles.Take(&tile));
    EXPECT_EQ(tiles.BytesInFlight(), 3 * most);

    auto fourth = TakeElsewhere(&tiles);
    EXPECT_EQ(fourth.wait_for(100ms), std::future_status::timeout);
    // A fetched stored stream counts beside the bytes the tile will be made in.
    tiles.Arrived(&taken[2], 100);
    EXPECT_EQ(tiles.BytesInFlight(), 3 * most + 100);
    // A made tile that waits for its turn keeps only its stream.
    tiles.Finish(&taken[2], Stream());
    EXPECT_EQ(tiles.BytesInFlight(), 2 * most + 4);
    EXPECT_EQ(fourth.wait_for(50ms), std::future_status::timeout);
    // Written, the first two free their bytes and the fourth tile is taken.
    tiles.Finish(&taken[0], Stream());
    tiles.Finish(&taken[1], Stream());
    ASSERT_EQ(fourth.wait_for(kWakeUp), std::future_status::ready);
    EXPECT_EQ(fourth.get(), 3);
    EXPECT_EQ(tiles.BytesInFlight(), most);
}

// A level of copied tiles hands out tiles ahead of the one the file waits
// for only as far as its own cap allows, whatever its budget: a copy takes
// microseconds, and a deeper read-ahead only piles up finished tiles. Any
// other level goes as far as its budget. Takers beyond it wait.
TEST_F(LevelWindowTest, ALevelOfCopiedTilesReadsAheadNoFurtherThanItsCap) {
    source_.tileSize = 256;
    level_.width = 256 * kTiles;
    level_.height = 256;
    struct Case {
        const char* name;
        bool copied;
        std::size_t budget;
        std::size_t reach;  // the bytes the tiles handed out ahead may hold
    };
    const Case cases[] = {
        {"copied, the default budget", true, kTileBudgetBytes, kCopiedTileBudgetBytes},
        {"copied, a smaller budget", true, kCopiedTileBudgetBytes / 2, kCopiedTileBudgetBytes / 2},
        {"made, a budget above the cap", false, 2 * kCopiedTileBudgetBytes,
         2 * kCopiedTileBudgetBytes},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        level_.storedTiles = c.copied;
        LevelLimits limits;
        limits.budgetBytes = c.budget;
        LevelWriter tiles(tiff_.get(), source_, level_, limits);
        const std::size_t ahead = c.reach / Most();
        ASSERT_LT(ahead, static_cast<std::size_t>(kTiles));
        std::vector<TakenTile> taken(ahead);
        for (TakenTile& tile : taken) ASSERT_TRUE(tiles.Take(&tile));
        auto next = TakeElsewhere(&tiles);
        EXPECT_EQ(next.wait_for(100ms), std::future_status::timeout);
        tiles.Stop(LevelFailure{});
        ASSERT_EQ(next.wait_for(kWakeUp), std::future_status::ready);
        EXPECT_EQ(next.get(), -1);
    }
}

// One level of the fake slide, 4 x 3 tiles of 512 pixels, written by its
// workers: the large blocks it holds (held_bytes.h) stay within the budget
// and within what the tiles the gate lets in hold, and no more tiles are
// made at once than the gate lets in. A tile gives its fetched buffer back
// while it is made, and the fake holds each such release a while: the
// tiles that get past the gate pile up there, and the fake counts them.
struct MemoryCase {
    const char* name;
    bool regionMode;
    bool pixelRoute;
    int tilesAtOnce;  // 0: as many as the machine makes at once
    int budgetTiles;  // the budget in the most one whole tile holds; 0: no budget to speak of
};

void PrintTo(const MemoryCase& row, std::ostream* out) { *out << row.name; }

class LevelMemoryTest : public LevelWriterTest, public ::testing::WithParamInterface<MemoryCase> {
protected:
    static constexpr int kSide = 512;
    // The fake reads its settings when it is loaded, which the fixture does.
    // Its stored tiles are one small stream, as nvxmake stores them: the
    // blocks counted are the converter's, not those the fake makes its
    // streams in.
    void SetUp() override {
        char name[] = "/tmp/nvx-stored-tile-XXXXXX";
        const int file = mkstemp(name);
        ASSERT_GE(file, 0);
        storedTile_ = name;
        std::vector<std::uint8_t> rgb(kSide * kSide * 3);
        for (std::size_t i = 0; i < rgb.size(); ++i)
            rgb[i] = static_cast<std::uint8_t>(i / 3 % 256);
        TurboJpegHandle handle(tjInitCompress());
        unsigned char* jpeg = nullptr;
        unsigned long size = 0;
        ASSERT_EQ(tjCompress2(handle.get(), rgb.data(), kSide, 0, kSide, TJPF_RGB, &jpeg, &size,
                              TJSAMP_444, 85, 0),
                  0);
        const bool written = write(file, jpeg, size) == static_cast<ssize_t>(size);
        tjFree(jpeg);
        close(file);
        ASSERT_TRUE(written);
        ASSERT_LT(size, kCountedBlockBytes);
        setenv("NVXFAKE_TILE_FILE", name, 1);
        setenv("NVXFAKE_HOLD_RELEASE", "20", 1);
        if (GetParam().pixelRoute) setenv("NVX2SVS_PIXEL_ROUTE", "1", 1);
        LevelWriterTest::SetUp();
    }
    void TearDown() override {
        LevelWriterTest::TearDown();
        unsetenv("NVXFAKE_TILE_FILE");
        unsetenv("NVXFAKE_HOLD_RELEASE");
        unsetenv("NVX2SVS_PIXEL_ROUTE");
        if (!storedTile_.empty()) std::remove(storedTile_.c_str());
    }

    std::string storedTile_;
};

TEST_P(LevelMemoryTest, LargeBlocksStayWithinTheBudgetAndTheGate) {
    const MemoryCase& row = GetParam();
    source_.regionMode = row.regionMode;
    source_.tileSize = kSide;
    level_.width = testing::kFakeWidth;
    level_.height = testing::kFakeHeight;
    const std::size_t most =
        CostOf(source_, level_, TilePlace{}, !row.regionMode && !row.pixelRoute).Most();
    LevelLimits limits;
    limits.tilesAtOnce = row.tilesAtOnce;
    limits.budgetBytes = row.budgetTiles != 0 ? row.budgetTiles * most : std::size_t{1} << 40;
    // Two for each CPU the process may use.
    const int atOnce = row.tilesAtOnce != 0 ? row.tilesAtOnce : 2 * UsableCpus();
    // The most the tiles being made hold, by the gate alone.
    const std::size_t gate = atOnce * most;

    const LevelOutcome outcome = RunLevel(PathIn("level.tif"), StartWorkerThread, true, limits);
    ASSERT_TRUE(outcome.Complete());
    EXPECT_EQ(FetchLines().size(), 12u);
    int made = 0;  // the most tiles made at once
    for (const std::string& line : NewLogLines()) {
        if (line.rfind("releasing ", 0) == 0) made = std::max(made, std::stoi(line.substr(10)));
    }
    EXPECT_GT(made, 0);
    EXPECT_LE(made, atOnce);
    // Only what libjpeg and the allocator add to a block passes the tiles'
    // own bytes.
    const std::size_t slack = 16 * 1024;
    EXPECT_GT(peakHeld_, 0u);
    EXPECT_LE(peakHeld_, std::min(limits.budgetBytes, gate) + slack)
        << "budget " << limits.budgetBytes << ", gate " << gate;
}

INSTANTIATE_TEST_SUITE_P(EachLimit, LevelMemoryTest,
                         ::testing::Values(
                             // Room in the gate for all: the budget decides.
                             MemoryCase{"BudgetOfCoefficients", false, false, 8, 2},
                             MemoryCase{"BudgetOfDecodedPixels", false, true, 8, 2},
                             MemoryCase{"BudgetOfRegions", true, false, 8, 2},
                             // Room in the budget for all: the gate decides.
                             MemoryCase{"GateOfCoefficients", false, false, 2, 0},
                             MemoryCase{"GateOfDecodedPixels", false, true, 2, 0},
                             MemoryCase{"GateOfThisMachine", false, false, 0, 0}),
                         [](const ::testing::TestParamInfo<MemoryCase>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
}  // namespace nvx::pyramid
