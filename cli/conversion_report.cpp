/*
 * conversion_report.cpp - the conversion's own lines: the reasons a run was
 * refused or lost data (standard error), the completion line, and the exit
 * status that goes with each outcome.
 */
#include "cli/conversion_report.h"

#include <string>

#include "cli/console.h"
#include "pyramid/output_format.h"
#include "pyramid/pyramid_plan.h"

namespace nvx::cli {

namespace {

using pyramid::ConversionOutcome;
using pyramid::ConversionResult;

const char* PictureName(pyramid::AssociatedPicture picture) {
    switch (picture) {
        case pyramid::AssociatedPicture::Thumbnail:
            return "thumbnail";
        case pyramid::AssociatedPicture::Label:
            return "label";
        case pyramid::AssociatedPicture::Macro:
            return "macro";
    }
    return "";
}

std::string Plural(std::int32_t count, const char* one, const char* many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

// One line for everything a failed run lost, why if we know, and what
// became of the output path (a failure after the rename says so itself).
std::string DescribeLoss(const ConversionResult& result, const std::string& outputPath) {
    std::string text = "the output is incomplete:";
    const char* separator = " ";
    const auto add = [&](const std::string& part) {
        text += separator + part;
        separator = "; ";
    };
    if (result.outOfMemory) add("out of memory while " + *result.outOfMemory);
    if (result.shortLevel) {
        add("pyramid level " + std::to_string(result.shortLevel->directoryIndex) +
            " ended short: " + std::to_string(result.shortLevel->rowsWritten) + " of " +
            std::to_string(result.shortLevel->height) + " rows written");
    }
    if (result.lostTiles != 0) {
        add(Plural(result.lostTiles, "tile", "tiles") + " could not be read from the slide");
    }
    for (const pyramid::AssociatedPicture picture : result.lostPictures) {
        add(std::string("the slide's ") + PictureName(picture) + " picture could not be read");
    }
    if (result.failedStep) add(*result.failedStep + " failed");
    if (!result.writeFailure.empty()) add(result.writeFailure);
    if (separator[0] == ' ') add("libtiff reported errors");
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
        case ConversionOutcome::OutputNotCreated:
            // libtiff's own report and ours come before the line users know.
            for (const std::string& text : result.libtiffMessages) console::LibraryMessage(text);
            if (!result.writeFailure.empty()) {
                console::Error(job.outputPath.empty() ? result.writeFailure
                                                      : "cannot create " + job.outputPath + ": " +
                                                            result.writeFailure);
            }
            console::Print(console::Message::CannotOpenOutput);
            return 1;
        case ConversionOutcome::Converted:
        case ConversionOutcome::Incomplete:
            break;
    }

    for (const std::string& text : result.libtiffMessages) console::LibraryMessage(text);
    for (const pyramid::AssociatedPicture picture : result.missingPictures) {
        console::Warn(std::string("the slide has no ") + PictureName(picture) +
                      " picture; its directory is left out");
    }
    // A file that lacks levels or tiles is never announced as converted, nor
    // put where the output belongs.
    if (result.outcome != ConversionOutcome::Converted) {
        console::Error(DescribeLoss(result, job.outputPath));
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
