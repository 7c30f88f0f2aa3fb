/*
 * level_writer.h - one pyramid level written into the output: the one
 * object that owns the level's work.
 *
 * It owns the level's 64 worker threads, the hand-out of its tiles, the
 * byte budget, the gate of the tiles being made, the finished tiles that
 * wait for their turn, the lock that guards the tile sink (the TIFF
 * directory or the DICOM instance the tiles go to), the counters and the
 * level's outcome. The caller blocks in Run and gets the outcome
 * back; nothing of the level lives outside this object.
 *
 * Two limits, and nothing else, hold the level's work back:
 * - the byte budget: every byte a tile holds from its hand-out to its
 *   write counts against it, whatever the stage: what the slide library
 *   decodes while fetching a region, the region's pixels, the stored
 *   stream, the coefficients or decoded and laid-out pixels while the tile
 *   is made, and its encoded stream until it is in the file. A tile is
 *   handed out only when the most it will hold at once (TileCost) fits
 *   beside the bytes of the tiles in flight; as it moves on, what it counts
 *   falls to what it holds. The streams are counted when they come, at
 *   their size.
 * - the gate: TilesMadeAtOnce() tiles are fetched and made (decoded,
 *   transcoded, encoded) at once, each in a slot with its own codecs. The
 *   fetch is inside it: the slide library decodes and resamples a region
 *   on the thread that asks, so only this way does a run keep to the CPUs
 *   it may use (--threads), the library's work included.
 * Each worker takes the next tile, when it fits the budget, and waits at
 * the gate with nothing fetched yet.
 *
 * Tiles are handed out one at a time in raster order (tile-number order)
 * and written into the file in that same order, whatever order the workers
 * finish them in, so that a slide always gives the same file. The lock is
 * held for the hand-out, the counting, the sink's write and the counters.
 * Every tile handed out holds what it will need, and every tile before it
 * was handed out before it: so the tile the file waits for always moves on,
 * and a budget of one tile's most still writes the level.
 */
#pragma once

#include <tiffio.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "pyramid/pyramid_plan.h"
#include "pyramid/tile_sink.h"
#include "pyramid/tile_worker.h"
#include "pyramid/work_gate.h"
#include "pyramid/worker_threads.h"

namespace nvx::pyramid {

// Every pyramid level is written by this many workers, whatever the machine.
inline constexpr int kWorkersPerLevel = 64;

// Why a level stopped before its last tile.
struct LevelFailure {
    enum class Kind {
        WriteRefused,  // the output refused a tile (a full disk, the file size limit)
        NotEncoded,    // libjpeg refused a tile
        OutOfMemory,   // a worker could not have a tile's buffers
        FileLimit,     // the tile would take the file past its limit (a classic TIFF's 4 GiB)
    };
    Kind kind = Kind::WriteRefused;
    std::string what;  // what was being done, e.g. "encoding tile 12 (3072, 0)"
};

// What became of one level.
struct LevelOutcome {
    std::int32_t rowsWritten = 0;  // rows of whole tile rows in the file, at most the height
    std::int32_t height = 0;
    std::int32_t lostTiles = 0;  // written white: nothing usable came from the slide
    TileRoutes routes;           // the tiles handed over for the file, by how each was made
    std::optional<LevelFailure> failure;

