/*
 * console.h - every text the program prints, kept in one place.
 *
 * Messages go to standard output byte for byte as the user knows them, in
 * the console's encoding: GBK where the locale's codeset is GBK, GB2312 or
 * GB18030 (and on Windows), UTF-8 otherwise. Progress dots reach the console
 * at once. Our own diagnostics go to standard error.
 */
#pragma once

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

// True when messages are printed as GBK bytes.
bool ConsoleUsesGbk();

// Prints a message to standard output in the console's encoding and flushes.
void Print(Message message);

// The four line sets that recur.
void PrintUsageA();
void PrintUsageB();
void PrintProblem(Message problemLine);
void PrintOpenFailure();

// Our own diagnostics: one line on standard error, prefixed "nvx2svs: ".
void Warn(const std::string& text);
void Error(const std::string& text);

}  // namespace nvx::console
