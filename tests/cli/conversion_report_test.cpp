/*
 * conversion_report_test.cpp - the line a failed run ends with says what
 * became of the output path: left as it was, unless the finished file was
 * renamed into place before a later step failed.
 */
#include "cli/conversion_report.h"

#include <gtest/gtest.h>

#include <string>

namespace nvx::cli {
namespace {

TEST(ConversionReportTest, AFailedRunSaysWhatBecameOfTheOutputPath) {
    struct Case {
        const char* name;
        std::string writeFailure;
        bool replaced;
        std::string ending;
    };
    const Case cases[] = {
        {"renaming failed", "the finished output could not be renamed to out.svs: refused", false,
         "renamed to out.svs: refused; out.svs was left as it was\n"},
        {"the folder's sync failed after the rename",
         "out.svs was replaced, but the folder . could not be put on disk: refused", true,
         "incomplete: out.svs was replaced, but the folder . could not be put on disk: refused\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        pyramid::ConversionResult result;
        result.outcome = pyramid::ConversionOutcome::Incomplete;
        result.writeFailure = c.writeFailure;
        result.outputReplaced = c.replaced;
        pyramid::ConversionJob job;
        job.outputPath = "out.svs";
        job.info.scanMagnification = 40;
        job.info.micronsPerPixel = 0.25f;
        ::testing::internal::CaptureStderr();
        const int status = ReportConversion(result, job, 0);
        const std::string said = ::testing::internal::GetCapturedStderr();
        EXPECT_NE(status, 0);
        EXPECT_TRUE(said.ends_with(c.ending)) << said;
        EXPECT_EQ(said.find("left as it was") != std::string::npos, !c.replaced) << said;
    }
}

}  // namespace
}  // namespace nvx::cli
