/*
 * console.cpp - the program's console text and how it reaches the console.
 *
 * The texts are kept here in UTF-8. A console whose locale uses a Chinese
 * GB codeset (on Windows: every console whose output code page is not
 * UTF-8) gets them as GBK bytes, converted by iconv (on Windows by the
 * system); everything else gets the UTF-8 bytes unchanged.
 */
#include "cli/console.h"

#include <atomic>
#include <cctype>
#include <cerrno>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "common/native_file.h"

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <iconv.h>
#include <langinfo.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace nvx::console {
namespace {

bool gUseGbk = false;
// Progress dots printed since standard output's last line ended.
std::atomic<bool> gDotsOpen = false;

#if !defined(_WIN32)
bool CodesetIsGb(const char* codeset) {
    if (codeset == nullptr) return false;
    std::string name;
    for (const char* c = codeset; *c != '\0'; ++c) {
        if (*c != '-' && *c != '_')
            name.push_back(char(std::toupper(static_cast<unsigned char>(*c))));
    }
    return name == "GBK" || name == "GB2312" || name == "GB18030" || name == "CP936" ||
           name == "EUCCN";
}
#endif

// UTF-8 to GBK. Falls back to the UTF-8 bytes if the conversion is not
// available, so that nothing the user must read is ever dropped.
std::string ToGbk(const char* text) {
    const std::size_t length = std::strlen(text);
#if defined(_WIN32)
    int wideLength = MultiByteToWideChar(CP_UTF8, 0, text, int(length), nullptr, 0);
    std::wstring wide(std::size_t(wideLength), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text, int(length), wide.data(), wideLength);
    int narrowLength =
        WideCharToMultiByte(936, 0, wide.data(), wideLength, nullptr, 0, nullptr, nullptr);
    std::string narrow(std::size_t(narrowLength), '\0');
    WideCharToMultiByte(936, 0, wide.data(), wideLength, narrow.data(), narrowLength, nullptr,
                        nullptr);
    return narrow;
#else
    iconv_t converter = iconv_open("GBK", "UTF-8");
    if (converter == reinterpret_cast<iconv_t>(-1)) return std::string(text, length);
    std::string out(length * 2 + 4, '\0');
    char* in = const_cast<char*>(text);
    std::size_t inLeft = length;
    char* outPtr = out.data();
    std::size_t outLeft = out.size();
    const std::size_t result = iconv(converter, &in, &inLeft, &outPtr, &outLeft);
    iconv_close(converter);
    if (result == static_cast<std::size_t>(-1)) return std::string(text, length);
    out.resize(out.size() - outLeft);
    return out;
#endif
}

void Write(const std::string& bytes) {
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
    std::fflush(stdout);
}

}  // namespace

const char* MessageText(Message message) {
    switch (message) {
        case Message::RequestLine:
            return "需要输入原始nvx文件及转换tif或svs文件路径，请重新输入:\n";
        case Message::ShortUsage:
            return "xx.exe nvxpath(*.nvx) newpath(*.tif/*.svs) layer(2-9):\n";
        case Message::LongUsage:
            return "xx.exe nvxpath(*.nvx) newpath(*.tif/*.svs) layer(2-9) [Scale x y Width "
                   "Height]:\n";
        case Message::HintLine:
            return "用户需要输入带空格的文件路径时请用”?”符号代替空格符；或使用双引号包括路径:\n";
        case Message::OpenFailed:
            return "error:输入NVX文件有误!!\n";
        case Message::ScaleOutOfRange:
            return "Scale倍率越界:\n";
        case Message::WidthNegative:
            return "Width不能小于0:\n";
        case Message::HeightNegative:
            return "Height不能小于0:\n";
        case Message::XBeyondSlide:
            return "x坐标不能大于图片最大横坐标:\n";
        case Message::YBeyondSlide:
            return "y坐标不能大于图片最大纵坐标:\n";
        case Message::RegionMissing:
            return "区域不存在:\n";
        case Message::CannotOpenOutput:
            return "Could not open output.tif for writing\n";
        case Message::Waiting:
            return "正在转换中，请等待...\n";
        case Message::Dot:
            return ".";
        case Message::Completion:
            return "\nOK...转换完成";
        case Message::ModuleHandleFailed:
            return "错误: GetModuleHandle 失败\n";
        case Message::FrameworkFailed:
            return "错误: MFC 初始化失败\n";
    }
    return "";
}

