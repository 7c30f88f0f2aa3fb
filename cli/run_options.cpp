/*
 * run_options.cpp - reading and testing the command line.
 */
#include "cli/run_options.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <string_view>

#include "dicom/slide_metadata.h"

namespace nvx::cli {
namespace {

constexpr int kWholeSlideArgc = 4;
constexpr int kRegionArgc = 9;
constexpr double kMaxRegionScale = 80.0;
constexpr double kMaxMicrons = 1000.0;
constexpr int kMaxQuality = 100;

// What an option word asks for.
enum class OptionAsks { Run, Help, Version };

// Takes the option at argv[*at] (and its value, the next word, when not
// given after '='), moving *at past what it took. Empty `refusal.name`
// when it was taken.
OptionAsks TakeOption(int argc, char** argv, int* at, OutputChoices* choices,
                      OptionRefusal* refusal) {
    const std::string word = argv[*at];
    const std::size_t equals = word.find('=');
    const std::string name = word.substr(0, equals);
    const bool inlineValue = equals != std::string::npos;
    const auto refuse = [&](console::OptionProblem problem, const std::string& value = {}) {
        *refusal = {problem, name, value};
        return OptionAsks::Run;
    };
    // The options that take no value.
    bool* flag = nullptr;
    if (name == "--no-label") flag = &choices->leaveOutLabel;
    if (name == "--no-macro") flag = &choices->leaveOutMacro;
    if (flag != nullptr || name == "--help" || name == "--version") {
        if (inlineValue) return refuse(console::OptionProblem::TakesNoValue);
        if (name == "--help") return OptionAsks::Help;
        if (name == "--version") return OptionAsks::Version;
        if (*flag) return refuse(console::OptionProblem::GivenTwice);
        *flag = true;
        return OptionAsks::Run;
    }
    if (name != "--mpp" && name != "--report" && name != "--threads" && name != "--tiles" &&
        name != "--quality" && name != "--chroma" && name != "--format" &&
        name != "--dicom-metadata" && name != "--section-thickness")
        return refuse(console::OptionProblem::Unknown);

    std::string value;
    if (inlineValue) {
        value = word.substr(equals + 1);
    } else if (*at + 1 < argc) {
        value = argv[++*at];
    } else {
        return refuse(console::OptionProblem::MissingValue);
    }
    if (name == "--tiles") {
        if (value != "copy") return refuse(console::OptionProblem::BadValue, value);
        if (choices->copyStoredTiles) return refuse(console::OptionProblem::GivenTwice);
        choices->copyStoredTiles = true;
        return OptionAsks::Run;
    }
    if (name == "--report") {
        if (value.empty()) return refuse(console::OptionProblem::BadValue, value);
        if (choices->reportPath) return refuse(console::OptionProblem::GivenTwice);
        choices->reportPath = value;
        return OptionAsks::Run;
    }
    if (name == "--format") {
        if (value != "tiff" && value != "dicom")
            return refuse(console::OptionProblem::BadValue, value);
        if (choices->formatGiven) return refuse(console::OptionProblem::GivenTwice);
        choices->formatGiven = true;
        choices->dicom = value == "dicom";
        return OptionAsks::Run;
    }
    if (name == "--dicom-metadata") {
        if (value.empty()) return refuse(console::OptionProblem::BadValue, value);
        if (choices->dicomMetadataPath) return refuse(console::OptionProblem::GivenTwice);
        choices->dicomMetadataPath = value;
        return OptionAsks::Run;
    }
    if (name == "--chroma") {
        if (value != "420") return refuse(console::OptionProblem::BadValue, value);
        if (choices->chroma420) return refuse(console::OptionProblem::GivenTwice);
        choices->chroma420 = true;
        return OptionAsks::Run;
    }
    if (name == "--threads" || name == "--quality") {
        // Digits alone, as large as an int counts.
        const bool digits = !value.empty() && std::all_of(value.begin(), value.end(), [](char c) {
            return std::isdigit(static_cast<unsigned char>(c)) != 0;
        });
        const int number =
            digits && !IntegerIsLoose(value.c_str()) ? ReadInteger(value.c_str()) : 0;
        std::optional<int>& choice = name == "--threads" ? choices->threads : choices->quality;
        if (number < 1 || (name == "--quality" && number > kMaxQuality))
            return refuse(console::OptionProblem::BadValue, value);
        if (choice) return refuse(console::OptionProblem::GivenTwice);
        choice = number;
        return OptionAsks::Run;
    }
    // --mpp and --section-thickness: a length in microns, above 0 and at
    // most 1000, as given and as kept: the pixel size is kept as a 32-bit
    // float, and the thickness is written as one; a value below the
    // smallest normal float would be kept as 0 or a fraction of itself.
    const double number = std::strtod(value.c_str(), nullptr);
    if (RealIsLoose(value.c_str()) || !std::isfinite(number) || !(number > 0.0) ||
        number > kMaxMicrons)
        return refuse(console::OptionProblem::BadValue, value);
    if (name == "--section-thickness") {
        if (!dicom::StatesPositiveThickness(number))
            return refuse(console::OptionProblem::BadValue, value);
        if (choices->sectionThicknessUm) return refuse(console::OptionProblem::GivenTwice);
        choices->sectionThicknessUm = number;
        return OptionAsks::Run;
    }
    const auto kept = static_cast<float>(number);
    if (!std::isnormal(kept) || !(kept > 0.0f) || kept > static_cast<float>(kMaxMicrons))
        return refuse(console::OptionProblem::BadValue, value);
    if (choices->micronsPerPixel) return refuse(console::OptionProblem::GivenTwice);
    choices->micronsPerPixel = kept;
    return OptionAsks::Run;
}

}  // namespace

bool IsRegionScale(double scale) { return scale > 0.0 && scale <= kMaxRegionScale; }

void ReplaceQuestionMarks(int argc, char** argv) {
    for (int i = 0; i < argc; ++i) {
        for (char* c = argv[i]; *c != '\0'; ++c) {
            if (*c == '?') *c = ' ';
        }
    }
}

std::int32_t ReadInteger(const char* text) {
    const long long value = std::strtoll(text, nullptr, 10);
    if (value > std::numeric_limits<std::int32_t>::max())
        return std::numeric_limits<std::int32_t>::max();
    if (value < std::numeric_limits<std::int32_t>::min())
        return std::numeric_limits<std::int32_t>::min();
    return static_cast<std::int32_t>(value);
}

namespace {

// Nothing but blanks from `end` on.
bool OnlyBlanksFrom(const char* end) {
    while (*end != '\0' && std::isspace(static_cast<unsigned char>(*end))) ++end;
    return *end == '\0';
}

}  // namespace

bool IntegerIsLoose(const char* text) {
    char* end = nullptr;
    errno = 0;
    const long long value = std::strtoll(text, &end, 10);
    return end == text || !OnlyBlanksFrom(end) || errno == ERANGE ||
           value > std::numeric_limits<std::int32_t>::max() ||
           value < std::numeric_limits<std::int32_t>::min();
}

bool RealIsLoose(const char* text) {
    char* end = nullptr;
    std::strtod(text, &end);
    return end == text || !OnlyBlanksFrom(end);
}

namespace {

// The arguments left once the options are out, read into `options` on top
// of what `check` holds.
ArgumentCheck ReadArguments(int argc, char** argv, RunOptions* options, ArgumentCheck check) {
    const auto verdict = [&check](ArgumentVerdict v,
                                  console::Message problem = console::Message::ScaleOutOfRange) {
        check.verdict = v;
        check.problem = problem;
        return check;
    };
    const auto refuseCount = [&](ArgumentVerdict v) {
        check.countRefused = true;
        return verdict(v);
    };
    const auto refuse = [&](ArgumentVerdict v, console::NumberArgument argument, const char* text,
                            console::Message problem = console::Message::ScaleOutOfRange) {
        check.refused = argument;
        check.refusedText = text;
        return verdict(v, problem);
    };
    const auto noteInteger = [&check](console::NumberArgument argument, const char* text,
                                      std::int32_t value) {
        if (IntegerIsLoose(text)) check.looseNumbers.push_back({argument, text, double(value)});
        return value;
    };
    const auto noteReal = [&check](console::NumberArgument argument, const char* text,
                                   double value) {
        if (RealIsLoose(text)) check.looseNumbers.push_back({argument, text, value});
        return value;
    };
    using console::NumberArgument;

    if (argc <= 1) return refuseCount(ArgumentVerdict::ShortUsage);
    if (argc == 2 && std::string_view(argv[1]) == "-h") return verdict(ArgumentVerdict::Help);
    options->inputPath = argv[1];
    if (argc <= 2) return refuseCount(ArgumentVerdict::ShortUsage);
    options->outputPath = argv[2];
    if (argc <= 3) return refuseCount(ArgumentVerdict::ShortUsage);

    // The layer count is read as a number and truncated: 2.9 counts as 2.
    // The range test comes first so that no value outside int can be cast.
    const double layers = noteReal(NumberArgument::Layers, argv[3], std::atof(argv[3]));
    if (!(layers >= 1.0 && layers < 10.0))
        return refuse(ArgumentVerdict::ShortUsage, NumberArgument::Layers, argv[3]);
    options->layers = static_cast<std::int32_t>(layers);

    if (argc == kWholeSlideArgc) return check;
    if (argc != kRegionArgc) return refuseCount(ArgumentVerdict::LongUsage);

    options->scale = noteReal(NumberArgument::Scale, argv[4], std::atof(argv[4]));
    if (!IsRegionScale(options->scale))
        return refuse(ArgumentVerdict::Problem, NumberArgument::Scale, argv[4],
                      console::Message::ScaleOutOfRange);
    options->x = noteInteger(NumberArgument::X, argv[5], ReadInteger(argv[5]));
    options->y = noteInteger(NumberArgument::Y, argv[6], ReadInteger(argv[6]));
    options->xText = argv[5];
    options->yText = argv[6];
    options->width = noteInteger(NumberArgument::Width, argv[7], ReadInteger(argv[7]));
    if (options->width < 0)
        return refuse(ArgumentVerdict::Problem, NumberArgument::Width, argv[7],
                      console::Message::WidthNegative);
    options->height = noteInteger(NumberArgument::Height, argv[8], ReadInteger(argv[8]));
    if (options->height < 0)
        return refuse(ArgumentVerdict::Problem, NumberArgument::Height, argv[8],
                      console::Message::HeightNegative);
    // A region is always converted as a nine-layer pyramid.
    options->layers = 9;
    return check;
}

}  // namespace

ArgumentCheck ParseArguments(int argc, char** argv, RunOptions* options) {
    *options = RunOptions{};
    ArgumentCheck check;

    // The options come out first; the arguments they leave are read below
    // as they always were. The first refusal, help or version request wins.
    std::vector<char*> arguments;
    bool optionsEnded = false;
    for (int i = 0; i < argc; ++i) {
        const std::string_view word = argv[i];
        if (i == 0 || optionsEnded || !word.starts_with("--")) {
            arguments.push_back(argv[i]);
            continue;
        }
        if (word == "--") {
            optionsEnded = true;
            continue;
        }
        const bool reportGiven = options->choices.reportPath.has_value();
        const OptionAsks asks = TakeOption(argc, argv, &i, &options->choices, &check.option);
        if (!reportGiven && options->choices.reportPath) check.reportWord = i;
        if (!check.option.name.empty()) {
            check.verdict = ArgumentVerdict::BadOption;
            return check;
        }
        if (asks == OptionAsks::Help) {
            check.verdict = ArgumentVerdict::Help;
            return check;
        }
        if (asks == OptionAsks::Version) {
            check.verdict = ArgumentVerdict::Version;
            return check;
        }
    }
    // The metadata and the section's thickness describe DICOM instances; a
    // TIFF has no place for them.
    const char* needsDicom = options->choices.dicom                ? nullptr
                             : options->choices.dicomMetadataPath  ? "--dicom-metadata"
                             : options->choices.sectionThicknessUm ? "--section-thickness"
                                                                   : nullptr;
    if (needsDicom != nullptr) {
        check.option = {console::OptionProblem::NeedsDicom, needsDicom, ""};
        check.verdict = ArgumentVerdict::BadOption;
        return check;
    }
    const OutputChoices choices = options->choices;
    argc = static_cast<int>(arguments.size());
    argv = arguments.data();
    check.argumentCount = argc - 1;
    const ArgumentCheck read = ReadArguments(argc, argv, options, check);
    options->choices = choices;
    return read;
}

}  // namespace nvx::cli
