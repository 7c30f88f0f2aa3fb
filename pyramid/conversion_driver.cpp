/*
 * conversion_driver.cpp - the conversion of one slide into the pyramid TIFF.
 *
 * On the main thread: the checks that come before the output exists, the
 * output file, the plan, then each pyramid level in turn (its tags, its
 * LevelWriter, which the main thread waits on, its directory), the thumbnail
 * after the first level, the label and the macro, and the closing of file
 * and slide.
 */
#include "pyramid/conversion_driver.h"

#include <string>

#include "common/native_file.h"
#include "common/output_target.h"
#include "pyramid/associated_images.h"
#include "pyramid/conversion_driver_internal.h"
#include "pyramid/level_writer.h"
#include "pyramid/output_file.h"
#include "pyramid/output_layout.h"
#include "pyramid/output_size.h"
#include "pyramid/pyramid_plan.h"
#include "pyramid/tile_encoder.h"
#include "pyramid/write_faults.h"

namespace nvx::pyramid {

namespace {

// One attempt at writing the file (a classic TIFF, or a BigTIFF after a
// classic one passed 4 GiB): what every directory needs, and what the
// directories have lost so far.
class FileAttempt {
public:
    // `fileLimit`: the most the file may hold (a classic TIFF's), 0 for none.
    FileAttempt(const ConversionJob& job, const PyramidPlan& plan, const LevelSource& source,
                const OutputFile& output, std::uint64_t fileLimit, const TiffMessages& messages,
                const ProgressReport& progress, const DriverSeams& seams)
        : job_(job),
          plan_(plan),
          source_(source),
          output_(output),
          tiff_(output.tiff()),
          fileLimit_(fileLimit),
          messages_(messages),
          progress_(progress),
          seams_(seams) {
        shared_.pageCount = plan.directoryCount;
        shared_.tileSize = job.info.tileSize;
        shared_.scanMagnification = job.info.scanMagnification;
        shared_.micronsPerPixel =
            EffectiveMicronsPerPixel(job.info.scanMagnification, job.info.micronsPerPixel);
    }

    // Writes every directory of the plan: the levels with the thumbnail after
    // the first, then the label and the macro. Stops at the first level or
    // picture that loses anything: such a file is never published.
    void WriteDirectories(ConversionResult* result);

    // The file passed its limit: it must be written again as a BigTIFF. The
    // attempt stopped there, and what it noted in the result means nothing.
    bool PassedLimit() const { return passedLimit_; }

    // Whether anything of the file is lost so far.
    bool AnythingLost(const ConversionResult& result) const {
        return result.shortLevel || result.lostTiles != 0 || result.failedStep ||
               result.outOfMemory || !result.lostPictures.empty() || faults_.Any() ||
               messages_.AnyError() || passedLimit_;
    }

private:
    bool WriteLevel(const LevelPlan& level, ConversionResult* result);
    void NotePicture(PictureResult written, AssociatedPicture picture, ConversionResult* result);
    bool CheckLimit(bool writeFailed, std::uint64_t pendingBytes);

