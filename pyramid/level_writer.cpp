/*
 * level_writer.cpp - the workers of one level, the raster-order hand-out
 * under the byte budget, the gate of the tiles being made, the in-order
 * writing of its tiles, and the caller's wait for the level.
 */
#include "pyramid/level_writer.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <utility>

#include "pyramid/output_size.h"

namespace nvx::pyramid {

namespace {

// Every failure of the level goes to the record of the run writing to `sink`.
void Record(const TileSink* sink, const Step& step, Cause cause = Cause::None,
            int code = 0) noexcept {
    if (RunRecord* record = sink->Record()) record->Fail(step, cause, code);
}

// The stage of what a tile worker was doing (TileWorker::Step).
Stage TileStage(const char* step) {
    for (const auto& [name, stage] :
         {std::pair{"decoding", Stage::DecodingTile},
          std::pair{"transcoding", Stage::TranscodingTile},
          std::pair{"laying out", Stage::LayingOutTile}, std::pair{"encoding", Stage::EncodingTile},
          std::pair{"handing over", Stage::HandingOverTile}}) {
        if (std::strcmp(step, name) == 0) return stage;
    }
    return Stage::FetchingTile;
}

// What a worker does while it makes the codecs of a slot of the gate.
constexpr const char* kStartingMaker = "starting a tile worker";

// The most any tile of the level holds at once: tiles differ only in how
// the level's right and bottom edges clip them.
std::size_t MostOfAnyTile(const LevelSource& source, const LevelPlan& level, std::int64_t columns,
                          std::int64_t rows, bool coefficientRoute) {
    std::size_t most = 0;
    if (columns == 0 || rows == 0) return most;
    for (const std::int64_t row : {std::int64_t{0}, rows - 1}) {
        for (const std::int64_t column : {std::int64_t{0}, columns - 1}) {
            const TilePlace place = PlaceOfTile(row * columns + column, columns, source.tileSize);
            most = std::max(most, CostOf(source, level, place, coefficientRoute).Most());
        }
    }
    return most;
}

}  // namespace

LevelWriter::LevelWriter(TIFF* tiff, const LevelSource& source, const LevelPlan& level,
                         const LevelLimits& limits, ThreadStarter startThread)
    : LevelWriter(static_cast<TileSink*>(nullptr), source, level, limits, std::move(startThread)) {
    ownSink_ = std::make_unique<TiffTileSink>(tiff, limits.fileBytes);
    sink_ = ownSink_.get();
}

LevelWriter::LevelWriter(TileSink* sink, const LevelSource& source, const LevelPlan& level,
                         const LevelLimits& limits, ThreadStarter startThread)
    : sink_(sink),
      source_(source),
      level_(level),
      columns_(TilesAcross(level.width, source.tileSize)),
      rows_(TilesAcross(level.height, source.tileSize)),
      coefficientRoute_(!source.regionMode && !PixelRouteForced()),
      budgetBytes_(std::max(level.storedTiles ? std::min(limits.budgetBytes, kCopiedTileBudgetBytes)
                                              : limits.budgetBytes,
                            MostOfAnyTile(source, level, columns_, rows_, coefficientRoute_))),
      startThread_(std::move(startThread)),
      gate_(limits.tilesAtOnce > 0 ? limits.tilesAtOnce : TilesMadeAtOnce()),
      makers_(static_cast<std::size_t>(gate_.Slots())) {
    outcome_.height = level.height;
}

LevelWriter::~LevelWriter() {
    // Run joins its workers before it returns. When it threw instead, they
    // still run: stopped, they hand out no more tiles and make none of
    // those they fetched, so the writer goes without waiting for the level.
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        stopped_ = true;
    }
    moved_.notify_all();
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
        Record(sink_, Step::OfLevel(Stage::StartingWorkers, level_.directoryIndex),
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
    TakenTile tile;
    bool haveTile = false;
    const char* step = "fetching";
    try {
        while (Take(&tile)) {
            haveTile = true;
            step = "fetching";
            std::optional<TileStream> made = FetchAndMake(&tile, &step);
            if (!made) break;
            step = "handing over";
            // A tile the sink cannot take is one not encoded.
            if (!made->bytes.empty() && !sink_->Prepare(&made->bytes)) made->bytes.clear();
            Finish(&tile, std::move(*made));
        }
    } catch (const std::bad_alloc&) {
        // Recorded before the words below, which need memory.
        const std::int32_t level = level_.directoryIndex;
        const bool starting = step == kStartingMaker;
        Record(sink_,
               starting ? Step::OfLevel(Stage::PreparingWorker, level)
                        : Step::OfTile(TileStage(step), level, haveTile ? tile.place.index : -1,
                                       tile.place.column, tile.place.row),
               Cause::OutOfMemory);
        LevelFailure failure;
        failure.kind = LevelFailure::Kind::OutOfMemory;
        // Words for the report; without memory even for them, the kind says enough.
        try {
            if (starting) {
                failure.what = kStartingMaker;
            } else {
                failure.what = std::string(step) + " " +
                               (haveTile ? DescribeTile(tile.place) : std::string("a tile"));
            }
        } catch (const std::bad_alloc&) {
            failure.what.clear();
        }
        Stop(std::move(failure));
    }

    std::lock_guard<std::mutex> lock(mutex_);
    --liveWorkers_;
    progress_.notify_one();
}

std::optional<TileStream> LevelWriter::FetchAndMake(TakenTile* tile, const char** step) {
    // Tiles are written in order: the first of those waiting is made first.
    const WorkGate::Pass pass(&gate_, tile->place.index);
    // A level that stopped while the tile waited fetches and makes nothing more.
    if (stopped_) return std::nullopt;
    // Inside the gate: the slide library decodes and resamples a region (and
    // makes a tile it does not store) on this thread, and checks and copies
    // a stored one, work that the CPUs the run may use must cover as well.
    FetchedTile fetched = FetchForTile(source_, level_, tile->place);
    Arrived(tile, fetched.Bytes());
    std::optional<TileWorker>& maker = makers_[static_cast<std::size_t>(pass.Slot())];
    try {
        if (!maker) {
            *step = kStartingMaker;
            maker.emplace(source_, level_);
        }
        return maker->Make(std::move(fetched));
    } catch (const std::bad_alloc&) {
        // Read while the slot, and so the maker, is still this worker's.
        if (maker) *step = maker->Step();
        throw;
    }
}

bool LevelWriter::FitsLocked(std::int64_t index) const {
    const TileCost cost = CostOf(source_, level_, PlaceOf(index), coefficientRoute_);
    return bytesInFlight_ + cost.Most() <= budgetBytes_;
}

bool LevelWriter::Take(TakenTile* tile) {
    std::unique_lock<std::mutex> lock(mutex_);
    ++takersWaiting_;
    // Only the next tile is ever waited for: tiles are handed out in order.
    moved_.wait(lock,
                [&] { return stopped_ || nextToTake_ >= TileCount() || FitsLocked(nextToTake_); });
    --takersWaiting_;
    const bool taken = !stopped_ && nextToTake_ < TileCount();
    if (taken) {
        tile->place = PlaceOf(nextToTake_++);
        tile->cost = CostOf(source_, level_, tile->place, coefficientRoute_);
        tile->counted = tile->cost.Most();
        bytesInFlight_ += tile->counted;
    }
    // The tile after may fit as well, or there may be none left: the next
    // taker sees for itself.
    if (takersWaiting_ > 0) moved_.notify_one();
    return taken;
}

void LevelWriter::Arrived(TakenTile* tile, std::size_t fetchedBytes) {
    // A region's pixels are in the tile's cost; a stored stream is counted
    // at its size, as it came.
    const std::size_t now = tile->cost.Fetched() + (tile->cost.pixels == 0 ? fetchedBytes : 0);
    const std::lock_guard<std::mutex> lock(mutex_);
    bytesInFlight_ = bytesInFlight_ - tile->counted + now;
    const bool freed = now < tile->counted;
    tile->counted = now;
    if (freed && takersWaiting_ > 0) moved_.notify_one();
}

void LevelWriter::Finish(TakenTile* tile, TileStream&& stream) {
    const TilePlace& place = tile->place;
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopped_) return;
    if (stream.lost) ++outcome_.lostTiles;
    if (stream.bytes.empty()) {
        Record(sink_, Step::OfTile(Stage::EncodingTile, level_.directoryIndex, place.index,
                                   place.column, place.row));
        LevelFailure failure;
        failure.kind = LevelFailure::Kind::NotEncoded;
        failure.what = "encoding " + DescribeTile(place);
        StopLocked(std::move(failure));
        return;
    }
    outcome_.routes.Add(stream.route);
    // The tile's buffers are gone; its stream waits for its turn.
    const std::size_t streamBytes = stream.bytes.capacity();
    waiting_.emplace(place.index, std::move(stream.bytes));
    bytesInFlight_ = bytesInFlight_ - tile->counted + streamBytes;
    tile->counted = streamBytes;
    WriteReadyLocked();
    if (takersWaiting_ > 0) moved_.notify_one();
}

