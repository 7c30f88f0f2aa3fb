/*
 * library_binding.cpp - the converter's binding to NvxSlideLib.
 *
 * One process-wide library handle, loaded before a lookup when it is empty
 * (a failed load is tried again at the next call) and released after the
 * slide has been closed. Entry points are resolved at every call and never
 * kept, so nothing can call into a library that has gone.
 *
 * The library is searched for by file name first; when that finds nothing
 * it is loaded by its explicit path in the converter's own folder, which
 * also works when a sanitizer or a wrapper has taken the loader's search
 * from us.
 */
#include "slide/library_binding.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "NvxSlideLib.h"
#include "slide/dynamic_library.h"

namespace nvx::slide {
namespace {

std::mutex gLibraryMutex;
LibraryHandle gLibrary;               // guarded by gLibraryMutex
LibraryLoadFailure gLastLoadFailure;  // guarded by gLibraryMutex

// Loads the library into gLibrary; on failure records why. Lock held.
void LoadLocked() {
    LibraryLoadFailure failure;
    failure.fileName = SlideLibraryFileName();
    gLibrary = LoadLibraryByName(SlideLibraryFileName(), &failure.searchError);
    if (!gLibrary) {
        failure.folder = ExecutableFolder();
        if (!failure.folder.empty())
            gLibrary = LoadLibraryByPath(PathInFolder(failure.folder, SlideLibraryFileName()),
                                         &failure.folderError);
    }
    if (gLibrary) return;
    failure.searchPath = LoaderSearchPath();
    gLastLoadFailure = std::move(failure);
}

// Looks an entry point up by name, loading the library first when needed.
// Null when the library or the entry point cannot be found.
template <typename Fn>
Fn Resolve(const char* name) {
    std::lock_guard<std::mutex> lock(gLibraryMutex);
    if (!gLibrary) LoadLocked();
    if (!gLibrary) return nullptr;
    return reinterpret_cast<Fn>(FindSymbol(gLibrary.get(), name));
}

bool LibraryLoaded() {
    std::lock_guard<std::mutex> lock(gLibraryMutex);
    return gLibrary != nullptr;
}

FetchedPicture FetchPicture(const char* entryPoint, SlideHandle slide) {
    FetchedPicture picture;
    auto fetch = Resolve<NvxFetchPictureFn>(entryPoint);
    if (fetch == nullptr) return picture;
    std::uint8_t* buffer = nullptr;
    fetch(slide, &buffer, &picture.length, &picture.width, &picture.height);
    picture.buffer.reset(buffer);
    if (!picture.buffer) picture.length = 0;
    return picture;
}

}  // namespace

void LibraryBufferRelease::operator()(std::uint8_t* buffer) const {
    if (buffer == nullptr) return;
    // A release entry point that cannot be found leaves the buffer with the library.
    if (auto release = Resolve<NvxReleaseBufferFn>("NvxReleaseBuffer")) release(buffer);
}

bool OpenSlide(SlideHandle* slide, const char* path, OpenFailure* why) {
    const auto fail = [why](OpenFailure failure) {
        if (why) *why = failure;
        return false;
    };
    if (why) *why = OpenFailure::None;
    // The library receives the path in a zero-filled buffer of fixed size. A
    // path that does not fit is refused rather than cut: a shortened path
    // could name another file.
    char libraryPath[kLibraryPathBytes] = {};
    const std::size_t length = std::strlen(path);
    if (length >= sizeof libraryPath) return fail(OpenFailure::PathTooLong);
    std::memcpy(libraryPath, path, length);
    auto open = Resolve<NvxOpenSlideFn>("NvxOpenSlide");
    if (open == nullptr)
        return fail(LibraryLoaded() ? OpenFailure::EntryPointMissing
                                    : OpenFailure::LibraryNotLoaded);
    if (open(slide, libraryPath) == 0) return fail(OpenFailure::Refused);
    return true;
}

LibraryLoadFailure LastLibraryLoadFailure() {
    std::lock_guard<std::mutex> lock(gLibraryMutex);
    return gLastLoadFailure;
}

std::string LoadedSlideLibraryPath() {
    std::lock_guard<std::mutex> lock(gLibraryMutex);
    return gLibrary ? LoadedLibraryPath(gLibrary.get()) : std::string();
}

bool SlideLibraryHas(const char* entryPoint) { return Resolve<void*>(entryPoint) != nullptr; }

std::string SlideLibraryRefusal() {
    // Not one of the eight entry points every slide library has: a library
    // without it simply gives no reason.
    auto reason = Resolve<NvxOpenFailureReasonFn>("NvxOpenFailureReason");
    if (reason == nullptr) return {};
    char text[512] = {};
    const int32_t length = reason(text, int32_t(sizeof text));
    if (length <= 0) return {};
    return std::string(text, std::min<std::size_t>(std::size_t(length), std::strlen(text)));
}

bool QuerySlide(SlideHandle slide, SlideInfo* info) {
    *info = SlideInfo{};
    auto query = Resolve<NvxQuerySlideFn>("NvxQuerySlide");
    return query != nullptr &&
           query(slide, &info->height, &info->width, &info->scanMagnification, &info->auxFloat,
                 &info->auxDouble, &info->micronsPerPixel, &info->tileSize) != 0;
}

Fetched FetchTile(SlideHandle* slide, float scale, std::int32_t x, std::int32_t y) {
    Fetched fetched;
    auto fetch = Resolve<NvxFetchTileFn>("NvxFetchTile");
    if (fetch == nullptr) return fetched;
    std::uint8_t* buffer = nullptr;
    fetch(slide, scale, x, y, &fetched.length, &buffer);
    fetched.buffer.reset(buffer);
    if (!fetched.buffer) fetched.length = 0;
    return fetched;
}

Fetched FetchRegion(SlideHandle slide, float scale, std::int32_t x, std::int32_t y,
                    std::int32_t width, std::int32_t height, std::int32_t format) {
    Fetched fetched;
    auto fetch = Resolve<NvxFetchRegionFn>("NvxFetchRegion");
    if (fetch == nullptr) return fetched;
    std::uint8_t* buffer = nullptr;
    fetch(slide, scale, x, y, width, height, &buffer, &fetched.length, format);
    fetched.buffer.reset(buffer);
    if (!fetched.buffer) fetched.length = 0;
    return fetched;
}

FetchedPicture FetchPreview(SlideHandle slide) { return FetchPicture("NvxFetchPreview", slide); }

FetchedPicture FetchLabel(SlideHandle slide) { return FetchPicture("NvxFetchLabel", slide); }

bool CloseSlide(SlideHandle* slide) {
    auto close = Resolve<NvxCloseSlideFn>("NvxCloseSlide");
    return close != nullptr && close(slide) != 0;
}

void UnloadSlideLibrary() {
    LibraryHandle library;
    {
        std::lock_guard<std::mutex> lock(gLibraryMutex);
        library = std::move(gLibrary);
    }
    // Released outside the lock: the library's own teardown may take time.
}

}  // namespace nvx::slide