void InitConsole() {
#if defined(_WIN32)
    // The console's output code page decides: UTF-8 for 65001, GBK for every
    // other (936 above all). Without a console, the system's OEM code page is
    // what a console would have. Text goes out byte for byte: no CR is added.
    UINT codePage = GetConsoleOutputCP();
    if (codePage == 0) codePage = GetOEMCP();
    gUseGbk = codePage != CP_UTF8;
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
#else
    std::setlocale(LC_ALL, "");
    gUseGbk = CodesetIsGb(nl_langinfo(CODESET));
    // Numbers are read the same way whatever the user's locale.
    std::setlocale(LC_NUMERIC, "C");
#endif
}

void Print(Message message) {
    const char* text = MessageText(message);
    Write(gUseGbk ? ToGbk(text) : std::string(text));
    // Every other message ends its line (the completion line starts a new one).
    gDotsOpen = message == Message::Dot;
}

void PrintShortUsage() {
    Print(Message::RequestLine);
    Print(Message::ShortUsage);
    Print(Message::HintLine);
}

void PrintLongUsage() {
    Print(Message::RequestLine);
    Print(Message::LongUsage);
    Print(Message::HintLine);
}

void PrintProblem(Message problemLine) {
    Print(problemLine);
    Print(Message::LongUsage);
    Print(Message::HintLine);
}

void PrintOpenFailure() {
    Print(Message::OpenFailed);
    PrintShortUsage();
}

void PrintHelp() {
    Print(Message::ShortUsage);
    Print(Message::LongUsage);
    Print(Message::HintLine);
    Write(
        "\n"
        "Converts one nvx whole slide, or a region of it, into an SVS-style pyramid TIFF.\n"
        "\n"
        "  nvx2svs SLIDE.nvx OUT.svs LAYERS\n"
        "  nvx2svs SLIDE.nvx OUT.svs LAYERS Scale x y Width Height\n"
        "\n"
        "  SLIDE.nvx  the slide; every '?' in an argument stands for a blank\n"
        "  OUT.svs    the output, written under a hidden temporary name and renamed when whole\n"
        "  LAYERS     pyramid levels, 1 to 9 (read as a number and truncated), each a\n"
        "             quarter of the one before; 1 gives two levels, as 2 does. The\n"
        "             slide's size caps the count: N levels need a shorter side of at\n"
        "             least 256 x 2^N pixels (2 levels always). A region always asks\n"
        "             for 9, capped the same way at 512 x 2^N\n"
        "  Scale x y Width Height\n"
        "             a region: its top-left corner and size as measured at magnification\n"
        "             Scale (0 < Scale <= 80); it is cut at the slide's edges\n"
        "  -h, --help   this text\n"
        "  --version    the versions of nvx2svs, libtiff and libjpeg-turbo\n"
        "\n"
        "Options (anywhere on the line; a lone -- ends them; --NAME VALUE or --NAME=VALUE):\n"
        "  --mpp X      the pixel size in microns (0 < X <= 1000), for a slide that records\n"
        "               none or a wrong one; the descriptions carry it and nothing is assumed\n"
        "  --no-label   leave the label picture out (it often carries the patient's name):\n"
        "               no label directory, and nothing of it is read from the slide. The\n"
        "               macro stays, and it often shows the label too: to de-identify a\n"
        "               slide give both --no-label and --no-macro\n"
        "  --no-macro   leave the macro picture out in the same way\n"
        "  --tiles copy every level that the slide stores at its size (full resolution,\n"
        "               and the reduced levels at 4, 16, 64 ... where the slide has them)\n"
        "               keeps the stored tiles byte for byte (YCbCr, at the stored\n"
        "               quality); its other tiles are encoded at that quality; a region\n"
        "               is converted as without it\n"
        "  --report FILE.json\n"
        "               at the end of the run, converted or not, a JSON report: status,\n"
        "               reason, levels, pixel size, options, times, peak memory, version\n"
        "  --threads N  use at most N CPUs (N >= 1); by default, and for a larger N, the\n"
        "               CPUs the process may use (its affinity mask and cgroup quota)\n"
        "  --quality Q  encode at JPEG quality Q (1 to 100) every level, the thumbnail, the\n"
        "               label and the macro (by default 60, and 75 on the small levels and\n"
        "               the thumbnail); a level copied by --tiles copy keeps its own\n"
        "  --chroma 420 the pyramid levels are YCbCr JPEG with 4:2:0 chroma subsampling\n"
        "               (smaller); a level copied by --tiles copy stays as stored\n"
        "  --format dicom\n"
        "               the output path names a folder of DICOM whole-slide instances\n"
        "               (one per level, the thumbnail, label and overview); needs the\n"
        "               slide's pixel size or --mpp, and the section's thickness\n"
        "               (--format tiff: the default)\n"
        "  --section-thickness UM\n"
        "               the thickness in microns of the section the DICOM instances\n"
        "               show (their imaged volume's depth), above 0 and at most 1000\n"
        "  --dicom-metadata FILE.json\n"
        "               the patient, study and specimen of the DICOM instances\n"
        "\n"
        "Exit status:\n"
        "  0    converted\n"
        "  1    the output file could not be created\n"
        "  -1   (255 in a POSIX shell) bad arguments, a slide that cannot be opened or\n"
        "       read, a region off the slide, or a conversion that lost data\n"
        "  128+N  stopped by signal N (130 for Ctrl-C)\n");
}

