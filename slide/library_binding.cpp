/*
 * library_binding.cpp - the converter's binding to NvxSlideLib.
 *
 * One process-wide loaded library: its handle and a table of its entry
 * points, each looked up once when the library is loaded (null for one the
 * library lacks). It is loaded on first use (a failed load is tried again
 * at the next call) and released by UnloadSlideLibrary.
 *
 * Calls read the table without a lock. What keeps them safe is the order of
 * a run: SlideSession closes the slide, after every worker that fetched from
 * it has ended, and only then unloads the library (slide_session.cpp). A
 * buffer shares the ownership of its load, so one given back after the
 * unload goes to the library that made it, which is unloaded only then;
 * the release never loads the library.
 *
 * The library is searched for by file name first; when that finds nothing
 * it is loaded by its explicit path in the converter's own folder, which
 * also works when a sanitizer or a wrapper has taken the loader's search
 * from us.
 */
#include "slide/library_binding.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>

#include "NvxSlideLib.h"
#include "slide/dynamic_library.h"

namespace nvx::slide {
namespace {

// The entry points of the loaded library; null for one it lacks.
struct EntryPoints {
    NvxOpenSlideFn openSlide = nullptr;
    NvxQuerySlideFn querySlide = nullptr;
    NvxFetchTileFn fetchTile = nullptr;
    NvxFetchRegionFn fetchRegion = nullptr;
    NvxFetchPictureFn fetchPreview = nullptr;
    NvxFetchPictureFn fetchLabel = nullptr;
    NvxReleaseBufferFn releaseBuffer = nullptr;
    NvxCloseSlideFn closeSlide = nullptr;
    NvxOpenFailureReasonFn openFailureReason = nullptr;  // not every library has it
    NvxLastFetchFailureFn lastFetchFailure = nullptr;    // nor this
    NvxSlideDigestFn slideDigest = nullptr;              // nor this
};

}  // namespace

struct LoadedLibrary : std::enable_shared_from_this<LoadedLibrary> {
    LibraryHandle handle;
    EntryPoints entries;
};

namespace {

std::mutex gLibraryMutex;                     // loads and unloads
std::shared_ptr<LoadedLibrary> gLibrary;      // guarded by gLibraryMutex
LibraryLoadFailure gLastLoadFailure;          // guarded by gLibraryMutex
std::atomic<const LoadedLibrary*> gLoaded{};  // gLibrary while it is loaded

template <typename Fn>
Fn Find(void* handle, const char* name) {
    return reinterpret_cast<Fn>(FindSymbol(handle, name));
}

// Loads the library into gLibrary and fills its table; on failure records
// why. Lock held.
void LoadLocked() {
    LibraryLoadFailure failure;
    failure.fileName = SlideLibraryFileName();
    LibraryHandle handle = LoadLibraryByName(SlideLibraryFileName(), &failure.searchError);
    if (!handle) {
        failure.folder = ExecutableFolder();
        if (!failure.folder.empty())
            handle = LoadLibraryByPath(PathInFolder(failure.folder, SlideLibraryFileName()),
                                       &failure.folderError);
    }
    if (!handle) {
        failure.searchPath = LoaderSearchPath();
        gLastLoadFailure = std::move(failure);
        return;
    }
    auto library = std::make_shared<LoadedLibrary>();
    EntryPoints& e = library->entries;
    void* h = handle.get();
    e.openSlide = Find<NvxOpenSlideFn>(h, "NvxOpenSlide");
    e.querySlide = Find<NvxQuerySlideFn>(h, "NvxQuerySlide");
    e.fetchTile = Find<NvxFetchTileFn>(h, "NvxFetchTile");
    e.fetchRegion = Find<NvxFetchRegionFn>(h, "NvxFetchRegion");
    e.fetchPreview = Find<NvxFetchPictureFn>(h, "NvxFetchPreview");
    e.fetchLabel = Find<NvxFetchPictureFn>(h, "NvxFetchLabel");
    e.releaseBuffer = Find<NvxReleaseBufferFn>(h, "NvxReleaseBuffer");
    e.closeSlide = Find<NvxCloseSlideFn>(h, "NvxCloseSlide");
    e.openFailureReason = Find<NvxOpenFailureReasonFn>(h, "NvxOpenFailureReason");
    e.lastFetchFailure = Find<NvxLastFetchFailureFn>(h, "NvxLastFetchFailure");
    e.slideDigest = Find<NvxSlideDigestFn>(h, "NvxSlideDigest");
    library->handle = std::move(handle);
    gLibrary = std::move(library);
    gLoaded.store(gLibrary.get(), std::memory_order_release);
}

// The loaded library, loading it first when needed. Null when the library
// cannot be loaded.
const LoadedLibrary* Loaded() {
    if (const LoadedLibrary* library = gLoaded.load(std::memory_order_acquire)) return library;
    std::lock_guard<std::mutex> lock(gLibraryMutex);
    if (!gLibrary) LoadLocked();
    return gLibrary.get();
}

const EntryPoints* Entries() {
    const LoadedLibrary* library = Loaded();
    return library != nullptr ? &library->entries : nullptr;
}

// One entry point of the table; null when the library or the entry point is missing.
template <typename Fn>
Fn Entry(Fn EntryPoints::*member) {
    const EntryPoints* entries = Entries();
    return entries != nullptr ? entries->*member : nullptr;
}

// Takes `buffer` from `library`, to be given back to it.
LibraryBuffer Owned(const LoadedLibrary& library, std::uint8_t* buffer) {
    if (buffer == nullptr) return {};
    return LibraryBuffer(buffer, LibraryBufferRelease{library.shared_from_this()});
}

bool LibraryLoaded() {
    std::lock_guard<std::mutex> lock(gLibraryMutex);
    return gLibrary != nullptr;
}

// Takes the buffer of a tile or region fetch of `library` that has just
// returned on this thread, and when there is none, asks the library why.
void Receive(const LoadedLibrary& library, std::uint8_t* buffer, Fetched* fetched) {
    fetched->buffer = Owned(library, buffer);
    if (fetched->buffer) {
        fetched->failure = FetchFailure::None;
        return;
    }
    fetched->length = 0;
    auto why = library.entries.lastFetchFailure;
    fetched->failure = why != nullptr && why() == NVX_FETCH_OUT_OF_MEMORY
                           ? FetchFailure::OutOfMemory
                           : FetchFailure::Unreadable;
}

// A tile or region fetch through the entry point `entryPoint`, which
// `call` calls with the buffer and length to fill.
template <typename Fn, typename Call>
Fetched FetchThrough(Fn EntryPoints::*entryPoint, const Call& call) {
    Fetched fetched;
    fetched.failure = FetchFailure::Unreadable;
    const LoadedLibrary* library = Loaded();
    const Fn fetch = library != nullptr ? library->entries.*entryPoint : nullptr;
    if (fetch == nullptr) return fetched;
    std::uint8_t* buffer = nullptr;
    call(fetch, &buffer, &fetched.length);
    Receive(*library, buffer, &fetched);
    return fetched;
}

FetchedPicture FetchPicture(NvxFetchPictureFn EntryPoints::*entryPoint, SlideHandle slide) {
    FetchedPicture picture;
    const LoadedLibrary* library = Loaded();
    auto fetch = library != nullptr ? library->entries.*entryPoint : nullptr;
    if (fetch == nullptr) return picture;
    std::uint8_t* buffer = nullptr;
    const std::uint8_t answer =
        fetch(slide, &buffer, &picture.length, &picture.width, &picture.height);
    picture.buffer = Owned(*library, buffer);
    if (picture.buffer) {
        picture.status = PictureStatus::Delivered;
    } else {
        picture.length = 0;
        if (answer == NVX_PICTURE_UNREADABLE) picture.status = PictureStatus::Unreadable;
    }
    return picture;
}

}  // namespace

void LibraryBufferRelease::operator()(std::uint8_t* buffer) const {
    if (buffer == nullptr || library == nullptr) return;
    // A release entry point that cannot be found leaves the buffer with the library.
    if (auto release = library->entries.releaseBuffer) release(buffer);
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
    auto open = Entry(&EntryPoints::openSlide);
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
    return gLibrary ? LoadedLibraryPath(gLibrary->handle.get()) : std::string();
}

bool SlideLibraryHas(const char* entryPoint) {
    if (Entries() == nullptr) return false;
    std::lock_guard<std::mutex> lock(gLibraryMutex);
    return gLibrary && FindSymbol(gLibrary->handle.get(), entryPoint) != nullptr;
}

std::string SlideLibraryRefusal() {
    // Not one of the eight entry points every slide library has: a library
    // without it simply gives no reason.
    auto reason = Entry(&EntryPoints::openFailureReason);
    if (reason == nullptr) return {};
    char text[512] = {};
    const int32_t length = reason(text, int32_t(sizeof text));
    if (length <= 0) return {};
    return std::string(text, std::min<std::size_t>(std::size_t(length), std::strlen(text)));
}

bool QuerySlide(SlideHandle slide, SlideInfo* info) {
    *info = SlideInfo{};
    auto query = Entry(&EntryPoints::querySlide);
    return query != nullptr &&
           query(slide, &info->height, &info->width, &info->scanMagnification, &info->auxFloat,
                 &info->auxDouble, &info->micronsPerPixel, &info->tileSize) != 0;
}

Fetched FetchTile(SlideHandle* slide, float scale, std::int32_t x, std::int32_t y) {
    return FetchThrough(&EntryPoints::fetchTile,
                        [&](NvxFetchTileFn fetch, std::uint8_t** buffer, std::int32_t* length) {
                            fetch(slide, scale, x, y, length, buffer);
                        });
}

Fetched FetchRegion(SlideHandle slide, float scale, std::int32_t x, std::int32_t y,
                    std::int32_t width, std::int32_t height, std::int32_t format) {
    return FetchThrough(&EntryPoints::fetchRegion,
                        [&](NvxFetchRegionFn fetch, std::uint8_t** buffer, std::int32_t* length) {
                            fetch(slide, scale, x, y, width, height, buffer, length, format);
                        });
}

FetchedPicture FetchPreview(SlideHandle slide) {
    return FetchPicture(&EntryPoints::fetchPreview, slide);
}

FetchedPicture FetchLabel(SlideHandle slide) {
    return FetchPicture(&EntryPoints::fetchLabel, slide);
}

SlideDigest DigestSlide(SlideHandle slide) {
    SlideDigest digest;
    auto make = Entry(&EntryPoints::slideDigest);
    if (make == nullptr) return digest;
    static_assert(std::tuple_size_v<decltype(digest.bytes)> == NVX_DIGEST_BYTES);
    if (make(slide, digest.bytes.data(), NVX_DIGEST_BYTES) == NVX_DIGEST_DELIVERED) {
        digest.status = DigestStatus::Delivered;
    } else {
        digest.bytes = {};
        digest.status = DigestStatus::Refused;
    }
    return digest;
}

bool HasSlideDigest() { return Entry(&EntryPoints::slideDigest) != nullptr; }

bool CloseSlide(SlideHandle* slide) {
    auto close = Entry(&EntryPoints::closeSlide);
    return close != nullptr && close(slide) != 0;
}

void UnloadSlideLibrary() {
    std::shared_ptr<LoadedLibrary> library;
    {
        std::lock_guard<std::mutex> lock(gLibraryMutex);
        gLoaded.store(nullptr, std::memory_order_release);
        library = std::move(gLibrary);
    }
    // Released outside the lock: the library's own teardown may take time.
    // No call is under way (see the top of this file); buffers still held
    // keep the library until the last of them is given back.
}

}  // namespace nvx::slide