    const ConversionJob& job_;
    const PyramidPlan& plan_;
    const LevelSource& source_;
    const OutputFile& output_;
    TIFF* const tiff_;
    const std::uint64_t fileLimit_;
    const TiffMessages& messages_;
    const ProgressReport& progress_;
    const DriverSeams& seams_;
    SharedLevelTags shared_;
    WriteFaults faults_;  // the associated pictures' refused writes
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
// anything of it is lost (noted in `result`).
bool FileAttempt::WriteLevel(const LevelPlan& level, ConversionResult* result) {
    SetLevelTags(tiff_, level, shared_);
    // The workers encode the tiles themselves, so the tables their streams
    // leave out are set here rather than by libtiff's codec.
    SetJpegTables(tiff_, TablesFor(level.jpegQuality));

    LevelLimits limits;
    limits.budgetBytes = seams_.tileBudgetBytes;
    limits.fileBytes = fileLimit_;
    LevelWriter writer(tiff_, source_, level, limits, seams_.startThread);
    // The disk writes each finished tile row while the cores work on the
    // next, instead of all of the file at the end.
    const LevelOutcome outcome =
        writer.Run([this] { progress_(Progress::Dot); }, [this] { output_.StartWritingBack(); });
    if (outcome.failure && outcome.failure->kind == LevelFailure::Kind::FileLimit) {
        passedLimit_ = true;
        return false;
    }

    const std::string ofLevel = " of pyramid level " + std::to_string(level.directoryIndex);
    result->lostTiles += outcome.lostTiles;
    if (outcome.failure) {
        const std::string step = outcome.failure->what + ofLevel;
        if (outcome.failure->kind == LevelFailure::Kind::OutOfMemory) {
            result->outOfMemory = step;
        } else {
            result->failedStep = step;
        }
    }
    if (!outcome.Complete()) {
        result->shortLevel = ShortLevel{level.directoryIndex, outcome.rowsWritten, level.height};
        return false;
    }
    const bool written = TIFFWriteDirectory(tiff_) != 0;
    if (CheckLimit(!written, DirectoryBytes(writer.TileCount()))) return false;
    if (!written) {
        result->failedStep = "writing the directory" + ofLevel;
        return false;
    }
    return !AnythingLost(*result);
}

void FileAttempt::NotePicture(PictureResult written, AssociatedPicture picture,
                              ConversionResult* result) {
    if (CheckLimit(written == PictureResult::WriteFailed, kPicturesAndDirectoriesBytes)) return;
    // Every picture written here is one the slide has: the plan counted only
    // those, so one that is gone by now is lost like one that does not decode.
    if (written == PictureResult::Missing || written == PictureResult::Lost) {
        result->lostPictures.push_back(picture);
    }
    if (faults_.outOfMemory != nullptr && !result->outOfMemory) {
        result->outOfMemory = faults_.outOfMemory;
    }
    if (!faults_.firstFailedWrite.empty() && !result->failedStep) {
        result->failedStep = "writing " + faults_.firstFailedWrite;
    }
}

void FileAttempt::WriteDirectories(ConversionResult* result) {
    for (std::size_t k = 0; k < plan_.levels.size(); ++k) {
        if (!WriteLevel(plan_.levels[k], result)) return;
        if (k == 0) {
            const ThumbnailRequest request =
                ReduceThumbnailRequest(static_cast<float>(job_.info.scanMagnification), job_.box.x,
                                       job_.box.y, job_.box.width, job_.box.height);
            NotePicture(WriteThumbnailDirectory(tiff_, source_.slide, plan_.directoryCount, request,
                                                &faults_),
                        AssociatedPicture::Thumbnail, result);
            progress_(Progress::Dot);
            if (AnythingLost(*result)) return;
        }
    }
    if (plan_.pictures.label) {
        NotePicture(WriteLabelDirectory(tiff_, source_.slide, plan_.labelPage, plan_.directoryCount,
                                        &faults_),
                    AssociatedPicture::Label, result);
        if (AnythingLost(*result)) return;
    } else {
        result->missingPictures.push_back(AssociatedPicture::Label);
    }
    if (plan_.pictures.macro) {
        NotePicture(WriteMacroDirectory(tiff_, source_.slide, &faults_), AssociatedPicture::Macro,
                    result);
    } else {
        result->missingPictures.push_back(AssociatedPicture::Macro);
    }
}

ConversionResult Refused(ConversionOutcome outcome, slide::SlideSession* slide) {
    ConversionResult result;
    result.outcome = outcome;
    result.slideClosed = slide->Close();
    return result;
}

PyramidPlan PlanFor(const ConversionJob& job, PlannedPictures pictures) {
    return MakePyramidPlan(job.box.x, job.box.y, job.box.width, job.box.height, job.layers,
                           job.regionMode, pictures);
}

}  // namespace

ConversionResult ConvertSlide(const ConversionJob& job, slide::SlideSession* slide,
                              const ProgressReport& progress) {
    return ConvertSlideWith(job, slide, progress, DriverSeams());
}

ConversionResult ConvertSlideWith(const ConversionJob& job, slide::SlideSession* slide,
                                  const ProgressReport& progress, const DriverSeams& seams) {
    if (!IsSupportedTileSize(job.info.tileSize)) {
        return Refused(ConversionOutcome::UnsupportedTileSize, slide);
    }
    if (PlanFor(job, {}).levels.empty()) return Refused(ConversionOutcome::EmptyArea, slide);
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

    // The directory count depends on which pictures the slide has. One it has
    // but cannot give is lost before any work.
    const PicturesOnSlide onSlide = FindPicturesOnSlide(slide->handle());
    if (onSlide.label == slide::PictureStatus::Unreadable ||
        onSlide.macro == slide::PictureStatus::Unreadable) {
        ConversionResult result = Refused(ConversionOutcome::Incomplete, slide);
        if (onSlide.label == slide::PictureStatus::Unreadable)
            result.lostPictures.push_back(AssociatedPicture::Label);
        if (onSlide.macro == slide::PictureStatus::Unreadable)
            result.lostPictures.push_back(AssociatedPicture::Macro);
        return result;
    }
    const PyramidPlan plan = PlanFor(job, {onSlide.label == slide::PictureStatus::Delivered,
                                           onSlide.macro == slide::PictureStatus::Delivered});

    LevelSource source;
    source.slide = slide->handle();
    source.tileSize = job.info.tileSize;
    source.scanMagnification = job.info.scanMagnification;
    source.regionMode = job.regionMode;

    ConversionResult result;
    // A file estimated to pass the threshold is a BigTIFF from the start; one
    // that passes a classic TIFF's limit all the same is written again as a
    // BigTIFF, the classic attempt removed first.
    bool bigTiff = NeedsBigTiff(source, plan.levels, seams.bigTiffThreshold);
    for (bool restarted = false;; restarted = true) {
        result = ConversionResult();
        TiffMessages messages;
        std::unique_ptr<OutputFile> output =
            OutputFile::Create(target, bigTiff, &result.writeFailure, &messages, seams.publishStep);
        if (!output) {
            result.outcome = ConversionOutcome::OutputNotCreated;
            result.libtiffMessages = messages.Texts();
            break;
        }
        SetFirstLevelSubfileType(output->tiff());
        progress(restarted ? Progress::RestartedAsBigTiff : Progress::Started);

        FileAttempt attempt(job, plan, source, *output, bigTiff ? 0 : seams.classicLimit, messages,
                            progress, seams);
        attempt.WriteDirectories(&result);
        if (attempt.PassedLimit()) {
            bigTiff = true;
            continue;  // the classic file goes with `output`
        }

        result.bigTiff = bigTiff;
        bool whole = !attempt.AnythingLost(result);
        if (whole && !output->Publish(&result.writeFailure)) {
            whole = false;
            result.outputReplaced = output->Replaced();
        }
        if (whole) result.publishWarning = output->PublishWarning();
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