void PrintVersion(const std::string& program, const std::string& libtiff,
                  const std::string& libjpegTurbo) {
    Write("nvx2svs " + program + "\nlibtiff " + libtiff + "\nlibjpeg-turbo " + libjpegTurbo + "\n");
}

const char* InterruptedCause(int signal) {
    switch (signal) {
        case SIGINT:
            return "interrupted (SIGINT)";
        case SIGTERM:
            return "terminated (SIGTERM)";
#if defined(SIGHUP)
        case SIGHUP:
            return "the terminal went away (SIGHUP)";
#endif
#if defined(SIGQUIT)
        case SIGQUIT:
            return "quit (SIGQUIT)";
#endif
#if defined(SIGPIPE)
        case SIGPIPE:
            return "standard output was closed (SIGPIPE)";
#endif
#if defined(SIGXCPU)
        case SIGXCPU:
            return "the CPU time limit was reached (SIGXCPU)";
        case SIGUSR1:
            return "stopped (SIGUSR1)";
        case SIGUSR2:
            return "stopped (SIGUSR2)";
        case SIGALRM:
            return "a timer ran out (SIGALRM)";
        case SIGVTALRM:
            return "a timer ran out (SIGVTALRM)";
        case SIGPROF:
            return "a timer ran out (SIGPROF)";
#endif
    }
    return "stopped by a signal";
}

void AnnounceInterruption(int signal, bool published) {
    const char* const pieces[] = {
        "nvx2svs: ", InterruptedCause(signal),
        published ? "; the new output was already in place\n" : "; the output was not written\n"};
    for (const char* piece : pieces) {
#if defined(_WIN32)
        _write(2, piece, static_cast<unsigned>(std::strlen(piece)));
#else
        // Nothing can be done here if standard error is gone.
        [[maybe_unused]] const auto written = write(STDERR_FILENO, piece, std::strlen(piece));
#endif
    }
}

