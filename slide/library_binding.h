/*
 * library_binding.h - the converter's binding to the slide library NvxSlideLib.
 *
 * The library is loaded on first use and stays loaded until UnloadSlideLibrary
 * (after the slide has been closed). Its entry points are looked up once per
 * load, into a table kept with the library; a call whose entry point the
 * library lacks is skipped, and a skipped yes/no call counts as no. No call
 * may be under way when the library is unloaded.
 *
 * Each fetch hands back a LibraryBuffer that gives the library's buffer back
 * with NvxReleaseBuffer exactly once, when it goes out of scope (or earlier
 * through reset()), to the load of the library that made it: a buffer
 * still held at UnloadSlideLibrary keeps that load until it is given back,
 * and is never given to a later load. A fetch that yields nothing gives an
 * empty LibraryBuffer.
 *
 * Fetches and releases may run on many threads at once.
 */
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

namespace nvx::slide {

using SlideHandle = std::int32_t;

// The slide header, as NvxQuerySlide delivers it.
struct SlideInfo {
    std::int32_t height = 0;
    std::int32_t width = 0;
    std::int32_t scanMagnification = 0;
    float auxFloat = 0.0f;
    double auxDouble = 0.0;
    float micronsPerPixel = 0.0f;
    std::int32_t tileSize = 0;
};

// One load of the library: its handle and entry points (library_binding.cpp).
struct LoadedLibrary;

// Gives a library buffer back through the NvxReleaseBuffer of the load that
// made it, which it keeps loaded until then.
struct LibraryBufferRelease {
    std::shared_ptr<const LoadedLibrary> library;
    void operator()(std::uint8_t* buffer) const;
};
using LibraryBuffer = std::unique_ptr<std::uint8_t, LibraryBufferRelease>;

// Why a tile or region fetch gave nothing.
enum class FetchFailure {
    None,         // it gave a buffer
    Unreadable,   // the slide cannot give it (and a library that does not say why)
    OutOfMemory,  // the library ran out of memory making it (NVX_FETCH_OUT_OF_MEMORY)
};

// What a fetch returned: the buffer (empty when nothing came) and its length.
struct Fetched {
    LibraryBuffer buffer;
    std::int32_t length = 0;
    FetchFailure failure = FetchFailure::None;
};

// What a picture fetch found.
enum class PictureStatus {
    None,        // the slide has no such picture, or the library cannot fetch it
    Delivered,   // the buffer holds the picture's stream
    Unreadable,  // the slide has the picture, but it cannot be read
};

// What a picture fetch returned, with the size the library reported.
struct FetchedPicture {
    LibraryBuffer buffer;
    std::int32_t length = 0;
    std::int32_t width = 0;
    std::int32_t height = 0;
    PictureStatus status = PictureStatus::None;
};

// The size of the path buffer the library receives (zero-filled, NUL-terminated).
inline constexpr std::size_t kLibraryPathBytes = 256;

// Why an open said no.
enum class OpenFailure {
    None,
    PathTooLong,        // the path does not fit the library's path buffer
    LibraryNotLoaded,   // see LastLibraryLoadFailure()
    EntryPointMissing,  // the library has no NvxOpenSlide
    Refused,            // the library said no: see SlideLibraryRefusal()
};

// Opens a slide. Paths that do not fit the library's path buffer are refused.
// `why` (when given) says why the open said no.
bool OpenSlide(SlideHandle* slide, const char* path, OpenFailure* why = nullptr);

// The last failed load of the library: the loader's own reasons for the
// search by file name and for the load from the converter's folder.
struct LibraryLoadFailure {
    std::string fileName;     // the library's file name
    std::string searchPath;   // the loader's search path from the environment, maybe empty
    std::string searchError;  // the loader's reason for the search by file name
    std::string folder;       // the converter's folder; empty when unknown
    std::string folderError;  // the loader's reason for the load from that folder
};
LibraryLoadFailure LastLibraryLoadFailure();

// The file the loaded library came from; empty when none is loaded or the
// platform cannot tell.
std::string LoadedSlideLibraryPath();

// True when the library can be loaded and has the entry point.
bool SlideLibraryHas(const char* entryPoint);

// The library's own reason for the last open it refused on this thread,
// when the library can give one (NvxOpenFailureReason); empty otherwise.
std::string SlideLibraryRefusal();

// Reads the header; every value is zero unless the call succeeds.
bool QuerySlide(SlideHandle slide, SlideInfo* info);
// The stored JPEG tile with its top-left corner at (x, y) at the given scale.
// A fetch without a buffer says why, when the library can (NvxLastFetchFailure).
Fetched FetchTile(SlideHandle* slide, float scale, std::int32_t x, std::int32_t y);
// A rectangle at the given scale: format 0 packed RGB, format 1 one JPEG stream.
Fetched FetchRegion(SlideHandle slide, float scale, std::int32_t x, std::int32_t y,
                    std::int32_t width, std::int32_t height, std::int32_t format);
// The whole-slide photograph (JPEG) and the label photograph (JPEG). A
// buffer makes the picture Delivered whatever the library answered; without
// one it is Unreadable only when the library says so (NVX_PICTURE_UNREADABLE).
FetchedPicture FetchPreview(SlideHandle slide);
FetchedPicture FetchLabel(SlideHandle slide);
// What a digest of the slide's content came to.
enum class DigestStatus {
    Delivered,  // `bytes` holds it
    Missing,    // the library has no NvxSlideDigest (an older one) or cannot be loaded
    Refused,    // the library said no (no such slide, or it ran out of memory)
};
struct SlideDigest {
    std::array<std::uint8_t, 32> bytes{};
    DigestStatus status = DigestStatus::Missing;
};
// The library's digest of the slide's content (NvxSlideDigest): the same
// for the same content, different for different content.
SlideDigest DigestSlide(SlideHandle slide);
// Whether the loaded library has NvxSlideDigest, without making a digest.
bool HasSlideDigest();

// Closes the slide; yes only when the library says so.
bool CloseSlide(SlideHandle* slide);
// Unloads the library once no buffer of it is held; the next call loads it
// again.
void UnloadSlideLibrary();

}  // namespace nvx::slide
