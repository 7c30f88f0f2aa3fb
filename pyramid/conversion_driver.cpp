/*
 * conversion_driver.cpp - the conversion of one slide into the pyramid TIFF.
 *
 * On the main thread: the checks that come before the output exists, the
 * output file, the plan, then each pyramid level in turn (its tags, its
 * LevelWriter, which the main thread waits on, its directory), the thumbnail
 * after the first level, the label and the macro, and the closing of file
 * and slide. Whatever fails, on this thread or a worker's, goes to the
 * attempt's record, and the result carries it.
 */
#include "pyramid/conversion_driver.h"

#include <optional>
#include <string>
#include <vector>

#include "common/native_file.h"
#include "common/output_target.h"
#include "pyramid/associated_images.h"
#include "pyramid/conversion_driver_internal.h"
#include "pyramid/dicom_output.h"
#include "pyramid/level_writer.h"
#include "pyramid/output_file.h"
#include "pyramid/output_layout.h"
#include "pyramid/output_size.h"
#include "pyramid/pyramid_plan.h"
#include "pyramid/tile_encoder.h"

namespace nvx::pyramid {

namespace {

// One attempt at writing the file (a classic TIFF, or a BigTIFF after a
// classic one passed 4 GiB): what every directory needs, and the run's
// record that every directory fails into.
class FileAttempt {
public:
    // `fileLimit`: the most the file may hold (a classic TIFF's), 0 for none.
    FileAttempt(const ConversionJob& job, const PyramidPlan& plan, const LevelSource& source,
                const OutputFile& output, std::uint64_t fileLimit, RunRecord* record,
                const ProgressReport& progress, const DriverSeams& seams)
        : job_(job),
          plan_(plan),
          source_(source),
          output_(output),
          tiff_(output.tiff()),
          fileLimit_(fileLimit),
          record_(*record),
          progress_(progress),
          seams_(seams) {
        shared_.pageCount = plan.directoryCount;
        shared_.tileSize = job.info.tileSize;
        shared_.scanMagnification = job.info.scanMagnification;
        shared_.micronsPerPixel =
            EffectiveMicronsPerPixel(job.info.scanMagnification, job.info.micronsPerPixel);
        shared_.describedQuality = job.encoding.DescribedQuality();
    }

    // Writes every directory of the plan: the levels with the thumbnail after
    // the first, then the label and the macro, noting in `missing` those the
    // slide has none of, and in `routes` (one for each level) how the
    // tiles of each level written were made. Stops at the first level or
    // picture that loses anything: such a file is never published.
    void WriteDirectories(std::vector<AssociatedPicture>* missing, std::vector<TileRoutes>* routes);

    // The file passed its limit: it must be written again as a BigTIFF. The
    // attempt stopped there, and what its record holds means nothing.
    bool PassedLimit() const { return passedLimit_; }
    // Whether anything of the file is lost so far.
    bool Lost() const { return passedLimit_ || record_.Lost(); }
    const std::optional<ShortLevel>& Short() const { return shortLevel_; }

private:
    bool WriteLevel(const LevelPlan& planned, TileRoutes* routes);
    void NotePicture(PictureResult written, AssociatedPicture picture);
    bool CheckLimit(bool writeFailed, std::uint64_t pendingBytes);

