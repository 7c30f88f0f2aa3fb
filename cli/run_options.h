/*
 * run_options.h - the parsed command line of one run, and its checks.
 *
 *   nvx2svs input-path output-path layers [Scale x y Width Height]
 *
 * Exactly three arguments (whole-slide mode) or eight (region mode). Every
 * '?' in every argument stands for a blank, so that a path with blanks can
 * be given without quotes. A single "--help", "-h" or "--version" asks for
 * the help or the version instead (one argument never names a run).
 */
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cli/console.h"

namespace nvx::cli {

struct RunOptions {
    std::string inputPath;
    std::string outputPath;
    std::int32_t layers = 0;  // 1..9; always 9 in region mode
    double scale = 0.0;       // the magnification the region was measured at; 0 in whole-slide mode
    std::int32_t x = 0;
    std::int32_t y = 0;
    std::int32_t width = 0;
    std::int32_t height = 0;
};

enum class ArgumentVerdict {
    Accepted,
    ShortUsage,  // too few arguments or a bad layer count: the whole-slide usage
    LongUsage,   // neither the whole-slide nor the region argument count: the usage with a region
    Problem,     // a region argument out of range: see `problem`
    Help,        // the one argument is --help or -h
    Version,     // the one argument is --version
};

// A numeric argument whose text is not just a number in the 32-bit range:
// it is still read as atoi or atof reads it, and the user is told how.
struct LooseNumber {
    console::NumberArgument argument = console::NumberArgument::Layers;
    std::string text;
    double readAs = 0.0;
};

struct ArgumentCheck {
    ArgumentVerdict verdict = ArgumentVerdict::Accepted;
    console::Message problem = console::Message::ScaleOutOfRange;
    // What was refused, for the line on standard error: the argument whose
    // rule it breaks, with its text, or none when the count is wrong.
    bool countRefused = false;
    console::NumberArgument refused = console::NumberArgument::Layers;
    std::string refusedText;
    std::vector<LooseNumber> looseNumbers;  // in the order the arguments were read
};

// True for a Scale that names a region: 0 < Scale <= 80.
bool IsRegionScale(double scale);

// Turns every '?' of every argument (the program path included) into a blank, in place.
void ReplaceQuestionMarks(int argc, char** argv);

// Reads and tests the arguments in the order the user learns of the problems:
// count, layer count, mode, then the region values.
ArgumentCheck ParseArguments(int argc, char** argv, RunOptions* options);

// The leading integer of a text as atoi reads it, held to the 32-bit range
// instead of wrapping.
std::int32_t ReadInteger(const char* text);

// True when atoi or atof reads `text` as something other than it says: no
// number at all, text after the number (blanks aside), or for an integer a
// number outside the 32-bit range.
bool IntegerIsLoose(const char* text);
bool RealIsLoose(const char* text);

}  // namespace nvx::cli