    // Every tile of the level is in the file (lost tiles written white included).
    bool Complete() const { return !failure && rowsWritten >= height; }
};

// The bytes of tiles in flight a level allows by default: a few tiles of
// the largest size, several hundred of the usual 256 pixels. With what the
// process holds besides (its code and libraries, the stacks, the slide
// library's own cache) a run stays within 256 MiB.
inline constexpr std::size_t kTileBudgetBytes = std::size_t{208} << 20;

// What a level of copied tiles allows at the most, whatever its limits say. A copy takes
// microseconds: a deeper read-ahead only lets the tiles after one whose worker is held up (by a
// lock, by the scheduler) pile up, finished, until it comes, and a whole slide's copied tiles could
// fill the default budget in a moment.
inline constexpr std::size_t kCopiedTileBudgetBytes = std::size_t{16} << 20;

struct LevelLimits {
    // The bytes of tiles in flight (at most kCopiedTileBudgetBytes for a
    // level of copied tiles); raised to the most one tile holds when smaller.
    std::size_t budgetBytes = kTileBudgetBytes;
    // Tiles made at once; 0: TilesMadeAtOnce().
    int tilesAtOnce = 0;
    // The most the TIFF file may hold, the level's directory included; 0: no limit.
    std::uint64_t fileBytes = 0;
};

// A tile handed out to a worker, with the bytes it counts against the budget.
struct TakenTile {
    TilePlace place;
    TileCost cost;
    std::size_t counted = 0;
};

class LevelWriter {
public:
    // The level's tags must be set on `tiff` already. `source` and `level`
    // must outlive the writer.
    LevelWriter(TIFF* tiff, const LevelSource& source, const LevelPlan& level,
                const LevelLimits& limits = {}, ThreadStarter startThread = StartWorkerThread);
    // The tiles go to `sink` instead, which must outlive the writer;
    // `limits.fileBytes` is the sink's own business.
    LevelWriter(TileSink* sink, const LevelSource& source, const LevelPlan& level,
                const LevelLimits& limits = {}, ThreadStarter startThread = StartWorkerThread);
    LevelWriter(const LevelWriter&) = delete;
    LevelWriter& operator=(const LevelWriter&) = delete;
    // Stops the workers that still run (Run threw) and waits for them.
    ~LevelWriter();

    // Starts the workers and blocks until the level is complete or every
    // worker has ended; calls `dot` for another step of more than five
    // percent of the level's rows, and `rowsLanded` (when given) whenever
    // more tile rows are in the file. Returns when every worker has ended.
    LevelOutcome Run(const std::function<void()>& dot,
                     const std::function<void()>& rowsLanded = {});

    // What each worker calls. Take hands out the next tile, and false when
    // the level has none left or has stopped; it waits while the most the
    // tile holds does not fit in the budget. Arrived counts a fetched tile
    // at what it holds now. Finish hands the made tile over and writes, in
    // order, every tile then ready. A refused write stops the level: the
    // output is lost anyway, and the file (a full disk, a size limit) takes
    // nothing more.
    bool Take(TakenTile* tile);
    void Arrived(TakenTile* tile, std::size_t fetchedBytes);
    void Finish(TakenTile* tile, TileStream&& stream);
    // Stops the level with `failure` (the first failure is kept).
    void Stop(LevelFailure failure);

    std::int64_t TileCount() const { return columns_ * rows_; }
    // The bytes counted against the budget: the tiles handed out and not yet written.
    std::size_t BytesInFlight() const;

private:
    void Work();
    std::optional<TileStream> FetchAndMake(TakenTile* tile, const char** step);
    bool FitsLocked(std::int64_t index) const;
    void WriteReadyLocked();
    void StopLocked(LevelFailure failure);
    TilePlace PlaceOf(std::int64_t index) const;
    std::string DescribeTile(const TilePlace& place) const;

    std::unique_ptr<TileSink> ownSink_;  // the TIFF's, when the writer was given a TIFF
    TileSink* sink_;
    const LevelSource& source_;
    const LevelPlan& level_;
    const std::int64_t columns_;
    const std::int64_t rows_;
    const bool coefficientRoute_;
    const std::size_t budgetBytes_;
    const ThreadStarter startThread_;
    WorkGate gate_;
    std::vector<std::optional<TileWorker>> makers_;  // one for each slot of the gate

    mutable std::mutex mutex_;          // guards everything below and the sink
    std::condition_variable moved_;     // takers: bytes came free, or the level stopped
    std::condition_variable progress_;  // Run: a tile row landed, or a worker ended
    std::int64_t nextToTake_ = 0;
    std::int64_t nextToWrite_ = 0;
    std::size_t bytesInFlight_ = 0;
    int takersWaiting_ = 0;
    std::map<std::int64_t, std::vector<std::uint8_t>> waiting_;
    std::int32_t rowsDone_ = 0;  // tileSize per tile row in the file; may pass the height
    int liveWorkers_ = 0;
    LevelOutcome outcome_;
    std::atomic<bool> stopped_{false};  // written under the lock

    std::vector<WorkerThread> threads_;  // joined by Run, or when the writer goes
};

}  // namespace nvx::pyramid
