/*
 * open_failure.cpp - what the converter can find out about a failed open.
 * The input is examined only after the library said no, so that a slide the
 * library opens is never second-guessed.
 */
#include "cli/open_failure.h"

#include <filesystem>
#include <system_error>

#include "cli/console.h"
#include "common/native_file.h"

namespace nvx::cli {
namespace {

// What is wrong with the input as a file, if anything; `detail` gets the
// system's reason where there is one.
bool FindInputProblem(const std::string& path, console::InputProblem* problem,
                      std::string* detail) {
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::file_status status = fs::status(NativePath(path), error);
    if (status.type() == fs::file_type::not_found) {
        *problem = console::InputProblem::Missing;
        return true;
    }
    if (error) {
        *problem = console::InputProblem::Unreadable;
        *detail = error.message();
        return true;
    }
    switch (status.type()) {
        case fs::file_type::regular:
            break;
        case fs::file_type::directory:
            *problem = console::InputProblem::Folder;
            return true;
        case fs::file_type::fifo:
            *problem = console::InputProblem::Fifo;
            return true;
        default:
            *problem = console::InputProblem::NotRegular;
            return true;
    }
    ReadOnlyFile file;
    if (!file.Open(path.c_str(), detail)) {
        *problem = console::InputProblem::Unreadable;
        return true;
    }
    return false;
}

}  // namespace

void ExplainOpenFailure(const std::string& path, slide::OpenFailure why) {
    switch (why) {
        case slide::OpenFailure::None:
            return;
        case slide::OpenFailure::PathTooLong:
            console::ExplainPathTooLong(path.size(), slide::kLibraryPathBytes - 1);
            return;
        case slide::OpenFailure::LibraryNotLoaded: {
            const slide::LibraryLoadFailure f = slide::LastLibraryLoadFailure();
            console::ExplainLibraryNotLoaded(f.fileName, f.searchPath, f.searchError, f.folder,
                                             f.folderError);
            return;
        }
        case slide::OpenFailure::EntryPointMissing:
            console::ExplainEntryPointMissing(slide::LoadedSlideLibraryPath(), "NvxOpenSlide");
            return;
        case slide::OpenFailure::Refused:
            break;
    }
    console::InputProblem problem = console::InputProblem::Refused;
    std::string detail;
    if (!FindInputProblem(path, &problem, &detail)) detail = slide::SlideLibraryRefusal();
    console::ExplainInputProblem(problem, path, detail);
}

void ExplainQueryFailure(const std::string& path) {
    if (!slide::SlideLibraryHas("NvxQuerySlide"))
        console::ExplainEntryPointMissing(slide::LoadedSlideLibraryPath(), "NvxQuerySlide");
    else
        console::ExplainHeaderUnreadable(path);
}

}  // namespace nvx::cli