void LevelWriter::WriteReadyLocked() {
    for (auto ready = waiting_.begin(); ready != waiting_.end() && ready->first == nextToWrite_;
         ready = waiting_.erase(ready)) {
        const std::vector<std::uint8_t>& stream = ready->second;
        std::optional<LevelFailure::Kind> refused;
        const TilePut put = sink_->Put(nextToWrite_, TileCount(), stream);
        if (put == TilePut::FileLimit) {
            refused = LevelFailure::Kind::FileLimit;
        } else if (put == TilePut::Refused) {
            refused = LevelFailure::Kind::WriteRefused;
            const TilePlace at = PlaceOf(nextToWrite_);
            Record(sink_, Step::OfTile(Stage::WritingTile, level_.directoryIndex, at.index,
                                       at.column, at.row));
        }
        if (refused) {
            StopLocked(LevelFailure{*refused, "writing " + DescribeTile(PlaceOf(nextToWrite_))});
            return;
        }
        bytesInFlight_ -= stream.capacity();
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
    return PlaceOfTile(index, columns_, source_.tileSize);
}

std::string LevelWriter::DescribeTile(const TilePlace& place) const {
    return "tile " + std::to_string(place.index) + " (" + std::to_string(place.column) + ", " +
           std::to_string(place.row) + ")";
}

}  // namespace nvx::pyramid
