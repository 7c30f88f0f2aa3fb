/*
 * conversion_report.cpp - the conversion's own lines: the reasons a run was
 * refused or lost data (standard error), the completion line, and the exit
 * status that goes with each outcome.
 */
#include "cli/conversion_report.h"

#include <string>
#include <vector>

#include "cli/console.h"
#include "pyramid/output_format.h"
#include "pyramid/pyramid_plan.h"

namespace nvx::cli {

namespace {

using pyramid::ConversionOutcome;
using pyramid::ConversionResult;

const char* PictureName(AssociatedPicture picture) {
    switch (picture) {
        case AssociatedPicture::Thumbnail:
            return "thumbnail";
        case AssociatedPicture::Label:
            return "label";
        case AssociatedPicture::Macro:
            return "macro";
        case AssociatedPicture::None:
            break;
    }
    return "";
}

std::string Plural(std::int32_t count, const char* one, const char* many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

// How a line names a pyramid level: a step keeps the level's directory
// number in the TIFF; a DICOM run names the level's instance file
// ("level-1.dcm", by the level's place in the plan) instead.
class LevelNames {
public:
    LevelNames(const pyramid::ConversionJob& job, const ConversionResult& result)
        : dicom_(job.format == pyramid::OutputFormat::Dicom), levels_(result.levels) {}

    std::string Of(std::int32_t directoryIndex) const {
        if (dicom_) {
            for (std::size_t k = 0; k < levels_.size(); ++k) {
                if (levels_[k].directoryIndex == directoryIndex) {
                    return "level-" + std::to_string(k) + ".dcm";
                }
            }
        }
        return "pyramid level " + std::to_string(directoryIndex);
    }
    bool Dicom() const { return dicom_; }

private:
    const bool dicom_;
    const std::vector<pyramid::LevelPlan>& levels_;
};

std::string TileWords(const char* verb, const Step& step, const LevelNames& names) {
    const std::string tile = step.tile < 0 ? std::string("a tile")
                                           : "tile " + std::to_string(step.tile) + " (" +
                                                 std::to_string(step.column) + ", " +
                                                 std::to_string(step.row) + ")";
    return std::string(verb) + " " + tile + " of " + names.Of(step.level);
}

std::string PictureWords(const char* doing, const Step& step) {
    return std::string(doing) + " the " + PictureName(step.picture) + " picture";
}

// What the run was doing, as the line says it.
std::string StepWords(const Step& step, const LevelNames& names) {
    const std::string ofLevel = " of " + names.Of(step.level);
    switch (step.stage) {
        case Stage::None:
        case Stage::Output:
            return "writing the output";
        case Stage::CreatingOutput:
            return "creating the output";
        case Stage::FinishingOutput:
            return "writing the end of the output";
        case Stage::SyncingOutput:
            return "putting the output on disk";
        case Stage::ClosingOutput:
            return "closing the output";
        case Stage::RenamingOutput:
            return "renaming the output";
        case Stage::SyncingFolder:
            return "syncing the output's folder";
        case Stage::StartingWorkers:
            return "starting the workers" + ofLevel;
        case Stage::PreparingWorker:
            return "starting a tile worker" + ofLevel;
        case Stage::SettingLevelTags:
            return "setting the tags" + ofLevel;
        case Stage::SettingTables:
            return "setting the JPEG tables" + ofLevel;
        case Stage::FetchingTile:
            return TileWords("fetching", step, names);
        case Stage::DecodingTile:
            return TileWords("decoding", step, names);
        case Stage::TranscodingTile:
            return TileWords("transcoding", step, names);
        case Stage::LayingOutTile:
            return TileWords("laying out", step, names);
        case Stage::EncodingTile:
            return TileWords("encoding", step, names);
        case Stage::HandingOverTile:
            return TileWords("handing over", step, names);
        case Stage::WritingTile:
            return TileWords("writing", step, names);
        case Stage::WritingLevelDirectory:
            // An instance has no directory: its end is what is written last.
            return names.Dicom() ? "writing the end of " + names.Of(step.level)
                                 : "writing the directory" + ofLevel;
        case Stage::FetchingPicture:
            return PictureWords("fetching", step);
        case Stage::DecodingPicture:
            return PictureWords("decoding", step);
        case Stage::SettingPictureTags:
            return "setting the tags of the " + std::string(PictureName(step.picture)) + " picture";
        case Stage::WritingPicture:
            return PictureWords("writing", step);
    }
    return "writing the output";
}

// Why, in words: the system's, libtiff's or ours; empty when nothing says.
std::string CauseWords(const RunFailure& failure) {
    switch (failure.cause) {
        case Cause::System:
            return console::SystemErrorWords(failure.code);
        case Cause::Errno:
            return console::ErrnoWords(failure.code);
        case Cause::Library:
        case Cause::Refusal:
            return failure.text;
        case Cause::OutOfMemory:
            return "out of memory";
        case Cause::None:
            break;
    }
    return {};
}

// The failure, with its cause: "writing tile 40 (10240, 0) of pyramid
// level 1 failed: disk quota exceeded". The steps of publishing say what
// became of the output.
std::string DescribeFailure(const ConversionResult& result, const std::string& outputPath,
                            const LevelNames& names) {
    const RunFailure& failure = result.failure;
    const std::string words = CauseWords(failure);
    const std::string because = words.empty() ? std::string("refused") : words;
    if (failure.cause == Cause::OutOfMemory)
        return "out of memory while " + StepWords(failure.step, names);
    switch (failure.step.stage) {
        case Stage::FinishingOutput:
            return "the end of the output could not be written" +
                   (words.empty() ? std::string() : ": " + words);
        case Stage::SyncingOutput:
            return "the output could not be put on disk: " + because;
        case Stage::ClosingOutput:
            return "the output could not be closed: " + because;
        case Stage::RenamingOutput:
            return result.outputReplaced ? outputPath + " was replaced, but " + because
                                         : "the finished output could not be renamed to " +
                                               outputPath + ": " + because;
        default:
            return StepWords(failure.step, names) + " failed" + (words.empty() ? "" : ": " + words);
    }
}

// Why the output could not be created.
std::string DescribeCreation(const RunFailure& failure) {
    switch (failure.cause) {
        case Cause::Refusal:
            return failure.text;
        case Cause::Library:
            return "libtiff cannot write a TIFF there: " + failure.text;
        case Cause::OutOfMemory:
            return "out of memory";
        default: {
            const std::string words = CauseWords(failure);
            return "cannot create a file in " + failure.text + ": " +
                   (words.empty() ? std::string("refused") : words);
        }
    }
}

// One line for everything a failed run lost: what failed first and why,
// how far the level got, what the slide could not give, and what became of
// the output path (a failure after the rename says so itself).
std::string DescribeLoss(const ConversionResult& result, const std::string& outputPath,
                         const LevelNames& names) {
    std::string text = "the output is incomplete:";
    const char* separator = " ";
    const auto add = [&](const std::string& part) {
        text += separator + part;
        separator = "; ";
    };
    const RunFailure& failure = result.failure;
    if (failure.Failed()) add(DescribeFailure(result, outputPath, names));
    if (result.shortLevel) {
        add(names.Of(result.shortLevel->directoryIndex) +
            " ended short: " + std::to_string(result.shortLevel->rowsWritten) + " of " +
            std::to_string(result.shortLevel->height) + " rows written");
    }
    if (failure.lostTiles != 0) {
        add(Plural(failure.lostTiles, "tile", "tiles") + " could not be read from the slide");
    }
    for (const pyramid::AssociatedPicture picture : failure.lostPictures) {
        add(std::string("the slide's ") + PictureName(picture) + " picture could not be read");
    }
    if (result.outputReplaced) return text;
    return text + "; " + outputPath + " was left as it was";
}

}  // namespace

int ReportConversion(const ConversionResult& result, const pyramid::ConversionJob& job,
                     int startupStatus) {
    switch (result.outcome) {
        case ConversionOutcome::UnsupportedTileSize:
            console::Error("the slide's tile size " + std::to_string(job.info.tileSize) +
                           " is not supported: it must be a multiple of " +
                           std::to_string(pyramid::kTileSizeStep) + " from " +
                           std::to_string(pyramid::kMinTileSize) + " to " +
                           std::to_string(pyramid::kMaxTileSize));
            return kFailedStatus;
        case ConversionOutcome::EmptyArea:
            console::Error("the area to convert is empty (" + std::to_string(job.box.width) + "x" +
                           std::to_string(job.box.height) + " pixels)");
            return kFailedStatus;
        case ConversionOutcome::OutputIsInput:
            console::Error("the output path names the input slide " + job.inputPath +
                           "; refusing to overwrite it");
            return kFailedStatus;
        case ConversionOutcome::OutputNotCreated: {
            // libtiff's own report and ours come before the line users know.
            for (const std::string& text : result.failure.libraryMessages) {
                console::LibraryMessage(text);
            }
            const std::string why = DescribeCreation(result.failure);
            console::Error(job.outputPath.empty() ? why
                                                  : "cannot create " + job.outputPath + ": " + why);
            console::Print(console::Message::CannotOpenOutput);
            return 1;
        }
        case ConversionOutcome::Converted:
        case ConversionOutcome::Incomplete:
            break;
    }

    for (const std::string& text : result.failure.libraryMessages) console::LibraryMessage(text);
    for (const pyramid::AssociatedPicture picture : result.missingPictures) {
        console::Warn(std::string("the slide has no ") + PictureName(picture) +
                      " picture; its directory is left out");
    }
    // A file that lacks levels or tiles is never announced as converted, nor
    // put where the output belongs.
    if (result.outcome != ConversionOutcome::Converted) {
        console::Error(DescribeLoss(result, job.outputPath, LevelNames(job, result)));
        return kFailedStatus;
    }
    if (!result.publishWarning.empty()) console::Warn(result.publishWarning);
    if (result.earlierLinks > 1) {
        const std::uint64_t others = result.earlierLinks - 1;
        console::Warn(job.outputPath + " is a new file; the " +
                      (others == 1 ? std::string("other hard link")
                                   : std::to_string(others) + " other hard links") +
                      " of the earlier one keep" + (others == 1 ? "s" : "") + " its content");
    }
    if (pyramid::UsesUsualMicronsPerPixel(job.info.scanMagnification, job.info.micronsPerPixel)) {
        console::WarnUsualMicronsPerPixel(
            pyramid::EffectiveMicronsPerPixel(job.info.scanMagnification, job.info.micronsPerPixel),
            job.info.scanMagnification);
    }
    if (result.slideClosed) console::Print(console::Message::Completion);
    return startupStatus;
}

}  // namespace nvx::cli