namespace {

// Our own diagnostics hold file names and system texts, which Windows gives
// in UTF-8 (as the program keeps them) and a GBK console must get as GBK.
// Elsewhere they are already in the locale's encoding.
std::string ForConsole(const std::string& text) {
#if defined(_WIN32)
    if (gUseGbk) return ToGbk(text.c_str());
#endif
    return text;
}

// Whether standard output and standard error reach the same place (one
// terminal, or one file as `>log 2>&1` makes), where a line on standard
// error lands after whatever standard output printed last.
bool OutputAndErrorShareAPlace() {
#if defined(_WIN32)
    return _isatty(_fileno(stdout)) && _isatty(_fileno(stderr));
#else
    struct stat out {};
    struct stat err {};
    return fstat(STDOUT_FILENO, &out) == 0 && fstat(STDERR_FILENO, &err) == 0 &&
           out.st_dev == err.st_dev && out.st_ino == err.st_ino;
#endif
}

// A diagnostic line on standard error, on a line of its own: where progress
// dots are open in the same place, their line is ended on standard error
// first, so that standard output keeps its bytes.
void Diagnostic(const char* prefix, const std::string& text) {
    std::fflush(stdout);
    if (gDotsOpen.exchange(false) && OutputAndErrorShareAPlace()) std::fputc('\n', stderr);
    std::fprintf(stderr, "%s%s\n", prefix, text.c_str());
    std::fflush(stderr);
}

}  // namespace

void Warn(const std::string& text) { Diagnostic("nvx2svs: warning: ", ForConsole(text)); }

void LibraryMessage(const std::string& text) { Diagnostic("", text); }

namespace {
std::mutex gFirstErrorLock;
std::string gFirstError;
bool gErrorSeen = false;
}  // namespace

void Error(const std::string& text) {
    {
        const std::lock_guard<std::mutex> hold(gFirstErrorLock);
        if (!gErrorSeen) gFirstError = text;
        gErrorSeen = true;
    }
    Diagnostic("nvx2svs: error: ", ForConsole(text));
}

std::string FirstErrorText() {
    const std::lock_guard<std::mutex> hold(gFirstErrorLock);
    return gFirstError;
}

namespace {

std::string FileTooLarge() {
#if !defined(_WIN32)
    struct rlimit limit {};
    if (getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
        return "the output would exceed this process's file size limit of " +
               std::to_string(static_cast<unsigned long long>(limit.rlim_cur)) +
               " bytes (ulimit -f)";
    }
#endif
    return "file too large";
}

}  // namespace

std::string ErrnoWords(int code) {
    switch (code) {
        case ENOSPC:
            return "the disk is full";
#if defined(EDQUOT)
        case EDQUOT:
            return "disk quota exceeded";
#endif
        case EIO:
            return "input/output error";
        case EROFS:
            return "read-only file system";
        case EFBIG:
            return FileTooLarge();
        case EAGAIN:
            return "resource temporarily unavailable";
        default:
            return std::strerror(code);
    }
}

std::string SystemErrorWords(int code) {
#if defined(_WIN32)
    // ERROR_DISK_QUOTA_EXCEEDED, which mingw-w64's headers lack.
    constexpr DWORD kDiskQuotaExceeded = 1295;
    switch (static_cast<DWORD>(code)) {
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
            return "the disk is full";
        case kDiskQuotaExceeded:
            return "disk quota exceeded";
        case ERROR_IO_DEVICE:
        case ERROR_CRC:
            return "input/output error";
        case ERROR_WRITE_PROTECT:
            return "read-only file system";
        case ERROR_FILE_TOO_LARGE:
            return FileTooLarge();
        default:
            return nvx::SystemErrorText(static_cast<unsigned long>(code));
    }
#else
    return ErrnoWords(code);
#endif
}

namespace {

const char* NumberArgumentName(NumberArgument argument) {
    switch (argument) {
        case NumberArgument::Layers:
            return "layer";
        case NumberArgument::Scale:
            return "Scale";
        case NumberArgument::X:
            return "x";
        case NumberArgument::Y:
            return "y";
        case NumberArgument::Width:
            return "Width";
        case NumberArgument::Height:
            return "Height";
    }
    return "argument";
}

std::string Quoted(const std::string& text) { return "'" + text + "'"; }

}  // namespace

void WarnLooseNumber(NumberArgument argument, const std::string& text, double value) {
    char number[64];
    std::snprintf(number, sizeof number, "%.15g", value);
    Warn(std::string(NumberArgumentName(argument)) + " " + Quoted(text) + " was read as " + number);
}

