/*
 * tile_sequence.cpp - raster-order hand-out and in-order writing of a
 * level's tiles.
 */
#include "pyramid/tile_sequence.h"

#include <mutex>

namespace nvx::pyramid {

TileSequence::TileSequence(TIFF* tiff, std::int32_t levelWidth, std::int32_t levelHeight,
                           std::int32_t tileSize, TileLock* tileLock,
                           std::atomic<std::int32_t>* rowsDone, WriteFaults* faults)
    : tiff_(tiff),
      tileSize_(tileSize),
      columns_(tileSize > 0 && levelWidth > 0 ? (std::int64_t{levelWidth} + tileSize - 1) / tileSize
                                              : 0),
      rows_(tileSize > 0 && levelHeight > 0 ? (std::int64_t{levelHeight} + tileSize - 1) / tileSize
                                            : 0),
      tileLock_(tileLock),
      rowsDone_(rowsDone),
      faults_(faults) {}

bool TileSequence::Take(TilePlace* place) {
    std::unique_lock<TileLock> lock(*tileLock_);
    if (stopped_ || nextToTake_ >= TileCount()) return false;
    const std::int64_t index = nextToTake_++;
    moved_.wait(lock, [&] { return stopped_ || index < nextToWrite_ + kWindow; });
    if (stopped_) return false;
    place->index = index;
    place->column = static_cast<std::int32_t>((index % columns_) * tileSize_);
    place->row = static_cast<std::int32_t>((index / columns_) * tileSize_);
    return true;
}

void TileSequence::Finish(const TilePlace& place, std::vector<std::uint8_t>&& stream) {
    std::lock_guard<TileLock> lock(*tileLock_);
    if (stopped_) return;
    waiting_.emplace(place.index, std::move(stream));
    WriteReadyLocked();
}

void TileSequence::WriteReadyLocked() {
    const std::int64_t before = nextToWrite_;
    for (auto ready = waiting_.begin(); ready != waiting_.end() && ready->first == nextToWrite_;
         ready = waiting_.erase(ready)) {
        std::vector<std::uint8_t>& stream = ready->second;
        const auto tile = static_cast<std::uint32_t>(nextToWrite_);
        if (stream.empty() ||
            TIFFWriteRawTile(tiff_, tile, stream.data(), static_cast<tmsize_t>(stream.size())) !=
                static_cast<tmsize_t>(stream.size())) {
            faults_->failedTileWrites.fetch_add(1);
            StopLocked();
            return;
        }
        // A tile row counts once its last tile is in the file.
        if ((nextToWrite_ + 1) % columns_ == 0) rowsDone_->fetch_add(tileSize_);
        ++nextToWrite_;
    }
    if (nextToWrite_ != before) moved_.notify_all();
}

void TileSequence::StopLocked() {
    stopped_ = true;
    waiting_.clear();
    moved_.notify_all();
}

}  // namespace nvx::pyramid