    const ConversionJob& job_;
    const PyramidPlan& plan_;
    const LevelSource& source_;
    const OutputFile& output_;
    TIFF* const tiff_;
    const std::uint64_t fileLimit_;
    RunRecord& record_;
    const ProgressReport& progress_;
    const DriverSeams& seams_;
    SharedLevelTags shared_;
    std::optional<ShortLevel> shortLevel_;
    bool passedLimit_ = false;
};

// Looks at where the file ends after a directory or picture: past the
// limit, or refused a write that would have taken it past. libtiff itself
// refuses to let a classic TIFF pass 4 GiB; a lower limit it does not know.
bool FileAttempt::CheckLimit(bool writeFailed, std::uint64_t pendingBytes) {
    if (fileLimit_ == 0) return false;
    const std::uint64_t end = FileEnd(tiff_);
    if (end > fileLimit_ || (writeFailed && end + pendingBytes > fileLimit_)) passedLimit_ = true;
    return passedLimit_;
}

// Writes one pyramid level: its tags, its tiles, its directory. False when
// anything of it is lost (in the record).
bool FileAttempt::WriteLevel(const LevelPlan& planned, TileRoutes* routes) {
    LevelPlan level = planned;
    // Copied tiles keep the quality they were stored at; the level's other
    // tiles are encoded at it and its description says it.
    if (level.storedTiles) level.jpegQuality = StoredQuality(source_, level, level.jpegQuality);
    const std::int32_t index = level.directoryIndex;
    if (!SetLevelTags(tiff_, level, shared_)) {
        record_.Fail(Step::OfLevel(Stage::SettingLevelTags, index));
        return false;
    }
    // The workers encode the tiles themselves, so the tables their streams
    // leave out are set here rather than by libtiff's codec: a level
    // without them (libjpeg gave none, libtiff took none) is lost. Tiles
    // that carry their own tables need none.
    if (!level.storedTiles && !record_.Run(Stage::SettingTables, [&] {
            return SetJpegTables(tiff_, TablesFor(level.jpegQuality, level.chroma420));
        })) {
        record_.Fail(Step::OfLevel(Stage::SettingTables, index));
        return false;
    }

    LevelLimits limits;
    limits.budgetBytes = seams_.tileBudgetBytes;
    limits.fileBytes = fileLimit_;
    LevelWriter writer(tiff_, source_, level, limits, seams_.startThread);
    // The disk writes each finished tile row while the cores work on the
    // next, instead of all of the file at the end.
    const LevelOutcome outcome =
        writer.Run([this] { progress_(Progress::Dot); }, [this] { output_.StartWritingBack(); });
    *routes = outcome.routes;
    if (outcome.failure && outcome.failure->kind == LevelFailure::Kind::FileLimit) {
        passedLimit_ = true;
        return false;
    }
    record_.NoteLostTiles(outcome.lostTiles);
    if (!outcome.Complete()) {
        shortLevel_ = ShortLevel{index, outcome.rowsWritten, level.height};
        // The level writer records what stopped it; a level that simply
        // had no worker has nothing else to say.
        if (!record_.Failed()) record_.Fail(Step::OfLevel(Stage::StartingWorkers, index));
        return false;
    }
    const bool written = TIFFWriteDirectory(tiff_) != 0;
    if (CheckLimit(!written, DirectoryBytes(writer.TileCount()))) return false;
    if (!written) {
        record_.Fail(Step::OfLevel(Stage::WritingLevelDirectory, index));
        return false;
    }
    return !Lost();
}

void FileAttempt::NotePicture(PictureResult written, AssociatedPicture picture) {
    if (CheckLimit(written == PictureResult::WriteFailed, kPicturesAndDirectoriesBytes)) return;
    // Every picture written here is one the slide has: the plan counted only
    // those, so one that is gone by now is lost like one that does not decode.
    if (written == PictureResult::Missing || written == PictureResult::Lost) {
        record_.NotePictureLost(picture);
    }
}

void FileAttempt::WriteDirectories(std::vector<AssociatedPicture>* missing,
                                   std::vector<TileRoutes>* routes) {
    routes->assign(plan_.levels.size(), TileRoutes{});
    if (Lost()) return;
    for (std::size_t k = 0; k < plan_.levels.size(); ++k) {
        if (!WriteLevel(plan_.levels[k], &(*routes)[k])) return;
        if (k == 0) {
            const ThumbnailRequest request =
                ReduceThumbnailRequest(static_cast<float>(job_.info.scanMagnification), job_.box.x,
                                       job_.box.y, job_.box.width, job_.box.height);
            NotePicture(WriteThumbnailDirectory(tiff_, source_.slide, plan_.directoryCount, request,
                                                &record_, job_.encoding.ThumbnailQuality()),
                        AssociatedPicture::Thumbnail);
            progress_(Progress::Dot);
            if (Lost()) return;
        }
    }
    if (plan_.pictures.label) {
        NotePicture(WriteLabelDirectory(tiff_, source_.slide, plan_.labelPage, plan_.directoryCount,
                                        &record_, job_.encoding.PictureQuality()),
                    AssociatedPicture::Label);
        if (Lost()) return;
    } else if (!job_.leaveOutLabel) {
        missing->push_back(AssociatedPicture::Label);
    }
    if (plan_.pictures.macro) {
        NotePicture(
            WriteMacroDirectory(tiff_, source_.slide, &record_, job_.encoding.PictureQuality()),
            AssociatedPicture::Macro);
    } else if (!job_.leaveOutMacro) {
        missing->push_back(AssociatedPicture::Macro);
    }
}

ConversionResult Refused(ConversionOutcome outcome, slide::SlideSession* slide) {
    ConversionResult result;
    result.outcome = outcome;
    result.slideClosed = slide->Close();
    return result;
}

}  // namespace

std::optional<ConversionResult> PlanPicturesOnSlide(const ConversionJob& job,
                                                    slide::SlideSession* slide, PyramidPlan* plan) {
    const PicturesOnSlide onSlide =
        FindPicturesOnSlide(slide->handle(), !job.leaveOutLabel, !job.leaveOutMacro);
    if (onSlide.label == slide::PictureStatus::Unreadable ||
        onSlide.macro == slide::PictureStatus::Unreadable) {
        ConversionResult result = Refused(ConversionOutcome::Incomplete, slide);
        if (onSlide.label == slide::PictureStatus::Unreadable)
            result.failure.lostPictures.push_back(AssociatedPicture::Label);
        if (onSlide.macro == slide::PictureStatus::Unreadable)
            result.failure.lostPictures.push_back(AssociatedPicture::Macro);
        return result;
    }
    PlanPictures(plan, {onSlide.label == slide::PictureStatus::Delivered,
                        onSlide.macro == slide::PictureStatus::Delivered});
    return std::nullopt;
}

LevelSource LevelSourceFor(const ConversionJob& job, slide::SlideHandle slide) {
    LevelSource source;
    source.slide = slide;
    source.tileSize = job.info.tileSize;
    source.scanMagnification = job.info.scanMagnification;
    source.regionMode = job.regionMode;
    return source;
}

ConversionResult ConvertSlide(const ConversionJob& job, slide::SlideSession* slide,
                              const ProgressReport& progress) {
    return ConvertSlideWith(job, slide, progress, DriverSeams());
}

ConversionResult ConvertSlideWith(const ConversionJob& job, slide::SlideSession* slide,
                                  const ProgressReport& progress, const DriverSeams& seams) {
    if (!IsSupportedTileSize(job.info.tileSize)) {
        return Refused(ConversionOutcome::UnsupportedTileSize, slide);
    }
    // The levels, planned once; the pictures join the plan once the slide
    // has said which it has.
    PyramidPlan plan = MakePyramidPlan(job.box.x, job.box.y, job.box.width, job.box.height,
                                       job.layers, job.regionMode, {}, job.encoding);
    if (plan.levels.empty()) return Refused(ConversionOutcome::EmptyArea, slide);
    // A region's tiles do not lie on the stored tiles: only a whole slide's
    // levels can be copied, those that are levels of the slide's own.
    if (job.copyStoredTiles && !job.regionMode) {
        PlanCopiedLevels(&plan, job.info.width, job.info.height, job.info.tileSize);
    }
    if (NamesSameFile(job.inputPath, job.outputPath)) {
        return Refused(ConversionOutcome::OutputIsInput, slide);
    }
    if (job.format == OutputFormat::Dicom) {
        return ConvertSlideToDicom(job, std::move(plan), slide, progress, seams);
    }
    // What the output path is, decided once: nothing that is not a regular
    // file is replaced, and nothing is begun that cannot be published.
    const OutputTarget target = ResolveOutputTarget(job.outputPath);
    if (!target.Publishable()) {
        ConversionResult result = Refused(ConversionOutcome::OutputNotCreated, slide);
        result.failure.step = Step::Of(Stage::CreatingOutput);
        result.failure.cause = Cause::Refusal;
        result.failure.text = target.refusal;
        return result;
    }

    // The directory count depends on which pictures the slide has.
    if (std::optional<ConversionResult> lost = PlanPicturesOnSlide(job, slide, &plan)) {
        return *lost;
    }
    const LevelSource source = LevelSourceFor(job, slide->handle());

    ConversionResult result;
    // A file estimated to pass the threshold is a BigTIFF from the start; one
    // that passes a classic TIFF's limit all the same is written again as a
    // BigTIFF, the classic attempt removed first.
    bool bigTiff = NeedsBigTiff(source, plan.levels, seams.bigTiffThreshold);
    for (bool restarted = false;; restarted = true) {
        result = ConversionResult();
        result.levels = plan.levels;
        // Each attempt keeps a record of its own; it outlives the output,
        // whose failures go there.
        RunRecord record(seams.steps);
        std::unique_ptr<OutputFile> output = OutputFile::Create(target, bigTiff, &record);
        if (!output) {
            result.outcome = ConversionOutcome::OutputNotCreated;
            result.failure = record.Read();
            break;
        }
        if (!SetFirstLevelSubfileType(output->tiff())) {
            record.Fail(Step::OfLevel(Stage::SettingLevelTags, 1));
        }
        progress(restarted ? Progress::RestartedAsBigTiff : Progress::Started);

        FileAttempt attempt(job, plan, source, *output, bigTiff ? 0 : seams.classicLimit, &record,
                            progress, seams);
        attempt.WriteDirectories(&result.missingPictures, &result.levelRoutes);
        if (attempt.PassedLimit()) {
            bigTiff = true;
            continue;  // the classic file goes with `output`
        }

        result.bigTiff = bigTiff;
        result.shortLevel = attempt.Short();
        const bool whole = !attempt.Lost() && output->Publish();
        if (whole) {
            result.publishWarning = output->PublishWarning();
        } else {
            result.outputReplaced = output->Replaced();
        }
        result.failure = record.Read();
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