void ExplainArgumentCount(int given) {
    Error(std::to_string(given) + (given == 1 ? " argument was" : " arguments were") +
          " given; a whole-slide run takes 3 (SLIDE.nvx OUT.svs LAYERS) and a region 8 "
          "(SLIDE.nvx OUT.svs LAYERS Scale x y Width Height)");
}

namespace {

std::string ReportProblemText(ReportProblem problem, const std::string& detail) {
    switch (problem) {
        case ReportProblem::Unusable:
            break;
        case ReportProblem::NamesSlideOrOutput:
            return "it names the slide or the output";
        case ReportProblem::NamesMetadata:
            return "it names the DICOM metadata file";
        case ReportProblem::NamesAnotherArgument:
            return "it names a file that another argument names too";
        case ReportProblem::InsideDicomOutput:
            return "it lies inside the DICOM output folder " + Quoted(detail) +
                   ", which the run replaces";
        case ReportProblem::NotAReport:
            return "it holds something other than a report (a JSON object), and a report "
                   "replaces only an earlier report";
        case ReportProblem::Unreadable:
            return "it cannot be read to tell whether it holds an earlier report: " + detail;
    }
    return detail;
}

}  // namespace

void ExplainReportRefused(const std::string& path, ReportProblem problem,
                          const std::string& detail) {
    Error("--report " + Quoted(path) +
          " cannot take the report: " + ReportProblemText(problem, detail));
}

void ExplainReportNotWritten(const std::string& path, const std::string& why) {
    Error("the report " + Quoted(path) + " could not be written: " + why);
}

void ExplainOptionRefusal(OptionProblem problem, const std::string& name,
                          const std::string& value) {
    switch (problem) {
        case OptionProblem::Unknown:
            Error("unknown option " + Quoted(name) + " (nvx2svs --help lists the options)");
            return;
        case OptionProblem::MissingValue:
            Error("option " + name + " needs a value");
            return;
        case OptionProblem::GivenTwice:
            Error("option " + name + " is given twice");
            return;
        case OptionProblem::TakesNoValue:
            Error("option " + name + " takes no value");
            return;
        case OptionProblem::NeedsDicom:
            Error("option " + name + " needs --format dicom");
            return;
        case OptionProblem::BadValue:
            break;
    }
    // Only options that take a value get here.
    const char* rule = "";
    if (name == "--mpp") {
        rule = "a pixel size in microns above 0 (about 1.2e-38 at least) and at most 1000";
    }
    if (name == "--report") rule = "a file path";
    if (name == "--tiles") rule = "copy";
    if (name == "--threads") rule = "a whole number of CPUs, at least 1";
    if (name == "--quality") rule = "a JPEG quality, a whole number from 1 to 100";
    if (name == "--chroma") rule = "420";
    if (name == "--format") rule = "tiff or dicom";
    if (name == "--dicom-metadata") rule = "a file path";
    if (name == "--section-thickness") {
        rule = "a thickness in microns above 0 (about 1.2e-38 at least) and at most 1000";
    }
    Error(name + " " + Quoted(value) + " is not " + rule);
}

void ExplainArgumentRule(NumberArgument argument, const std::string& text) {
    const std::string given = Quoted(text);
    switch (argument) {
        case NumberArgument::Layers:
            Error("the layer count " + given + " is not a number from 1 to 9");
            return;
        case NumberArgument::Scale:
            Error("Scale " + given +
                  " is out of range: a region's Scale is above 0 and at most 80");
            return;
        case NumberArgument::Width:
        case NumberArgument::Height:
        case NumberArgument::X:
        case NumberArgument::Y:
            Error(std::string(NumberArgumentName(argument)) + " " + given +
                  " is below 0; it must be 0 or more");
            return;
    }
}

void ExplainRegionOffSlide(NumberArgument axis, const std::string& text, long long pixel,
                           int extent) {
    const bool isX = axis == NumberArgument::X;
    Error(std::string(isX ? "x " : "y ") + Quoted(text) + " lies at full-resolution pixel " +
          std::to_string(pixel) + ", beyond the slide's " + (isX ? "width" : "height") + " of " +
          std::to_string(extent) + " pixels; it must be below it");
}

