/*
 * conversion_report_test.cpp - the line a failed run ends with, read from
 * the run's record: what failed first and the system's own words for why,
 * how far the level got, and what became of the output path: left as it
 * was, unless the finished file was renamed into place before a later
 * step failed.
 */
#include "cli/conversion_report.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

namespace nvx::cli {
namespace {

struct Said {
    int status;
    std::string out;
    std::string err;
};

Said Report(const pyramid::ConversionResult& result,
            pyramid::OutputFormat format = pyramid::OutputFormat::Tiff) {
    pyramid::ConversionJob job;
    job.format = format;
    job.outputPath = "out.svs";
    job.info.scanMagnification = 40;
    job.info.micronsPerPixel = 0.25f;
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    const int status = ReportConversion(result, job, 0);
    std::string out = ::testing::internal::GetCapturedStdout();
    return Said{status, out, ::testing::internal::GetCapturedStderr()};
}

TEST(ConversionReportTest, AFailedRunSaysWhatFailedWhyAndWhatBecameOfTheOutputPath) {
    struct Case {
        const char* name;
        Step step;
        Cause cause;
        int code;
        const char* text;
        bool replaced;
        bool shortLevel;
        std::string line;
    };
    const Step tile = Step::OfTile(Stage::WritingTile, 1, 40, 10240, 0);
    const std::string kept = "; out.svs was left as it was\n";
    const std::string shortLevel = "; pyramid level 1 ended short: 256 of 1500 rows written";
    const Case cases[] = {
        {"a quota", tile, Cause::System, EDQUOT, "", false, true,
         "writing tile 40 (10240, 0) of pyramid level 1 failed: disk quota exceeded" + shortLevel +
             kept},
        {"a failing disk", tile, Cause::System, EIO, "", false, true,
         "writing tile 40 (10240, 0) of pyramid level 1 failed: input/output error" + shortLevel +
             kept},
        {"a full disk", Step::OfPicture(Stage::WritingPicture, AssociatedPicture::Label),
         Cause::System, ENOSPC, "", false, false,
         "writing the label picture failed: the disk is full" + kept},
        {"a read-only file system", Step::OfLevel(Stage::WritingLevelDirectory, 3), Cause::System,
         EROFS, "", false, false,
         "writing the directory of pyramid level 3 failed: read-only file system" + kept},
        {"no worker", Step::OfLevel(Stage::StartingWorkers, 1), Cause::Errno, EAGAIN, "", false,
         true,
         "starting the workers of pyramid level 1 failed: resource temporarily unavailable" +
             shortLevel + kept},
        {"libtiff's refusal", Step::OfLevel(Stage::SettingTables, 1), Cause::Library, 0,
         "JPEGTables: bad", false, false,
         "setting the JPEG tables of pyramid level 1 failed: JPEGTables: bad" + kept},
        {"memory", Step::OfTile(Stage::DecodingTile, 1, 3, 768, 0), Cause::OutOfMemory, 0, "",
         false, true,
         "out of memory while decoding tile 3 (768, 0) of pyramid level 1" + shortLevel + kept},
        {"a flush", Step::Of(Stage::FinishingOutput), Cause::System, EDQUOT, "", false, false,
         "the end of the output could not be written: disk quota exceeded" + kept},
        {"the rename", Step::Of(Stage::RenamingOutput), Cause::None, 0, "", false, false,
         "the finished output could not be renamed to out.svs: refused" + kept},
        {"the step after the rename", Step::Of(Stage::RenamingOutput), Cause::None, 0, "", true,
         false, "out.svs was replaced, but refused\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        pyramid::ConversionResult result;
        result.outcome = pyramid::ConversionOutcome::Incomplete;
        result.failure.step = c.step;
        result.failure.cause = c.cause;
        result.failure.code = c.code;
        result.failure.text = c.text;
        result.outputReplaced = c.replaced;
        if (c.shortLevel) result.shortLevel = pyramid::ShortLevel{1, 256, 1500};
        const Said said = Report(result);
        EXPECT_EQ(said.status, kFailedStatus);
        EXPECT_EQ(said.out, "");
        EXPECT_EQ(said.err, "nvx2svs: error: the output is incomplete: " + c.line);
    }
}

// A DICOM run's levels are files of the folder, not directories of a
// TIFF: the line names the instance by its place in the plan (the level in
// directory 3 of the TIFF is level-1.dcm).
TEST(ConversionReportTest, ADicomRunNamesTheLevelsInstanceFile) {
    struct Case {
        const char* name;
        Step step;
        bool shortLevel;
        std::string line;
    };
    const std::string kept = "; out.svs was left as it was\n";
    const Case cases[] = {
        {"a tile", Step::OfTile(Stage::WritingTile, 3, 5, 256, 0), false,
         "writing tile 5 (256, 0) of level-1.dcm failed: disk quota exceeded" + kept},
        {"the end", Step::OfLevel(Stage::WritingLevelDirectory, 1), false,
         "writing the end of level-0.dcm failed: disk quota exceeded" + kept},
        {"the workers", Step::OfLevel(Stage::StartingWorkers, 4), true,
         "starting the workers of level-2.dcm failed: disk quota exceeded; level-1.dcm ended "
         "short: 256 of 1500 rows written" +
             kept},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        pyramid::ConversionResult result;
        result.outcome = pyramid::ConversionOutcome::Incomplete;
        result.levels.resize(3);
        // The level directories of a TIFF with the thumbnail after the first.
        result.levels[0].directoryIndex = 1;
        result.levels[1].directoryIndex = 3;
        result.levels[2].directoryIndex = 4;
        result.failure.step = c.step;
        result.failure.cause = Cause::System;
        result.failure.code = EDQUOT;
        if (c.shortLevel) result.shortLevel = pyramid::ShortLevel{3, 256, 1500};
        const Said said = Report(result, pyramid::OutputFormat::Dicom);
        EXPECT_EQ(said.err, "nvx2svs: error: the output is incomplete: " + c.line);
    }
}

TEST(ConversionReportTest, AnOutputThatCannotBeCreatedSaysWhyBeforeTheUsualLine) {
    pyramid::ConversionResult result;
    result.outcome = pyramid::ConversionOutcome::OutputNotCreated;
    result.failure.step = Step::Of(Stage::CreatingOutput);
    result.failure.cause = Cause::System;
    result.failure.code = EDQUOT;
    result.failure.text = "/data";
    const Said said = Report(result);
    EXPECT_EQ(said.status, 1);
    EXPECT_EQ(said.out, "Could not open output.tif for writing\n");
    EXPECT_EQ(said.err,
              "nvx2svs: error: cannot create out.svs: cannot create a file in /data: disk quota "
              "exceeded\n");
}

}  // namespace
}  // namespace nvx::cli
