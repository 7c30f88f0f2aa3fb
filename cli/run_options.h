/*
 * run_options.h - the parsed command line of one run, and its checks.
 *
 *   nvx2svs input-path output-path layers [Scale x y Width Height]
 *
 * Exactly three arguments (whole-slide mode) or eight (region mode). Every
 * '?' in every argument stands for a blank, so that a path with blanks can
 * be given without quotes. A single "-h" asks for the help (one argument
 * never names a run).
 *
 * Options are the words that begin with "--", anywhere on the line, up to a
 * lone "--" (after which every word is an argument, so a path may begin
 * with "--"). An option's value follows it as the next word or after '='
 * (--mpp 0.25, --mpp=0.25). "--help" and "--version" ask for the help or
 * the version instead of a run. What remains are the arguments above, with
 * their rules.
 */
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "cli/console.h"

namespace nvx::cli {

// What the options choose; each is unset (today's output) unless given.
struct OutputChoices {
    std::optional<float> micronsPerPixel;   // --mpp: the pixel size in microns, (0, 1000]
    bool leaveOutLabel = false;             // --no-label: no label directory, nothing of it read
    bool leaveOutMacro = false;             // --no-macro: the same for the macro
    bool copyStoredTiles = false;           // --tiles copy: the stored tiles go in as they are
    std::optional<std::string> reportPath;  // --report: where the run's JSON report goes
    std::optional<int> threads;             // --threads: at most this many CPUs, >= 1
    std::optional<int> quality;  // --quality: the JPEG quality of what is encoded, 1..100
    bool chroma420 = false;      // --chroma 420: pyramid levels YCbCr 4:2:0
    bool dicom = false;          // --format dicom: a folder of DICOM instances, not a TIFF
    bool formatGiven = false;    // --format was given (tiff or dicom)
    std::optional<std::string> dicomMetadataPath;  // --dicom-metadata: the patient, study, specimen
    std::optional<double> sectionThicknessUm;      // --section-thickness: microns, (0, 1000]
};

struct RunOptions {
    OutputChoices choices;
    std::string inputPath;
    std::string outputPath;
    std::int32_t layers = 0;  // 1..9; always 9 in region mode
    double scale = 0.0;       // the magnification the region was measured at; 0 in whole-slide mode
    std::int32_t x = 0;
    std::int32_t y = 0;
    std::string xText, yText;  // x and y as written, for a refusal's line
    std::int32_t width = 0;
    std::int32_t height = 0;
};

enum class ArgumentVerdict {
    Accepted,
    ShortUsage,  // too few arguments or a bad layer count: the whole-slide usage
    LongUsage,   // neither the whole-slide nor the region argument count: the usage with a region
    Problem,     // a region argument out of range: see `problem`
    BadOption,   // an unknown option, or one without a value or with a bad one: see `option`
    Help,        // --help anywhere, or -h alone
    Version,     // --version anywhere
};

// An option that was refused, for the line on standard error.
struct OptionRefusal {
    console::OptionProblem problem = console::OptionProblem::Unknown;
    std::string name;   // as written, with its "--"
    std::string value;  // as written (BadValue)
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
    int argumentCount = 0;                  // the arguments that are not options
    OptionRefusal option;                   // BadOption
    std::vector<LooseNumber> looseNumbers;  // in the order the arguments were read
    int reportWord = 0;                     // the word of argv that holds --report's path (0: none)
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
