/*
 * tile_sequence.h - how the workers of one pyramid level share its tiles:
 * tiles are handed out one at a time in raster order (tile-number order) and
 * written into the file in that same order, whatever order the workers
 * finish them in, so that a slide always gives the same file.
 *
 * A finished tile that is not the next to write waits in a small window.
 * A worker that takes a tile further ahead than the window waits before it
 * starts on it, which bounds the memory the window holds; the tile the
 * writer waits for is never held back, so the level always moves on.
 *
 * Under TileLock: the hand-out, the window, TIFFWriteRawTile and the
 * RowsDone update. Fetching and encoding happen outside it.
 */
#pragma once

#include <tiffio.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <vector>

#include "pyramid/worker_threads.h"
#include "pyramid/write_faults.h"

namespace nvx::pyramid {

// Where a tile sits in its level.
struct TilePlace {
    std::int64_t index = 0;   // tile number, row by row from the top left
    std::int32_t column = 0;  // pixel x of the tile's left edge
    std::int32_t row = 0;     // pixel y of the tile's top edge
};

class TileSequence {
public:
    // Finished tiles that may wait for an earlier one, per level. With 64
    // workers on a few cores, the worker of the next tile to write can be
    // off the CPU for a whole round of the scheduler; the window must hold
    // what the other cores finish meanwhile, or they all wait and cores go
    // idle (128 left 6-8 % of the CPU unused). At most about 12 MB
    // of streams wait on a level of JPEG tiles of 256 pixels.
    static constexpr std::int64_t kWindow = 512;

    // A write the file refuses stops the level there: the output is lost
    // anyway, and the file (a full disk, a size limit) takes nothing more.
    TileSequence(TIFF* tiff, std::int32_t levelWidth, std::int32_t levelHeight,
                 std::int32_t tileSize, TileLock* tileLock, std::atomic<std::int32_t>* rowsDone,
                 WriteFaults* faults);
    TileSequence(const TileSequence&) = delete;
    TileSequence& operator=(const TileSequence&) = delete;

    // The next tile to work on; false when the level has none left or has
    // been stopped. Waits while the tile is a window ahead of the writer.
    bool Take(TilePlace* place);

    // Hands over a taken tile's JPEG stream and writes, in order, every tile
    // that is then ready. An empty stream stands for a tile that could not
    // be encoded: it is counted as a failed write.
    void Finish(const TilePlace& place, std::vector<std::uint8_t>&& stream);

    std::int64_t TileCount() const { return columns_ * rows_; }

private:
    void WriteReadyLocked();
    void StopLocked();

    TIFF* tiff_;
    std::int32_t tileSize_;
    std::int64_t columns_;
    std::int64_t rows_;
    TileLock* tileLock_;
    std::atomic<std::int32_t>* rowsDone_;
    WriteFaults* faults_;

    std::condition_variable moved_;  // the writer moved on, or the level stopped
    std::int64_t nextToTake_ = 0;
    std::int64_t nextToWrite_ = 0;
    bool stopped_ = false;
    std::map<std::int64_t, std::vector<std::uint8_t>> waiting_;
};

}  // namespace nvx::pyramid
