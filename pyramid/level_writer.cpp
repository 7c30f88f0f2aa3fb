/*
 * level_writer.cpp - the workers of one level, the raster-order hand-out,
 * the in-order writing of its tiles, and the caller's wait for the level.
 */
#include "pyramid/level_writer.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <utility>

#include "pyramid/output_file.h"
#include "pyramid/output_size.h"

namespace nvx::pyramid {

namespace {

// Every failure of the level goes to the record of the run writing `tiff`.
void Record(TIFF* tiff, const Step& step, Cause cause = Cause::None, int code = 0) noexcept {
    if (RunRecord* record = RecordOf(tiff)) record->Fail(step, cause, code);
}

// The stage of what a tile worker was doing (TileWorker::Step).
Stage TileStage(const char* step) {
    for (const auto& [name, stage] : {std::pair{"decoding", Stage::DecodingTile},
                                      std::pair{"transcoding", Stage::TranscodingTile},
                                      std::pair{"laying out", Stage::LayingOutTile},
                                      std::pair{"encoding", Stage::EncodingTile}}) {
        if (std::strcmp(step, name) == 0) return stage;
    }
    return Stage::FetchingTile;
}

std::int64_t TilesAcross(std::int32_t pixels, std::int32_t tileSize) {
    return tileSize > 0 && pixels > 0 ? (std::int64_t{pixels} + tileSize - 1) / tileSize : 0;
}

}  // namespace

LevelWriter::LevelWriter(TIFF* tiff, const LevelSource& source, const LevelPlan& level,
                         const LevelLimits& limits, ThreadStarter startThread)
    : tiff_(tiff),
      source_(source),
      level_(level),
      columns_(TilesAcross(level.width, source.tileSize)),
      rows_(TilesAcross(level.height, source.tileSize)),
      workingBytes_(TileWorkingBytes(source.tileSize)),
      budgetBytes_(std::max(limits.budgetBytes, TileWorkingBytes(source.tileSize))),
      fileBytes_(limits.fileBytes),
      startThread_(std::move(startThread)) {
    outcome_.height = level.height;
}

LevelWriter::~LevelWriter() {
    // Run joins its workers before it returns; this covers a writer that
    // goes while they still run.
    for (WorkerThread& thread : threads_) thread.Join();
}

LevelOutcome LevelWriter::Run(const std::function<void()>& dot,
                              const std::function<void()>& rowsLanded) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        liveWorkers_ = kWorkersPerLevel;
    }
    threads_ = std::vector<WorkerThread>(kWorkersPerLevel);
    int started = 0;
    int refusal = 0;  // why the system refused a worker (errno)
    for (WorkerThread& thread : threads_) {
        // A worker that cannot start counts as ended at once.
        errno = 0;
        if (!startThread_(&thread, [this] { Work(); })) {
            refusal = errno;
            std::lock_guard<std::mutex> lock(mutex_);
            --liveWorkers_;
        } else {
            ++started;
        }
    }
    // A level without a worker says why.
    if (started == 0) {
        Record(tiff_, Step::OfLevel(Stage::StartingWorkers, level_.directoryIndex),
               refusal != 0 ? Cause::Errno : Cause::None, refusal);
    }

    int lastPercent = 0;
    std::int32_t rowsSeen = 0;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        progress_.wait(lock, [&] { return rowsDone_ != rowsSeen || liveWorkers_ == 0; });
        const std::int32_t done = rowsDone_;
        const bool ended = liveWorkers_ == 0;
        lock.unlock();
        if (done != rowsSeen) {
            if (rowsLanded) rowsLanded();
            rowsSeen = done;
        }
        const double percent = static_cast<double>(done) / level_.height * 100.0;
        if (percent - lastPercent > 5) {
            dot();
            lastPercent = static_cast<int>(percent);
        }
        lock.lock();
        if (done >= level_.height || ended) break;
    }
    lock.unlock();
    for (WorkerThread& thread : threads_) thread.Join();

    lock.lock();
    outcome_.rowsWritten = std::min(rowsDone_, level_.height);
    return outcome_;
}

void LevelWriter::Work() {
    TilePlace place;
    bool haveTile = false;
    bool handingOver = false;
    std::optional<TileWorker> worker;
    try {
        worker.emplace(source_, level_, &gate_);
        while (Take(&place)) {
            haveTile = true;
            TileStream tile = worker->Make(place);
            handingOver = true;
            Finish(place, std::move(tile));
            handingOver = false;
        }
    } catch (const std::bad_alloc&) {
        // Recorded before the words below, which need memory.
        const std::int32_t level = level_.directoryIndex;
        Record(tiff_,
               !worker
                   ? Step::OfLevel(Stage::PreparingWorker, level)
                   : Step::OfTile(handingOver ? Stage::HandingOverTile : TileStage(worker->Step()),
                                  level, haveTile ? place.index : -1, place.column, place.row),
               Cause::OutOfMemory);
        LevelFailure failure;
        failure.kind = LevelFailure::Kind::OutOfMemory;
        // Words for the report; without memory even for them, the kind says enough.
        try {
            if (!worker) {
                failure.what = "starting a tile worker";
            } else {
                failure.what = std::string(handingOver ? "handing over" : worker->Step()) + " " +
                               (haveTile ? DescribeTile(place) : std::string("a tile"));
            }
        } catch (const std::bad_alloc&) {
            failure.what.clear();
        }
        Stop(std::move(failure));
    }
    worker.reset();  // its encoder and decoder go before the worker counts itself out

    std::lock_guard<std::mutex> lock(mutex_);
    --liveWorkers_;
    progress_.notify_one();
}

