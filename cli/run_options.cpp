/*
 * run_options.cpp - reading and testing the command line.
 */
#include "cli/run_options.h"

#include <cstdlib>
#include <limits>

namespace nvx::cli {
namespace {

constexpr int kWholeSlideArgc = 4;
constexpr int kRegionArgc = 9;
constexpr double kMaxRegionScale = 80.0;

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

ArgumentCheck ParseArguments(int argc, char** argv, RunOptions* options) {
    *options = RunOptions{};
    ArgumentCheck check;
    if (argc <= 1) return {ArgumentVerdict::UsageA};
    options->inputPath = argv[1];
    if (argc <= 2) return {ArgumentVerdict::UsageA};
    options->outputPath = argv[2];
    if (argc <= 3) return {ArgumentVerdict::UsageA};

    // The layer count is read as a number and truncated: 2.9 counts as 2.
    // The range test comes first so that no value outside int can be cast.
    const double layers = std::atof(argv[3]);
    if (!(layers >= 1.0 && layers < 10.0)) return {ArgumentVerdict::UsageA};
    options->layers = static_cast<std::int32_t>(layers);

    if (argc == kWholeSlideArgc) return check;
    if (argc != kRegionArgc) return {ArgumentVerdict::UsageB};

    options->scale = std::atof(argv[4]);
    if (!IsRegionScale(options->scale))
        return {ArgumentVerdict::Problem, console::Message::ScaleOutOfRange};
    options->x = ReadInteger(argv[5]);
    options->y = ReadInteger(argv[6]);
    options->width = ReadInteger(argv[7]);
    if (options->width < 0) return {ArgumentVerdict::Problem, console::Message::WidthNegative};
    options->height = ReadInteger(argv[8]);
    if (options->height < 0) return {ArgumentVerdict::Problem, console::Message::HeightNegative};
    // A region is always converted as a nine-layer pyramid.
    options->layers = 9;
    return check;
}

}  // namespace nvx::cli