void ExplainRegionEmpty(long long width, long long height) {
    Error("the region holds no pixel of the slide (" + std::to_string(width) + " x " +
          std::to_string(height) +
          " full-resolution pixels once cut at its edges); Width and Height must be above 0 "
          "and the region must reach the slide");
}

void ExplainLibraryNotLoaded(const std::string& fileName, const std::string& searchPath,
                             const std::string& searchError, const std::string& folder,
                             const std::string& folderError) {
#if defined(_WIN32)
    const char* searchVariable = "PATH";
    // The converter's folder is tried first, by its explicit path.
    const char* searched = "the converter's folder and the loader's search path";
#else
    const char* searchVariable = "LD_LIBRARY_PATH";
    const char* searched = "the converter's run path and the system's library folders";
#endif
    std::string text = "the slide library " + fileName + " could not be loaded: " + searchError;
    if (!folderError.empty() && folderError != searchError) text += "; " + folderError;
    text += " (looked in ";
    text += searchPath.empty() ? std::string(searchVariable) + " (not set)"
                               : std::string(searchVariable) + "=" + searchPath;
    text += ", " + std::string(searched);
    text += folder.empty() ? ", but the converter's own folder is unknown)"
                           : ", then in the converter's folder " + folder + ")";
    Error(text);
}

void ExplainEntryPointMissing(const std::string& library, const char* entryPoint) {
    Error("the slide library " + (library.empty() ? std::string("that was loaded") : library) +
          " has no entry point " + entryPoint);
}

void ExplainPathTooLong(std::size_t length, std::size_t limit) {
    Error("the input path is " + std::to_string(length) +
          " bytes long; the slide library takes paths of at most " + std::to_string(limit) +
          " bytes");
}

void ExplainInputProblem(InputProblem problem, const std::string& path, const std::string& detail) {
    const std::string input = "the input " + Quoted(path);
    switch (problem) {
        case InputProblem::Missing:
            Error(input + " does not exist");
            return;
        case InputProblem::Unreadable:
            Error(input + " cannot be read" + (detail.empty() ? "" : ": " + detail));
            return;
        case InputProblem::Folder:
            Error(input + " is a folder, not a slide file");
            return;
        case InputProblem::Fifo:
            Error(input + " is a FIFO (named pipe), not a slide file");
            return;
        case InputProblem::NotRegular:
            Error(input + " is not a regular file");
            return;
        case InputProblem::Refused:
            Error("the slide library refused " + Quoted(path) +
                  (detail.empty() ? " without giving a reason" : ": " + detail));
            return;
    }
}

void ExplainHeaderUnreadable(const std::string& path) {
    Error("the slide library could not read the header of " + Quoted(path));
}

void ExplainImplausibleMagnification(const std::string& path, int magnification, int lowest,
                                     int highest) {
    Error("the header of " + Quoted(path) + " gives a scan magnification of " +
          std::to_string(magnification) + "; a slide's magnification is from " +
          std::to_string(lowest) + " to " + std::to_string(highest));
}

void ExplainNoPixelSizeForDicom(const std::string& path) {
    Error("neither " + Quoted(path) +
          " nor --mpp gives the pixel size, which DICOM output must state; "
          "give it with --mpp");
}

void ExplainDicomMetadataRefused(const std::string& why) { Error(why); }

void ExplainNoSectionThicknessForDicom() {
    Error(
        "neither --section-thickness nor a --dicom-metadata file gives the section's "
        "thickness, which DICOM output must state; give it with --section-thickness");
}

void ExplainSectionThicknessDiffers(const std::string& metadataPath) {
    Error("--section-thickness and section_thickness_um in " + Quoted(metadataPath) +
          " give different thicknesses; give it once");
}

void WarnUsualMicronsPerPixel(float micronsPerPixel, int magnification) {
    // The value as the descriptions print it.
    char value[64];
    std::snprintf(value, sizeof value, "%f", static_cast<double>(micronsPerPixel));
    Warn(std::string("the slide records no pixel size; the descriptions say MPP = ") + value +
         ", the usual value at " + std::to_string(magnification) + "x");
}

}  // namespace nvx::console
