/*
 * slide_library.cpp - the binding to NvxSlideLib.
 *
 * One process-wide library handle, loaded before a lookup when it is empty
 * (a failed load is tried again at the next call) and released after the
 * slide has been closed. Entry points are resolved at every call and never
 * kept, so nothing can call into a library that has gone.
 */
#include "slide/slide_library.h"

#include <cstring>
#include <mutex>

#include "NvxSlideLib.h"
#include "slide/dynamic_library.h"

namespace nvx::slide {
namespace {

std::mutex gLibraryMutex;
LibraryHandle gLibrary;  // guarded by gLibraryMutex

// Looks an entry point up by name, loading the library first when needed.
// Null when the library or the entry point cannot be found.
template <typename Fn>
Fn Resolve(const char* name) {
    std::lock_guard<std::mutex> lock(gLibraryMutex);
    if (!gLibrary) gLibrary = LoadLibraryByName(SlideLibraryFileName());
    if (!gLibrary) return nullptr;
    return reinterpret_cast<Fn>(FindSymbol(gLibrary.get(), name));
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

bool OpenSlide(SlideHandle* slide, const char* path) {
    // The library receives the path in a zero-filled buffer of fixed size. A
    // path that does not fit is refused rather than cut: a shortened path
    // could name another file.
    char libraryPath[kLibraryPathBytes] = {};
    const std::size_t length = std::strlen(path);
    if (length >= sizeof libraryPath) return false;
    std::memcpy(libraryPath, path, length);
    auto open = Resolve<NvxOpenSlideFn>("NvxOpenSlide");
    return open != nullptr && open(slide, libraryPath) != 0;
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
