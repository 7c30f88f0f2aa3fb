/*
 * conversion_driver.cpp - the conversion of one slide into the pyramid TIFF.
 *
 * On the main thread: the checks that come before the output exists, the
 * output file, the plan, then each pyramid level in turn (its tags, 64 tile
 * workers over its bands, polling their shared counters for progress dots,
 * its directory), the thumbnail after the first level, the label and the
 * macro, and the closing of file, slide and slide library. The result is the
 * run's exit status: 1 when the output cannot be created, -1 when the run
 * could not convert everything, otherwise the start-up status.
 */
#include "pyramid/conversion_driver.h"

#include <array>
#include <atomic>
#include <filesystem>
#include <string>

#include "cli/console.h"
#include "pyramid/associated_images.h"
#include "pyramid/conversion_driver_internal.h"
#include "pyramid/output_layout.h"
#include "pyramid/pyramid_plan.h"
#include "pyramid/tile_worker.h"
#include "pyramid/worker_threads.h"
#include "pyramid/write_faults.h"

namespace nvx::pyramid {

namespace {

struct LevelOutcome {
    bool complete = false;
    std::int32_t rowsDone = 0;
};

struct RunContext {
    TIFF* tiff = nullptr;
    const ConversionJob* job = nullptr;
    std::int32_t pageCount = 0;
    float micronsPerPixel = 0.0f;
    TileLock* tileLock = nullptr;
    WriteFaults* faults = nullptr;
    const ThreadStarter* startThread = nullptr;
};

// Writes one pyramid level: tags, 64 workers, progress dots, directory.
LevelOutcome WriteLevel(const RunContext& run, const LevelPlan& level) {
    const ConversionJob& job = *run.job;
    const std::int32_t tileSize = job.info.tileSize;

    LevelTags tags;
    tags.page = level.directoryIndex;
    tags.pageCount = run.pageCount;
    tags.width = level.width;
    tags.height = level.height;
    tags.tileSize = tileSize;
    tags.scanMagnification = job.info.scanMagnification;
    tags.micronsPerPixel = run.micronsPerPixel;
    tags.jpegQuality = level.jpegQuality;
    SetLevelTags(run.tiff, tags);

    std::atomic<std::int32_t> rowsDone{0};
    std::atomic<std::int32_t> liveWorkers{kWorkersPerLevel};
    std::array<BandTask, kWorkersPerLevel> tasks;
    for (int j = 0; j < kWorkersPerLevel; ++j) {
        const BandRows band = BandOf(j, level.height, tileSize);
        BandTask& task = tasks[j];
        task.regionMode = job.regionMode ? 1 : 0;
        task.originX = job.regionMode ? level.originX : 0;
        task.originY = job.regionMode ? level.originY : 0;
        task.endRow = band.endRow;
        task.levelWidth = level.width;
        task.tileSize = tileSize;
        task.slide = job.slide;
        task.scanMagnification = static_cast<float>(job.info.scanMagnification);
        task.scaleFactor = level.scaleFactor;
        task.startRow = band.startRow;
        task.tiff = run.tiff;
        task.rowsDone = &rowsDone;
        task.liveWorkers = &liveWorkers;
        task.tileLock = run.tileLock;
        task.faults = run.faults;
    }

    // Declared after what they use, so they are joined before it goes.
    std::array<WorkerThread, kWorkersPerLevel> threads;
    for (int j = 0; j < kWorkersPerLevel; ++j) {
        // A worker that cannot start counts as ended at once, so the wait below ends.
        if (!(*run.startThread)(&threads[j], TileWorkerProc, &tasks[j])) liveWorkers.fetch_sub(1);
    }

    LevelOutcome outcome;
    int lastPercent = 0;
    for (;;) {
        const std::int32_t done = rowsDone.load();
        const double percent = static_cast<double>(done) / level.height * 100.0;
        if (percent - lastPercent > 5) {
            console::Print(console::Message::Dot);
            lastPercent = static_cast<int>(percent);
        }
        if (done >= level.height) {
            outcome.complete = true;
            break;
        }
        // LiveWorkers falls only after a worker's last row count, so this read sees them all.
        if (liveWorkers.load() == 0 && rowsDone.load() < level.height) break;
        PauseBetweenPolls();
    }
    for (WorkerThread& thread : threads) thread.Join();
    outcome.rowsDone = rowsDone.load();

    // A level that ended before its first tile has no tile arrays yet, and a
    // directory without TileOffsets would hide every later one from readers.
    if (!outcome.complete) TIFFWriteCheck(run.tiff, 1, "nvx2svs");
    if (!TIFFWriteDirectory(run.tiff)) {
        run.faults->NoteFailedWrite("the directory of pyramid level " +
                                    std::to_string(level.directoryIndex));
    }
    return outcome;
}

std::string DescribeFaults(const WriteFaults& faults) {
    std::string text = "the output is incomplete:";
    const char* separator = " ";
    if (const std::int32_t lost = faults.lostTiles.load(); lost != 0) {
        text += separator + std::to_string(lost) + (lost == 1 ? " tile" : " tiles") +
                " could not be read from the slide and were written white";
        separator = "; ";
    }
    if (const std::int32_t failed = faults.failedTileWrites.load(); failed != 0) {
        text += separator + std::to_string(failed) +
                (failed == 1 ? " tile write" : " tile writes") + " failed";
        separator = "; ";
    }
    if (!faults.firstFailedWrite.empty()) {
        text += separator + std::string("writing ") + faults.firstFailedWrite + " failed";
    }
    return text;
}

}  // namespace

bool NamesSameFile(const std::string& first, const std::string& second) {
    // The file system's own identity of the files (device and inode, or
    // volume and file index on Windows), through links and any spelling.
    std::error_code error;
    const bool same = std::filesystem::equivalent(first, second, error);
    if (!error) return same;
    return first == second;
}

int ConvertSlide(const ConversionJob& job) { return ConvertSlideWith(job, StartWorkerThread); }

int ConvertSlideWith(const ConversionJob& job, const ThreadStarter& startThread) {
    slide::SlideHandle slide = job.slide;
    // Every path that returns gives the slide and the library back.
    const auto endWithoutOutput = [&slide](int status) {
        slide::CloseSlide(&slide);
        slide::UnloadSlideLibrary();
        return status;
    };

    const std::int32_t tileSize = job.info.tileSize;
    if (!IsSupportedTileSize(tileSize)) {
        console::Error("the slide's tile size " + std::to_string(tileSize) +
                       " is not supported: it must be a multiple of 8 from " +
                       std::to_string(kMinTileSize) + " to " + std::to_string(kMaxTileSize));
        return endWithoutOutput(-1);
    }
    const PyramidPlan plan = MakePyramidPlan(job.box.x, job.box.y, job.box.width, job.box.height,
                                             job.layers, job.regionMode);
    if (plan.levels.empty()) {
        console::Error("the area to convert is empty (" + std::to_string(job.box.width) + "x" +
                       std::to_string(job.box.height) + " pixels)");
        return endWithoutOutput(-1);
    }
    if (NamesSameFile(job.inputPath, job.outputPath)) {
        console::Error("the output path names the input slide " + job.inputPath +
                       "; refusing to overwrite it");
        return endWithoutOutput(-1);
    }

    TiffFile tiff = CreateOutputTiff(job.outputPath);
    if (!tiff) {
        console::Print(console::Message::CannotOpenOutput);
        return endWithoutOutput(1);
    }
    SetFirstLevelSubfileType(tiff.get());
    console::Print(console::Message::Waiting);

    TileLock tileLock;
    WriteFaults faults;
    RunContext run;
    run.tiff = tiff.get();
    run.job = &job;
    run.pageCount = plan.directoryCount;
    run.micronsPerPixel =
        EffectiveMicronsPerPixel(job.info.scanMagnification, job.info.micronsPerPixel);
    run.tileLock = &tileLock;
    run.faults = &faults;
    run.startThread = &startThread;

    std::int32_t endedShortAt = 0;  // directory index of a level whose workers ended short
    for (std::size_t k = 0; k < plan.levels.size(); ++k) {
        const LevelPlan& level = plan.levels[k];
        const LevelOutcome outcome = WriteLevel(run, level);
        if (!outcome.complete) {
            endedShortAt = level.directoryIndex;
            console::Error("pyramid level " + std::to_string(level.directoryIndex) +
                           " ended short: " + std::to_string(outcome.rowsDone) + " of " +
                           std::to_string(level.height) + " rows written");
            break;
        }
        if (k == 0) {
            WriteThumbnailDirectory(tiff.get(), slide, plan.directoryCount,
                                    static_cast<float>(job.info.scanMagnification), job.box.x,
                                    job.box.y, job.box.width, job.box.height, &faults);
        }
    }

    const std::int32_t labelPage = endedShortAt != 0 ? endedShortAt + 1 : plan.directoryCount - 1;
    WriteLabelDirectory(tiff.get(), slide, labelPage, plan.directoryCount, &faults);
    WriteMacroDirectory(tiff.get(), slide, &faults);
    if (!TIFFFlush(tiff.get())) faults.NoteFailedWrite("the end of the output file");
    tiff.reset();

    const bool slideClosed = slide::CloseSlide(&slide);
    const bool lostData = faults.Any();
    if (lostData) console::Error(DescribeFaults(faults));
    // A file that lacks levels or tiles is never announced as converted.
    if (slideClosed && !lostData && endedShortAt == 0) console::Print(console::Message::Completion);
    slide::UnloadSlideLibrary();
    if (lostData || endedShortAt != 0) return -1;
    return job.startupStatus;
}

}  // namespace nvx::pyramid
