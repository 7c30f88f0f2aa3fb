/*
 * conversion_driver.cpp - the conversion of one slide into the pyramid TIFF.
 *
 * On the main thread: the checks that come before the output exists, the
 * output file, the plan, then each pyramid level in turn (its tags, 64 tile
 * workers sharing its tiles, polling their shared counters for progress,
 * its directory), the thumbnail after the first level, the label and the
 * macro, and the closing of file and slide.
 */
#include "pyramid/conversion_driver.h"

#include <array>
#include <atomic>
#include <string>

#include "common/native_file.h"
#include "common/output_target.h"
#include "pyramid/associated_images.h"
#include "pyramid/conversion_driver_internal.h"
#include "pyramid/output_file.h"
#include "pyramid/output_layout.h"
#include "pyramid/pyramid_plan.h"
#include "pyramid/tile_encoder.h"
#include "pyramid/tile_sequence.h"
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
    const OutputFile* output = nullptr;
    const TiffMessages* messages = nullptr;
    const ConversionJob* job = nullptr;
    slide::SlideHandle slide = 0;
    std::int32_t pageCount = 0;
    float micronsPerPixel = 0.0f;
    TileLock* tileLock = nullptr;
    WriteFaults* faults = nullptr;
    const ProgressReport* progress = nullptr;
    const ThreadStarter* startThread = nullptr;
};

void SetTags(const RunContext& run, const LevelPlan& level) {
    const ConversionJob& job = *run.job;
    LevelTags tags;
    tags.page = level.directoryIndex;
    tags.pageCount = run.pageCount;
    tags.width = level.width;
    tags.height = level.height;
    tags.tileSize = job.info.tileSize;
    tags.scanMagnification = job.info.scanMagnification;
    tags.micronsPerPixel = run.micronsPerPixel;
    tags.jpegQuality = level.jpegQuality;
    SetLevelTags(run.tiff, tags);
    // The workers encode the tiles themselves, so the tables their streams
    // leave out are set here rather than by libtiff's codec.
    SetJpegTables(run.tiff, TablesFor(level.jpegQuality));
}

