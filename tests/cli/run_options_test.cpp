// Reading and testing the command line.
#include "cli/run_options.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

namespace nvx::cli {
namespace {

struct Args {
    explicit Args(std::vector<std::string> values) : strings(std::move(values)) {
        for (auto& s : strings) pointers.push_back(s.data());
    }
    int argc() const { return int(pointers.size()); }
    char** argv() { return pointers.data(); }
    std::vector<std::string> strings;
    std::vector<char*> pointers;
};

ArgumentCheck Parse(std::vector<std::string> values, RunOptions* options) {
    Args args(std::move(values));
    ReplaceQuestionMarks(args.argc(), args.argv());
    return ParseArguments(args.argc(), args.argv(), options);
}

TEST(RunOptions, TooFewArgumentsGiveTheShortUsage) {
    RunOptions options;
    EXPECT_EQ(Parse({"nvx2svs"}, &options).verdict, ArgumentVerdict::ShortUsage);
    EXPECT_EQ(Parse({"nvx2svs", "in.nvx"}, &options).verdict, ArgumentVerdict::ShortUsage);
    EXPECT_EQ(Parse({"nvx2svs", "in.nvx", "out.tif"}, &options).verdict,
              ArgumentVerdict::ShortUsage);
}

TEST(RunOptions, HelpAndVersionAreOptionsAndMinusHOnlyAlone) {
    RunOptions options;
    EXPECT_EQ(Parse({"p", "--help"}, &options).verdict, ArgumentVerdict::Help);
    EXPECT_EQ(Parse({"p", "-h"}, &options).verdict, ArgumentVerdict::Help);
    EXPECT_EQ(Parse({"p", "--version"}, &options).verdict, ArgumentVerdict::Version);
    EXPECT_EQ(Parse({"p", "--help", "out.svs", "3"}, &options).verdict, ArgumentVerdict::Help);
    EXPECT_EQ(Parse({"p", "in.nvx", "--version", "3"}, &options).verdict, ArgumentVerdict::Version);
    // A single dash is no option: alone it is a missing output path, beside
    // other arguments a path; after a lone "--" every word is an argument.
    for (const char* alone : {"-help", "-V", "?-h"})
        EXPECT_EQ(Parse({"p", alone}, &options).verdict, ArgumentVerdict::ShortUsage) << alone;
    ASSERT_EQ(Parse({"p", "-h", "out.svs", "3"}, &options).verdict, ArgumentVerdict::Accepted);
    EXPECT_EQ(options.inputPath, "-h");
    ASSERT_EQ(Parse({"p", "--", "--help", "--mpp", "3"}, &options).verdict,
              ArgumentVerdict::Accepted);
    EXPECT_EQ(options.inputPath, "--help");
    EXPECT_EQ(options.outputPath, "--mpp");
}

TEST(RunOptions, OptionsAnywhereLeaveTheArgumentsTheirRules) {
    using console::OptionProblem;
    struct Case {
        std::vector<std::string> words;
        ArgumentVerdict verdict;
        OptionProblem problem;  // BadOption only
        const char* name;       // BadOption only
        float mpp;              // Accepted only: 0 for none
    };
    const Case cases[] = {
        {{"p", "--mpp", "0.25", "i", "o", "3"}, ArgumentVerdict::Accepted, {}, "", 0.25f},
        {{"p", "i", "--mpp=0.5", "o", "3"}, ArgumentVerdict::Accepted, {}, "", 0.5f},
        {{"p", "i", "o", "3", "--mpp", "1000"}, ArgumentVerdict::Accepted, {}, "", 1000.0f},
        {{"p", "i", "o", "3", "10", "0", "0", "5", "5", "--mpp", "2"},
         ArgumentVerdict::Accepted,
         {},
         "",
         2.0f},
        {{"p", "i", "o", "3"}, ArgumentVerdict::Accepted, {}, "", 0.0f},
        // The arguments that remain keep their counts and reports.
        {{"p", "--mpp", "1", "i", "o"}, ArgumentVerdict::ShortUsage, {}, "", 0.0f},
        {{"p", "--mpp", "1", "i", "o", "3", "4"}, ArgumentVerdict::LongUsage, {}, "", 0.0f},
        // Refusals: the first one wins, before any argument is read.
        {{"p", "--shade", "80", "i", "o", "3"},
         ArgumentVerdict::BadOption,
         OptionProblem::Unknown,
         "--shade",
         0.0f},
        {{"p", "i", "o", "3", "--mpp"},
         ArgumentVerdict::BadOption,
         OptionProblem::MissingValue,
         "--mpp",
         0.0f},
        {{"p", "--help=1", "i", "o", "3"},
         ArgumentVerdict::BadOption,
         OptionProblem::TakesNoValue,
         "--help",
         0.0f},
        {{"p", "--no-label", "i", "o", "3", "--no-label"},
         ArgumentVerdict::BadOption,
         OptionProblem::GivenTwice,
         "--no-label",
         0.0f},
        {{"p", "--mpp", "0.25", "--mpp", "0.5", "i", "o", "3"},
         ArgumentVerdict::BadOption,
         OptionProblem::GivenTwice,
         "--mpp",
         0.0f},
        {{"p", "--threads=2", "i", "o", "3", "--threads", "2"},
         ArgumentVerdict::BadOption,
         OptionProblem::GivenTwice,
         "--threads",
         0.0f},
        {{"p", "i", "o", "3", "--threads"},
         ArgumentVerdict::BadOption,
         OptionProblem::MissingValue,
         "--threads",
         0.0f},
        {{"p", "i", "o", "3", "--tiles"},
         ArgumentVerdict::BadOption,
         OptionProblem::MissingValue,
         "--tiles",
         0.0f},
        {{"p", "--tiles", "copy", "i", "o", "3", "--tiles=copy"},
         ArgumentVerdict::BadOption,
         OptionProblem::GivenTwice,
         "--tiles",
         0.0f},
        {{"p", "--quality=80", "i", "o", "3", "--quality", "80"},
         ArgumentVerdict::BadOption,
         OptionProblem::GivenTwice,
         "--quality",
         0.0f},
        {{"p", "i", "o", "3", "--quality"},
         ArgumentVerdict::BadOption,
         OptionProblem::MissingValue,
         "--quality",
         0.0f},
        {{"p", "--chroma", "420", "i", "o", "3", "--chroma=420"},
         ArgumentVerdict::BadOption,
         OptionProblem::GivenTwice,
         "--chroma",
         0.0f},
        {{"p", "i", "o", "3", "--chroma"},
         ArgumentVerdict::BadOption,
         OptionProblem::MissingValue,
         "--chroma",
         0.0f},
        {{"p", "--format", "dicom", "i", "o", "3", "--format=tiff"},
         ArgumentVerdict::BadOption,
         OptionProblem::GivenTwice,
         "--format",
         0.0f},
        {{"p", "i", "o", "3", "--format"},
         ArgumentVerdict::BadOption,
         OptionProblem::MissingValue,
         "--format",
         0.0f},
        // The metadata describes instances: a TIFF has no place for it.
        {{"p", "--dicom-metadata", "m.json", "i", "o", "3"},
         ArgumentVerdict::BadOption,
         OptionProblem::NeedsDicom,
         "--dicom-metadata",
         0.0f},
        {{"p", "--format=tiff", "--dicom-metadata", "m.json", "i", "o", "3"},
         ArgumentVerdict::BadOption,
         OptionProblem::NeedsDicom,
         "--dicom-metadata",
         0.0f},
        {{"p", "--format=dicom", "--dicom-metadata=a", "i", "o", "3", "--dicom-metadata=b"},
         ArgumentVerdict::BadOption,
         OptionProblem::GivenTwice,
         "--dicom-metadata",
         0.0f},
        {{"p", "--section-thickness", "4", "i", "o", "3"},
         ArgumentVerdict::BadOption,
         OptionProblem::NeedsDicom,
         "--section-thickness",
         0.0f},
        {{"p", "--format=dicom", "--section-thickness=4", "i", "o", "3", "--section-thickness=4"},
         ArgumentVerdict::BadOption,
         OptionProblem::GivenTwice,
         "--section-thickness",
         0.0f},
        {{"p", "--format=dicom", "i", "o", "3", "--section-thickness"},
         ArgumentVerdict::BadOption,
         OptionProblem::MissingValue,
         "--section-thickness",
         0.0f},
    };
    for (const Case& c : cases) {
        RunOptions options;
        const ArgumentCheck check = Parse(c.words, &options);
        const std::string line = ::testing::PrintToString(c.words);
        ASSERT_EQ(check.verdict, c.verdict) << line;
        if (c.verdict == ArgumentVerdict::BadOption) {
            EXPECT_EQ(check.option.problem, c.problem) << line;
            EXPECT_EQ(check.option.name, c.name) << line;
        }
        if (c.verdict != ArgumentVerdict::Accepted) continue;
        EXPECT_EQ(options.inputPath, "i") << line;
        EXPECT_EQ(options.outputPath, "o") << line;
        EXPECT_EQ(options.choices.micronsPerPixel.value_or(0.0f), c.mpp) << line;
        EXPECT_FALSE(options.choices.leaveOutLabel || options.choices.leaveOutMacro) << line;
    }
    RunOptions options;
    ASSERT_EQ(Parse({"p", "--no-macro", "i", "o", "3"}, &options).verdict,
              ArgumentVerdict::Accepted);
    EXPECT_TRUE(options.choices.leaveOutMacro);
    EXPECT_FALSE(options.choices.leaveOutLabel);
    for (const char* name : {"--mpp", "--section-thickness"}) {
        for (const char* bad : {"0", "-1", "1000.5", "nan", "inf", "0.25um", "", "1e400"}) {
            RunOptions options;
            const ArgumentCheck check =
                Parse({"p", "--format=dicom", "i", "o", "3", name, bad}, &options);
            EXPECT_EQ(check.verdict, ArgumentVerdict::BadOption) << name << " " << bad;
            EXPECT_EQ(check.option.problem, OptionProblem::BadValue) << name << " " << bad;
            EXPECT_EQ(check.option.value, bad);
        }
    }
    for (const char* bad : {"0", "-1", "1.5", "", "two", "+2", " 2", "2 ", "99999999999"}) {
        RunOptions options;
        const ArgumentCheck check = Parse({"p", "i", "o", "3", "--threads", bad}, &options);
        EXPECT_EQ(check.verdict, ArgumentVerdict::BadOption) << bad;
        EXPECT_EQ(check.option.problem, OptionProblem::BadValue) << bad;
        EXPECT_EQ(check.option.value, bad);
    }
    for (const char* bad : {"foo", "", "Copy", "copy ", "pixels"}) {
        RunOptions options;
        const ArgumentCheck check = Parse({"p", "i", "o", "3", "--tiles", bad}, &options);
        EXPECT_EQ(check.verdict, ArgumentVerdict::BadOption) << bad;
        EXPECT_EQ(check.option.problem, OptionProblem::BadValue) << bad;
        EXPECT_EQ(check.option.value, bad);
    }
    for (const char* bad :
         {"0", "101", "-1", "75.5", "", "high", "+80", " 80", "80 ", "1e2", "99999999999"}) {
        RunOptions options;
        const ArgumentCheck check = Parse({"p", "i", "o", "3", "--quality", bad}, &options);
        EXPECT_EQ(check.verdict, ArgumentVerdict::BadOption) << bad;
        EXPECT_EQ(check.option.problem, OptionProblem::BadValue) << bad;
        EXPECT_EQ(check.option.value, bad);
    }
    for (const char* bad : {"DICOM", "svs", "", " dicom", "tif"}) {
        RunOptions options;
        const ArgumentCheck check = Parse({"p", "i", "o", "3", "--format", bad}, &options);
        EXPECT_EQ(check.verdict, ArgumentVerdict::BadOption) << bad;
        EXPECT_EQ(check.option.problem, OptionProblem::BadValue) << bad;
        EXPECT_EQ(check.option.value, bad);
    }
    for (const char* bad : {"422", "444", "4:2:0", "", " 420", "420 ", "0420"}) {
        RunOptions options;
        const ArgumentCheck check = Parse({"p", "i", "o", "3", "--chroma", bad}, &options);
        EXPECT_EQ(check.verdict, ArgumentVerdict::BadOption) << bad;
        EXPECT_EQ(check.option.problem, OptionProblem::BadValue) << bad;
        EXPECT_EQ(check.option.value, bad);
    }
    struct Accepted {
        std::vector<std::string> words;
        std::optional<int> quality;
        bool chroma420;
    };
    const Accepted accepted[] = {
        {{"p", "i", "o", "3"}, std::nullopt, false},
        {{"p", "--quality", "1", "i", "o", "3"}, 1, false},
        {{"p", "i", "o", "3", "--quality=100"}, 100, false},
        {{"p", "i", "--quality", "075", "o", "3"}, 75, false},
        {{"p", "i", "o", "3", "--chroma", "420"}, std::nullopt, true},
        {{"p", "--chroma=420", "i", "--quality=90", "o", "3"}, 90, true},
    };
    for (const Accepted& a : accepted) {
        RunOptions options;
        const std::string line = ::testing::PrintToString(a.words);
        ASSERT_EQ(Parse(a.words, &options).verdict, ArgumentVerdict::Accepted) << line;
        EXPECT_EQ(options.choices.quality, a.quality) << line;
        EXPECT_EQ(options.choices.chroma420, a.chroma420) << line;
        EXPECT_EQ(options.outputPath, "o") << line;
    }
    struct Format {
        std::vector<std::string> words;
        bool dicom;
        std::optional<std::string> metadata;
        std::optional<double> thickness;
    };
    const Format formats[] = {
        {{"p", "i", "o", "3"}, false, std::nullopt, std::nullopt},
        {{"p", "i", "o", "3", "--format", "tiff"}, false, std::nullopt, std::nullopt},
        {{"p", "--format=dicom", "i", "o", "3"}, true, std::nullopt, std::nullopt},
        {{"p", "i", "o", "--dicom-metadata", "m.json", "3", "--format", "dicom"},
         true,
         "m.json",
         std::nullopt},
        {{"p", "i", "o", "9", "40", "0", "0", "5", "5", "--format", "dicom"},
         true,
         std::nullopt,
         std::nullopt},
        {{"p", "--section-thickness", "3.5", "i", "o", "3", "--format=dicom"},
         true,
         std::nullopt,
         3.5},
    };
    for (const Format& f : formats) {
        RunOptions parsed;
        const std::string line = ::testing::PrintToString(f.words);
        ASSERT_EQ(Parse(f.words, &parsed).verdict, ArgumentVerdict::Accepted) << line;
        EXPECT_EQ(parsed.choices.dicom, f.dicom) << line;
        EXPECT_EQ(parsed.choices.dicomMetadataPath, f.metadata) << line;
        EXPECT_EQ(parsed.choices.sectionThicknessUm, f.thickness) << line;
        EXPECT_EQ(parsed.outputPath, "o") << line;
    }
    ASSERT_EQ(Parse({"p", "i", "--tiles=copy", "o", "3"}, &options).verdict,
              ArgumentVerdict::Accepted);
    EXPECT_TRUE(options.choices.copyStoredTiles);
    options = RunOptions{};
    ASSERT_EQ(Parse({"p", "i", "--threads=12", "o", "3"}, &options).verdict,
              ArgumentVerdict::Accepted);
    EXPECT_EQ(options.choices.threads, 12);
    EXPECT_EQ(options.outputPath, "o");
}

// A length is checked as it is kept: the pixel size as a 32-bit float,
// the thickness as the float and the decimal the instances write. A value
// above 0 that the float cannot hold as a normal number would be kept as 0
// (and the slide's own pixel size then assumed) or as a fraction of itself.
TEST(RunOptions, LengthsAreCheckedAsTheyAreKept) {
    struct Row {
        const char* name;
        const char* value;
        bool accepted;
    };
    const Row rows[] = {
        {"--mpp", "1e-46", false},  // kept as 0
        {"--mpp", "1e-40", false},  // kept as 9.99e-41 (subnormal)
        {"--mpp", "1.1e-38", false},
        {"--mpp", "1.2e-38", true},
        {"--mpp", "0.25", true},
        {"--section-thickness", "1e-320", false},
        {"--section-thickness", "1e-40", false},
        {"--section-thickness", "1.2e-38", true},
        {"--section-thickness", "4", true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.name) + " " + row.value);
        RunOptions options;
        const ArgumentCheck check =
            Parse({"p", "--format=dicom", "i", "o", "3", row.name, row.value}, &options);
        if (!row.accepted) {
            EXPECT_EQ(check.verdict, ArgumentVerdict::BadOption);
            EXPECT_EQ(check.option.problem, console::OptionProblem::BadValue);
            EXPECT_EQ(check.option.value, row.value);
            continue;
        }
        ASSERT_EQ(check.verdict, ArgumentVerdict::Accepted);
        const double given = std::strtod(row.value, nullptr);
        if (std::string(row.name) == "--mpp") {
            EXPECT_EQ(options.choices.micronsPerPixel, static_cast<float>(given));
        } else {
            EXPECT_EQ(options.choices.sectionThicknessUm, given);
        }
    }
}

TEST(RunOptions, LayerCountIsTruncatedAndTestedBeforeTheMode) {
    RunOptions options;
    for (const char* bad : {"0", "10", "-3", "abc", "0.99", "nan", "1e300", "-1e300"}) {
        EXPECT_EQ(Parse({"p", "i", "o", bad}, &options).verdict, ArgumentVerdict::ShortUsage)
            << bad;
        // The layer test comes first, so a bad count gives usage A in every mode.
        EXPECT_EQ(Parse({"p", "i", "o", bad, "10"}, &options).verdict, ArgumentVerdict::ShortUsage);
        EXPECT_EQ(Parse({"p", "i", "o", bad, "10", "1", "1", "1", "1"}, &options).verdict,
                  ArgumentVerdict::ShortUsage);
    }
    struct Case {
        const char* text;
        int layers;
    };
    for (Case c : {Case{"1", 1}, Case{"2.9", 2}, Case{"9.99", 9}, Case{"9abc", 9}, Case{"?5", 5}}) {
        ASSERT_EQ(Parse({"p", "i", "o", c.text}, &options).verdict, ArgumentVerdict::Accepted)
            << c.text;
        EXPECT_EQ(options.layers, c.layers) << c.text;
        EXPECT_EQ(options.scale, 0.0);
    }
}

TEST(RunOptions, ArgumentCountsOtherThanThreeOrEightGiveTheLongUsage) {
    RunOptions options;
    std::vector<std::string> args = {"p", "i", "o", "4"};
    for (int extra = 1; extra <= 7; ++extra) {
        args.push_back("1");
        if (extra == 5) continue;  // eight arguments: region mode
        EXPECT_EQ(Parse(args, &options).verdict, ArgumentVerdict::LongUsage) << extra;
    }
}

TEST(RunOptions, RegionArgumentsAreTestedInOrder) {
    RunOptions options;
    auto region = [&](const char* scale, const char* w, const char* h) {
        return Parse({"p", "i", "o", "3", scale, "-5", "7", w, h}, &options);
    };
    for (const char* bad : {"0", "80.0001", "-1", "abc", "nan"}) {
        const ArgumentCheck check = region(bad, "-1", "-1");
        EXPECT_EQ(check.verdict, ArgumentVerdict::Problem) << bad;
        EXPECT_EQ(check.problem, console::Message::ScaleOutOfRange) << bad;
    }
    EXPECT_EQ(region("10", "-1", "-1").problem, console::Message::WidthNegative);
    EXPECT_EQ(region("10", "0", "-1").problem, console::Message::HeightNegative);

    ASSERT_EQ(region("80", "0", "0").verdict, ArgumentVerdict::Accepted);
    ASSERT_EQ(region("0.5", "300", "200").verdict, ArgumentVerdict::Accepted);
    EXPECT_EQ(options.layers, 9);  // region runs always build nine layers
    EXPECT_EQ(options.scale, 0.5);
    EXPECT_EQ(options.x, -5);
    EXPECT_EQ(options.y, 7);
    EXPECT_EQ(options.width, 300);
    EXPECT_EQ(options.height, 200);
}

TEST(RunOptions, QuestionMarksBecomeBlanksEverywhere) {
    RunOptions options;
    ASSERT_EQ(Parse({"my?tool", "a?b.nvx", "c??d.tif", "?3"}, &options).verdict,
              ArgumentVerdict::Accepted);
    EXPECT_EQ(options.inputPath, "a b.nvx");
    EXPECT_EQ(options.outputPath, "c  d.tif");
    EXPECT_EQ(options.layers, 3);
}

TEST(RunOptions, IntegersReadLikeAtoiButNeverWrap) {
    EXPECT_EQ(ReadInteger("42abc"), 42);
    EXPECT_EQ(ReadInteger(" -17.9"), -17);
    EXPECT_EQ(ReadInteger("abc"), 0);
    EXPECT_EQ(ReadInteger("99999999999"), 2147483647);
    EXPECT_EQ(ReadInteger("-99999999999"), -2147483647 - 1);
}

TEST(RunOptions, NumbersReadOtherwiseThanWrittenAreNoted) {
    for (const char* loose : {"1e10", "42abc", "abc", "", "99999999999", "-2147483649", "7 px"})
        EXPECT_TRUE(IntegerIsLoose(loose)) << loose;
    for (const char* exact : {"42", " -17", "2147483647", "-2147483648", "5 ", "+3"})
        EXPECT_FALSE(IntegerIsLoose(exact)) << exact;
    for (const char* loose : {"2.9x", "abc", "", "10,5"}) EXPECT_TRUE(RealIsLoose(loose)) << loose;
    for (const char* exact : {"2.9", " 1e10", "-0.5 ", "80"})
        EXPECT_FALSE(RealIsLoose(exact)) << exact;

    // Every argument read is looked at, in the order read; those never read are not.
    RunOptions options;
    ArgumentCheck check = Parse({"p", "i", "o", "3x", "10", "1e3", "2", "5px", "-1"}, &options);
    EXPECT_EQ(check.problem, console::Message::HeightNegative);
    ASSERT_EQ(check.looseNumbers.size(), 3u);
    EXPECT_EQ(check.looseNumbers[0].argument, console::NumberArgument::Layers);
    EXPECT_EQ(check.looseNumbers[0].readAs, 3.0);
    EXPECT_EQ(check.looseNumbers[1].argument, console::NumberArgument::X);
    EXPECT_EQ(check.looseNumbers[1].text, "1e3");
    EXPECT_EQ(check.looseNumbers[1].readAs, 1.0);
    EXPECT_EQ(check.looseNumbers[2].argument, console::NumberArgument::Width);
    EXPECT_EQ(check.looseNumbers[2].readAs, 5.0);
    check = Parse({"p", "i", "o", "3", "0", "1e3", "2", "5px", "-1"}, &options);
    EXPECT_EQ(check.problem, console::Message::ScaleOutOfRange);
    EXPECT_TRUE(check.looseNumbers.empty()) << "x and Width are not read after a bad Scale";
}

}  // namespace
}  // namespace nvx::cli
