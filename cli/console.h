/*
 * console.h - every text the program prints, kept in one place.
 *
 * Messages go to standard output byte for byte as the user knows them, in
 * the console's encoding: GBK where the locale's codeset is GBK, GB2312 or
 * GB18030 (on Windows: unless the console's output code page is 65001),
 * UTF-8 otherwise. Progress dots reach the console
 * at once. Our own diagnostics go to standard error.
 */
#pragma once

#include <cstddef>
#include <string>

namespace nvx::console {

enum class Message {
    RequestLine,  // the source and target paths are needed
    ShortUsage,   // xx.exe nvxpath newpath layer
    LongUsage,    // ... [Scale x y Width Height]
    HintLine,     // write ? for blanks, or quote the path
    OpenFailed,   // the input NVX file is faulty
    ScaleOutOfRange,
    WidthNegative,
    HeightNegative,
    XBeyondSlide,
    YBeyondSlide,
    RegionMissing,
    CannotOpenOutput,  // "Could not open output.tif for writing"
    Waiting,           // converting, please wait
    Dot,
    Completion,          // "\nOK..." conversion finished
    ModuleHandleFailed,  // start-up (wide text on Windows)
    FrameworkFailed,     // start-up (wide text on Windows)
};

// The message's text in UTF-8, as kept in the program.
const char* MessageText(Message message);

// Sets the program's locale from the environment and picks the console
// encoding. Call once at start-up, before anything is printed.
void InitConsole();

// Prints a message to standard output in the console's encoding and flushes.
void Print(Message message);

// The four line sets that recur: the usage of a whole-slide run (after too
// few arguments, a bad layer count or a slide that did not open), the usage
// with the region's arguments (after an argument count that fits neither).
void PrintShortUsage();
void PrintLongUsage();
void PrintProblem(Message problemLine);
void PrintOpenFailure();

// --help: both usage lines and the hint in the console's encoding, then
// what the arguments and the exit statuses mean, in English.
void PrintHelp();
// --version: "nvx2svs X.Y.Z", then one line each for libtiff and libjpeg-turbo.
void PrintVersion(const std::string& program, const std::string& libtiff,
                  const std::string& libjpegTurbo);

// What ended a run on `signal` ("interrupted (SIGINT)"); a fixed text.
const char* InterruptedCause(int signal);
// The line printed when `signal` ends a run: the cause, and whether the
// new output was already in place (`published`) or not written. Writes
// fixed texts only, so it is safe to call in a signal handler.
void AnnounceInterruption(int signal, bool published);

// Our own diagnostics: one line on standard error, prefixed "nvx2svs: ".
// One that comes while progress dots are open on the same terminal (or
// file) starts on a line of its own; standard output stays as it is.
void Warn(const std::string& text);
// A message of a library we use (libtiff), passed on as it came.
void LibraryMessage(const std::string& text);
void Error(const std::string& text);

// The system's own words for an error code, as our lines say them in
// English whatever the locale: "disk quota exceeded" (EDQUOT), "the disk
// is full" (ENOSPC), "input/output error" (EIO), "read-only file system"
// (EROFS), "file too large" (EFBIG; with a file size limit set, "the
// output would exceed this process's file size limit of N bytes (ulimit
// -f)"); others as the system gives them. ErrnoWords takes an errno value
// on every system; SystemErrorWords the system's own code (errno, or
// GetLastError on Windows).
std::string ErrnoWords(int code);
std::string SystemErrorWords(int code);

// The numeric arguments, as the usage line names them.
enum class NumberArgument { Layers, Scale, X, Y, Width, Height };

// Warns that a numeric argument was read as `value` although its text says
// more, less or something else ("Width '1e10' was read as 1").
void WarnLooseNumber(NumberArgument argument, const std::string& text, double value);

// Why the arguments were refused: one line on standard error after the
// report on standard output, naming the argument and its rule, since batch
// systems often keep standard error alone.
// `given` arguments fit neither a whole-slide run nor a region.
void ExplainArgumentCount(int given);
// An option that cannot be taken: `name` as written ("--mpp"), and for a bad
// value the value as written; the line names the option's rule.
enum class OptionProblem {
    Unknown,
    MissingValue,
    BadValue,
    GivenTwice,
    TakesNoValue,
    NeedsDicom,  // given without --format dicom
};
void ExplainOptionRefusal(OptionProblem problem, const std::string& name, const std::string& value);
// DICOM output needs the pixel size: neither the slide nor --mpp gives one.
void ExplainNoPixelSizeForDicom(const std::string& path);
// DICOM output without the section's thickness, and one given twice differently.
void ExplainNoSectionThicknessForDicom();
void ExplainSectionThicknessDiffers(const std::string& metadataPath);
// The --dicom-metadata file cannot be used; `why` names it and says why.
void ExplainDicomMetadataRefused(const std::string& why);
// Why the report --report names cannot go there.
enum class ReportProblem {
    Unusable,              // nothing can be published at the path: `detail` says why
    NamesSlideOrOutput,    // it is the slide or the output, under any name
    NamesMetadata,         // it is the --dicom-metadata file
    NamesAnotherArgument,  // another word of the command line names that file
    InsideDicomOutput,     // it lies inside the DICOM output folder `detail`
    NotAReport,            // it would replace a file that is not an earlier report
    Unreadable,            // the file there cannot be read to tell: `detail` says why
};
void ExplainReportRefused(const std::string& path, ReportProblem problem,
                          const std::string& detail);
// The report could not be written at the end of the run.
void ExplainReportNotWritten(const std::string& path, const std::string& why);
// The text of the first error line the run printed; empty when none.
std::string FirstErrorText();
// `argument`, written `text`, breaks its own rule (LAYERS 1 to 9, Scale above
// 0 and at most 80, Width and Height not below 0).
void ExplainArgumentRule(NumberArgument argument, const std::string& text);
// x or y, written `text`, lies at full-resolution pixel `pixel`, not below
// the slide's width or height `extent`.
void ExplainRegionOffSlide(NumberArgument axis, const std::string& text, long long pixel,
                           int extent);
// The region, cut at the slide's edges, holds no pixel.
void ExplainRegionEmpty(long long width, long long height);

// Why the slide could not be opened: one line on standard error each, after
// the open failure report.
enum class InputProblem { Missing, Unreadable, Folder, Fifo, NotRegular, Refused };
void ExplainLibraryNotLoaded(const std::string& fileName, const std::string& searchPath,
                             const std::string& searchError, const std::string& folder,
                             const std::string& folderError);
void ExplainEntryPointMissing(const std::string& library, const char* entryPoint);
void ExplainPathTooLong(std::size_t length, std::size_t limit);
// `detail`: the system's reason (Unreadable) or the library's (Refused), maybe empty.
void ExplainInputProblem(InputProblem problem, const std::string& path, const std::string& detail);
// The slide opened but its header could not be read.
void ExplainHeaderUnreadable(const std::string& path);
// The header gives a scan magnification outside [lowest, highest].
void ExplainImplausibleMagnification(const std::string& path, int magnification, int lowest,
                                     int highest);

// The slide records no pixel size, and the descriptions carry the usual
// value for its magnification instead.
void WarnUsualMicronsPerPixel(float micronsPerPixel, int magnification);

}  // namespace nvx::console