// Writes one pyramid level: tags, 64 workers, progress dots, directory.
LevelOutcome WriteLevel(const RunContext& run, const LevelPlan& level) {
    const ConversionJob& job = *run.job;
    SetTags(run, level);

    std::atomic<std::int32_t> rowsDone{0};
    std::atomic<std::int32_t> liveWorkers{kWorkersPerLevel};
    TileSequence tiles(run.tiff, level.width, level.height, job.info.tileSize, run.tileLock,
                       &rowsDone, run.faults);
    BandTask task;
    task.regionMode = job.regionMode ? 1 : 0;
    task.originX = job.regionMode ? level.originX : 0;
    task.originY = job.regionMode ? level.originY : 0;
    task.levelWidth = level.width;
    task.levelHeight = level.height;
    task.tileSize = job.info.tileSize;
    task.slide = run.slide;
    task.scanMagnification = static_cast<float>(job.info.scanMagnification);
    task.scaleFactor = level.scaleFactor;
    task.jpegQuality = level.jpegQuality;
    task.tiles = &tiles;
    task.liveWorkers = &liveWorkers;
    task.faults = run.faults;

    // Declared after what they use, so they are joined before it goes.
    std::array<WorkerThread, kWorkersPerLevel> threads;
    for (WorkerThread& thread : threads) {
        // A worker that cannot start counts as ended at once, so the wait below ends.
        if (!(*run.startThread)(&thread, TileWorkerProc, &task)) liveWorkers.fetch_sub(1);
    }

    LevelOutcome outcome;
    int lastPercent = 0;
    std::int32_t rowsSeen = 0;
    for (;;) {
        const std::int32_t done = rowsDone.load();
        // The disk writes each finished tile row while the cores work on the
        // next, instead of all of the file at the end.
        if (done != rowsSeen) {
            run.output->StartWritingBack();
            rowsSeen = done;
        }
        const double percent = static_cast<double>(done) / level.height * 100.0;
        if (percent - lastPercent > 5) {
            (*run.progress)(Progress::Dot);
            lastPercent = static_cast<int>(percent);
        }
        if (done >= level.height) {
            outcome.complete = true;
            break;
        }
        // LiveWorkers falls only after a worker's last tile, so this read sees them all.
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

ConversionResult Refused(ConversionOutcome outcome, slide::SlideSession* slide) {
    ConversionResult result;
    result.outcome = outcome;
    result.slideClosed = slide->Close();
    return result;
}

// Whether anything of the file is lost so far: it will not be published.
bool AnythingLost(const RunContext& run, const ConversionResult& result) {
    return result.shortLevel != 0 || !result.lostPictures.empty() || run.faults->Any() ||
           run.messages->AnyError();
}

// Writes every directory of the plan into the output: the levels with the
// thumbnail after the first, then the label and the macro. Stops at a level
// that ends short and after anything lost: such a file is never published.
void WriteDirectories(const RunContext& run, const PyramidPlan& plan, ConversionResult* result) {
    const ConversionJob& job = *run.job;
    const auto noteMissing = [result](PictureResult written, Picture picture) {
        if (written == PictureResult::Missing) result->missingPictures.push_back(picture);
        if (written == PictureResult::Lost) result->lostPictures.push_back(picture);
    };
    for (std::size_t k = 0; k < plan.levels.size(); ++k) {
        const LevelPlan& level = plan.levels[k];
        const LevelOutcome outcome = WriteLevel(run, level);
        if (!outcome.complete) {
            result->shortLevel = level.directoryIndex;
            result->shortLevelRows = outcome.rowsDone;
            result->shortLevelHeight = level.height;
            return;
        }
        if (AnythingLost(run, *result)) return;
        if (k == 0) {
            const ThumbnailRequest request =
                ReduceThumbnailRequest(static_cast<float>(job.info.scanMagnification), job.box.x,
                                       job.box.y, job.box.width, job.box.height);
            noteMissing(WriteThumbnailDirectory(run.tiff, run.slide, plan.directoryCount, request,
                                                run.faults),
                        Picture::Thumbnail);
            (*run.progress)(Progress::Dot);
            if (AnythingLost(run, *result)) return;
        }
    }
    noteMissing(WriteLabelDirectory(run.tiff, run.slide, plan.directoryCount - 1,
                                    plan.directoryCount, run.faults),
                Picture::Label);
    noteMissing(WriteMacroDirectory(run.tiff, run.slide, run.faults), Picture::Macro);
}

}  // namespace

ConversionResult ConvertSlide(const ConversionJob& job, slide::SlideSession* slide,
                              const ProgressReport& progress) {
    return ConvertSlideWith(job, slide, progress, StartWorkerThread);
}

ConversionResult ConvertSlideWith(const ConversionJob& job, slide::SlideSession* slide,
                                  const ProgressReport& progress,
                                  const ThreadStarter& startThread) {
    if (!IsSupportedTileSize(job.info.tileSize)) {
        return Refused(ConversionOutcome::UnsupportedTileSize, slide);
    }
    const PyramidPlan plan = MakePyramidPlan(job.box.x, job.box.y, job.box.width, job.box.height,
                                             job.layers, job.regionMode);
    if (plan.levels.empty()) return Refused(ConversionOutcome::EmptyArea, slide);
    if (NamesSameFile(job.inputPath, job.outputPath)) {
        return Refused(ConversionOutcome::OutputIsInput, slide);
    }
    // What the output path is, decided once: nothing that is not a regular
    // file is replaced, and nothing is begun that cannot be published.
    const OutputTarget target = ResolveOutputTarget(job.outputPath);
    if (!target.Publishable()) {
        ConversionResult result = Refused(ConversionOutcome::OutputNotCreated, slide);
        result.writeFailure = target.refusal;
        return result;
    }

    ConversionResult result;
    // A file that would pass 4 GiB is written again as a BigTIFF: libtiff
    // says so at the first write beyond the limit, and the classic attempt
    // stops there.
    for (const bool bigTiff : {false, true}) {
        result = ConversionResult();
        TiffMessages messages;
        std::unique_ptr<OutputFile> output =
            OutputFile::Create(target, bigTiff, &result.writeFailure, &messages);
        if (!output) {
            result.outcome = ConversionOutcome::OutputNotCreated;
            result.libtiffMessages = messages.Texts();
            break;
        }
        SetFirstLevelSubfileType(output->tiff());
        progress(bigTiff ? Progress::RestartedAsBigTiff : Progress::Started);

        TileLock tileLock;
        WriteFaults faults;
        RunContext run;
        run.tiff = output->tiff();
        run.output = output.get();
        run.messages = &messages;
        run.job = &job;
        run.slide = slide->handle();
        run.pageCount = plan.directoryCount;
        run.micronsPerPixel =
            EffectiveMicronsPerPixel(job.info.scanMagnification, job.info.micronsPerPixel);
        run.tileLock = &tileLock;
        run.faults = &faults;
        run.progress = &progress;
        run.startThread = &startThread;
        WriteDirectories(run, plan, &result);
        if (!bigTiff && messages.ClassicLimitReached()) continue;  // the classic file goes

        result.bigTiff = bigTiff;
        result.lostTiles = faults.lostTiles.load();
        result.failedTileWrites = faults.failedTileWrites.load();
        result.firstFailedWrite = faults.firstFailedWrite;
        bool whole = !AnythingLost(run, result);
        if (whole && !output->Publish(&result.writeFailure)) whole = false;
        if (!whole && result.writeFailure.empty()) {
            result.writeFailure = output->ExplainWriteFailure();
        }
        result.libtiffMessages = messages.Texts();
        result.outcome = whole ? ConversionOutcome::Converted : ConversionOutcome::Incomplete;
        if (whole && target.kind == OutputKind::RegularFile) {
            result.earlierLinks = target.earlier.links;
        }
        break;
    }
    // The output is closed (and published or removed) before the slide.
    result.slideClosed = slide->Close();
    return result;
}

}  // namespace nvx::pyramid
