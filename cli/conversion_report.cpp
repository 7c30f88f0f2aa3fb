/*
 * conversion_report.cpp - the conversion's own lines: the reasons a run was
 * refused or lost data (standard error), the completion line, and the exit
 * status that goes with each outcome.
 */
#include "cli/conversion_report.h"

#include <string>

#include "cli/console.h"
#include "pyramid/pyramid_plan.h"

namespace nvx::cli {

namespace {

using pyramid::ConversionOutcome;
using pyramid::ConversionResult;

const char* PictureName(pyramid::Picture picture) {
    switch (picture) {
        case pyramid::Picture::Thumbnail:
            return "thumbnail";
        case pyramid::Picture::Label:
            return "label";
        case pyramid::Picture::Macro:
            return "macro";
    }
    return "";
}

std::string Plural(std::int32_t count, const char* one, const char* many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

std::string DescribeLoss(const ConversionResult& result) {
    std::string text = "the output is incomplete:";
    const char* separator = " ";
    if (result.lostTiles != 0) {
        text += separator + Plural(result.lostTiles, "tile", "tiles") +
                " could not be read from the slide and were written white";
        separator = "; ";
    }
    if (result.failedTileWrites != 0) {
        text +=
            separator + Plural(result.failedTileWrites, "tile write", "tile writes") + " failed";
        separator = "; ";
    }
    if (!result.firstFailedWrite.empty()) {
        text += separator + std::string("writing ") + result.firstFailedWrite + " failed";
    }
    return text;
}

}  // namespace

int ReportConversion(const ConversionResult& result, const pyramid::ConversionJob& job,
                     int startupStatus) {
    constexpr int kFailed = -1;
    switch (result.outcome) {
        case ConversionOutcome::UnsupportedTileSize:
            console::Error("the slide's tile size " + std::to_string(job.info.tileSize) +
                           " is not supported: it must be a multiple of 8 from " +
                           std::to_string(pyramid::kMinTileSize) + " to " +
                           std::to_string(pyramid::kMaxTileSize));
            return kFailed;
        case ConversionOutcome::EmptyArea:
            console::Error("the area to convert is empty (" + std::to_string(job.box.width) + "x" +
                           std::to_string(job.box.height) + " pixels)");
            return kFailed;
        case ConversionOutcome::OutputIsInput:
            console::Error("the output path names the input slide " + job.inputPath +
                           "; refusing to overwrite it");
            return kFailed;
        case ConversionOutcome::OutputNotCreated:
            console::Print(console::Message::CannotOpenOutput);
            return 1;
        case ConversionOutcome::Converted:
        case ConversionOutcome::Incomplete:
            break;
    }

    for (const pyramid::Picture picture : result.missingPictures) {
        console::Warn(std::string("the slide gave no usable ") + PictureName(picture) +
                      " picture; its directory is left out");
    }
    if (result.shortLevel != 0) {
        console::Error("pyramid level " + std::to_string(result.shortLevel) +
                       " ended short: " + std::to_string(result.shortLevelRows) + " of " +
                       std::to_string(result.shortLevelHeight) + " rows written");
    }
    if (result.lostTiles != 0 || result.failedTileWrites != 0 || !result.firstFailedWrite.empty()) {
        console::Error(DescribeLoss(result));
    }
    // A file that lacks levels or tiles is never announced as converted.
    if (result.outcome != ConversionOutcome::Converted) return kFailed;
    if (result.slideClosed) console::Print(console::Message::Completion);
    return startupStatus;
}

}  // namespace nvx::cli
