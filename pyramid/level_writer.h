/*
 * level_writer.h - one pyramid level written into the output: the one
 * object that owns the level's work.
 *
 * It owns the level's 64 worker threads, the hand-out of its tiles, the
 * window of finished tiles that wait for their turn, the byte budget of the
 * tiles in flight, the lock that guards the TIFF handle, the counters and
 * the level's outcome. The caller blocks in Run and gets the outcome back;
 * nothing of the level lives outside this object.
 *
 * Tiles are handed out one at a time in raster order (tile-number order)
 * and written into the file in that same order, whatever order the workers
 * finish them in, so that a slide always gives the same file. Fetching,
 * decoding and encoding happen in the workers outside the lock; the lock is
 * held for the hand-out, the window, TIFFWriteRawTile and the counters.
 * Tiles are made behind the level's work gate: twice as many at once as
 * the machine has hardware threads, while the rest of the workers fetch or
 * wait.
 *
 * Memory: a worker takes a tile's buffers only when it takes the tile, and
 * a tile is taken only while the bytes of the tiles in flight (taken and
 * not yet written: their buffers while they are made, their streams while
 * they wait) stay within the budget. The tile the file waits for is never
 * held back, so the level always moves on.
 */
#pragma once

#include <tiffio.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "pyramid/pyramid_plan.h"
#include "pyramid/tile_worker.h"
#include "pyramid/work_gate.h"
#include "pyramid/worker_threads.h"

namespace nvx::pyramid {

// Every pyramid level is written by this many workers, whatever the machine.
inline constexpr int kWorkersPerLevel = 64;

// Why a level stopped before its last tile.
struct LevelFailure {
    enum class Kind {
        WriteRefused,  // libtiff refused a tile (a full disk, the file size limit)
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
    std::optional<LevelFailure> failure;

    // Every tile of the level is in the file (lost tiles written white included).
    bool Complete() const { return !failure && rowsWritten >= height; }
};

// The bytes of tiles in flight a level allows by default: a few tiles of
// the largest size, several hundred of the usual 256 pixels.
inline constexpr std::size_t kTileBudgetBytes = std::size_t{256} << 20;

struct LevelLimits {
    // The bytes of tiles in flight; raised to one tile's working bytes when smaller.
    std::size_t budgetBytes = kTileBudgetBytes;
    // The most the file may hold, the level's directory included; 0: no limit.
    std::uint64_t fileBytes = 0;
};

class LevelWriter {
public:
    // Finished tiles that may wait for an earlier one. With 64 workers on a
    // few cores, the worker of the next tile to write can be off the CPU for
    // a whole round of the scheduler; the window must hold what the other
    // cores finish meanwhile, or they all wait and cores go idle (128 left
    // 6-8 % of the CPU unused).
    static constexpr std::int64_t kWindow = 512;

    // The level's tags must be set on `tiff` already. `source` and `level`
    // must outlive the writer.
    LevelWriter(TIFF* tiff, const LevelSource& source, const LevelPlan& level,
                const LevelLimits& limits = {}, ThreadStarter startThread = StartWorkerThread);
    LevelWriter(const LevelWriter&) = delete;
    LevelWriter& operator=(const LevelWriter&) = delete;
    ~LevelWriter();

    // Starts the workers and blocks until the level is complete or every
    // worker has ended; calls `dot` for another step of more than five
    // percent of the level's rows, and `rowsLanded` (when given) whenever
    // more tile rows are in the file. Returns when every worker has ended.
    LevelOutcome Run(const std::function<void()>& dot,
                     const std::function<void()>& rowsLanded = {});

    // What each worker calls. Take gives the next tile to work on, and false
    // when the level has none left or has stopped; it waits while the tile
    // is a window ahead of the writer or the budget is spent. Finish hands
    // a taken tile over and writes, in order, every tile then ready. A
    // refused write stops the level: the output is lost anyway, and the
    // file (a full disk, a size limit) takes nothing more.
    bool Take(TilePlace* place);
    void Finish(const TilePlace& place, TileStream&& tile);
    // Stops the level with `failure` (the first failure is kept).
    void Stop(LevelFailure failure);

    std::int64_t TileCount() const { return columns_ * rows_; }
    // The bytes of tiles taken and not yet written.
    std::size_t BytesInFlight() const;

private:
    void Work();
    void WriteReadyLocked();
    void StopLocked(LevelFailure failure);
    TilePlace PlaceOf(std::int64_t index) const;
    std::string DescribeTile(const TilePlace& place) const;

    TIFF* const tiff_;
    const LevelSource& source_;
    const LevelPlan& level_;
    const std::int64_t columns_;
    const std::int64_t rows_;
    const std::size_t workingBytes_;  // one tile's buffers while it is made
    const std::size_t budgetBytes_;
    const std::uint64_t fileBytes_;
    const ThreadStarter startThread_;
    WorkGate gate_{WorkGate::ForThisMachine()};

    mutable std::mutex mutex_;          // guards everything below and the TIFF handle
    std::condition_variable moved_;     // takers: the writer moved on, or the level stopped
    std::condition_variable progress_;  // Run: a tile row landed, or a worker ended
    std::int64_t nextToTake_ = 0;
    std::int64_t nextToWrite_ = 0;
    std::size_t bytesInFlight_ = 0;
    int takersWaiting_ = 0;
    std::map<std::int64_t, std::vector<std::uint8_t>> waiting_;
    std::int32_t rowsDone_ = 0;  // tileSize per tile row in the file; may pass the height
    int liveWorkers_ = 0;
    LevelOutcome outcome_;
    bool stopped_ = false;

    std::vector<WorkerThread> threads_;  // joined by Run, or when the writer goes
};

}  // namespace nvx::pyramid