bool LevelWriter::Take(TilePlace* place) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (stopped_ || nextToTake_ >= TileCount()) return false;
    const std::int64_t index = nextToTake_++;
    ++takersWaiting_;
    moved_.wait(lock, [&] {
        return stopped_ ||
               (index < nextToWrite_ + kWindow &&
                (index == nextToWrite_ || bytesInFlight_ + workingBytes_ <= budgetBytes_));
    });
    --takersWaiting_;
    if (stopped_) return false;
    bytesInFlight_ += workingBytes_;
    *place = PlaceOf(index);
    return true;
}

void LevelWriter::Finish(const TilePlace& place, TileStream&& tile) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopped_) return;
    if (tile.lost) ++outcome_.lostTiles;
    if (tile.bytes.empty()) {
        Record(tiff_, Step::OfTile(Stage::EncodingTile, level_.directoryIndex, place.index,
                                   place.column, place.row));
        LevelFailure failure;
        failure.kind = LevelFailure::Kind::NotEncoded;
        failure.what = "encoding " + DescribeTile(place);
        StopLocked(std::move(failure));
        return;
    }
    const std::size_t streamBytes = tile.bytes.size();
    waiting_.emplace(place.index, std::move(tile.bytes));
    // The tile's buffers are gone; its stream waits for its turn.
    bytesInFlight_ = bytesInFlight_ - workingBytes_ + streamBytes;
    const std::int64_t before = nextToWrite_;
    WriteReadyLocked();
    // Takers wait for the writer to move on, or for the bytes this tile gave up.
    if (nextToWrite_ != before || takersWaiting_ > 0) moved_.notify_all();
}

void LevelWriter::WriteReadyLocked() {
    for (auto ready = waiting_.begin(); ready != waiting_.end() && ready->first == nextToWrite_;
         ready = waiting_.erase(ready)) {
        std::vector<std::uint8_t>& stream = ready->second;
        const auto size = static_cast<tmsize_t>(stream.size());
        std::optional<LevelFailure::Kind> refused;
        // The tile goes at the end of the file; the level's directory, with
        // two entries per tile, after the last one.
        if (fileBytes_ != 0 &&
            FileEnd(tiff_) + stream.size() + DirectoryBytes(TileCount()) > fileBytes_) {
            refused = LevelFailure::Kind::FileLimit;
        } else if (TIFFWriteRawTile(tiff_, static_cast<std::uint32_t>(nextToWrite_), stream.data(),
                                    size) != size) {
            refused = LevelFailure::Kind::WriteRefused;
            const TilePlace at = PlaceOf(nextToWrite_);
            Record(tiff_, Step::OfTile(Stage::WritingTile, level_.directoryIndex, at.index,
                                       at.column, at.row));
        }
        if (refused) {
            StopLocked(LevelFailure{*refused, "writing " + DescribeTile(PlaceOf(nextToWrite_))});
            return;
        }
        bytesInFlight_ -= stream.size();
        ++nextToWrite_;
        // A tile row counts once its last tile is in the file.
        if (nextToWrite_ % columns_ == 0) {
            rowsDone_ += source_.tileSize;
            progress_.notify_one();
        }
    }
}

void LevelWriter::Stop(LevelFailure failure) {
    std::lock_guard<std::mutex> lock(mutex_);
    StopLocked(std::move(failure));
}

void LevelWriter::StopLocked(LevelFailure failure) {
    if (!outcome_.failure) outcome_.failure = std::move(failure);
    stopped_ = true;
    waiting_.clear();
    moved_.notify_all();
}

std::size_t LevelWriter::BytesInFlight() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return bytesInFlight_;
}

TilePlace LevelWriter::PlaceOf(std::int64_t index) const {
    TilePlace place;
    place.index = index;
    place.column = static_cast<std::int32_t>((index % columns_) * source_.tileSize);
    place.row = static_cast<std::int32_t>((index / columns_) * source_.tileSize);
    return place;
}

std::string LevelWriter::DescribeTile(const TilePlace& place) const {
    return "tile " + std::to_string(place.index) + " (" + std::to_string(place.column) + ", " +
           std::to_string(place.row) + ")";
}

}  // namespace nvx::pyramid
