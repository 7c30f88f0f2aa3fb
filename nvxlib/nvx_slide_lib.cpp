/*
 * nvx_slide_lib.cpp - the exported entry points of libNvxSlideLib.so: the
 * eight of every slide library, the reason for a refused open, why a
 * fetch gave nothing and the slide's content digest.
 *
 * Each one is a thin shell: check the pointers, find the slide, call the
 * reader, hand the buffer over. Nothing may escape across the C interface,
 * so every body catches everything and reports no; the tile and region
 * fetches also note why, memory that ran out apart from everything else.
 */
#include "NvxSlideLib.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>

#include "nvxlib/handle_table.h"
#include "nvxlib/slide_reader.h"

using nvx::HandleTable;
using nvx::MallocBuffer;

namespace {

// Why the last open of this thread said no; empty after a successful open.
thread_local std::string tLastOpenFailure;

uint8_t RefuseOpen(const char* reason) {
    try {
        tLastOpenFailure = reason;
    } catch (...) {
    }
    return 0;
}

// Why the last tile or region fetch of this thread gave nothing. Trivial, so
// it needs no destruction when a caller's thread ends.
thread_local int32_t tLastFetchFailure = NVX_FETCH_DELIVERED;

// Runs one tile or region fetch and notes what became of it.
template <typename Fetch>
uint8_t NoteFetch(Fetch&& fetch) {
    uint8_t delivered = 0;
    try {
        delivered = fetch();
        tLastFetchFailure = delivered != 0 ? NVX_FETCH_DELIVERED : NVX_FETCH_UNREADABLE;
    } catch (const std::bad_alloc&) {
        tLastFetchFailure = NVX_FETCH_OUT_OF_MEMORY;
    } catch (...) {
        tLastFetchFailure = NVX_FETCH_UNREADABLE;
    }
    return delivered;
}

// Hands a buffer to the caller, who gives it back with NvxReleaseBuffer.
uint8_t HandOver(MallocBuffer buffer, uint8_t** out, int32_t* length) {
    if (!buffer) return 0;
    *length = static_cast<int32_t>(buffer.size);
    *out = buffer.data.release();
    return 1;
}

// A picture the slide records but that cannot be handed over (its checksum
// or frame is wrong, or there is no memory for it) is UNREADABLE, never NONE:
// the caller must not take a lost label for a slide without one.
uint8_t FetchPicture(NvxSlideHandle slide, bool label, uint8_t** buffer, int32_t* length,
                     int32_t* width, int32_t* height) {
    if (buffer) *buffer = nullptr;
    if (length) *length = 0;
    if (width) *width = 0;
    if (height) *height = 0;
    if (!buffer || !length || !width || !height) return NVX_PICTURE_NONE;
    std::shared_ptr<const nvx::SlideReader> reader;
    try {
        reader = HandleTable::Instance().Find(slide);
    } catch (...) {
        return NVX_PICTURE_NONE;
    }
    if (!reader) return NVX_PICTURE_NONE;
    try {
        nvx::Picture p = label ? reader->FetchLabel() : reader->FetchPreview();
        if (!p.recorded) return NVX_PICTURE_NONE;
        if (!p.stream) return NVX_PICTURE_UNREADABLE;
        *width = static_cast<int32_t>(p.width);
        *height = static_cast<int32_t>(p.height);
        HandOver(std::move(p.stream), buffer, length);
        return NVX_PICTURE_DELIVERED;
    } catch (...) {
        return NVX_PICTURE_UNREADABLE;
    }
}

}  // namespace

extern "C" {

NVX_API uint8_t NvxOpenSlide(NvxSlideHandle* slide, const char* path) {
    tLastOpenFailure.clear();
    if (slide == nullptr || path == nullptr) return RefuseOpen("no handle or no path given");
    try {
        std::string why;
        auto file = nvx::SlideFile::Open(path, &why);
        if (!file) return RefuseOpen(why.c_str());
        const int32_t handle =
            HandleTable::Instance().Add(std::make_shared<const nvx::SlideReader>(std::move(file)));
        if (handle == 0) return RefuseOpen("too many slides open");
        *slide = handle;
        return 1;
    } catch (...) {
        return RefuseOpen("out of memory");
    }
}

NVX_API uint8_t NvxQuerySlide(NvxSlideHandle slide, int32_t* height, int32_t* width,
                              int32_t* scanMagnification, float* auxFloat, double* auxDouble,
                              float* micronsPerPixel, int32_t* tileSize) {
    try {
        auto reader = HandleTable::Instance().Find(slide);
        if (!reader) return 0;
        const nvx::Header& h = reader->header();
        if (height) *height = static_cast<int32_t>(h.height);
        if (width) *width = static_cast<int32_t>(h.width);
        if (scanMagnification) *scanMagnification = static_cast<int32_t>(h.scanMagnification);
        if (auxFloat) *auxFloat = h.auxFloat;
        if (auxDouble) *auxDouble = h.auxDouble;
        if (micronsPerPixel) *micronsPerPixel = h.micronsPerPixel;
        if (tileSize) *tileSize = static_cast<int32_t>(h.tileSize);
        return 1;
    } catch (...) {
        return 0;
    }
}

NVX_API uint8_t NvxFetchTile(NvxSlideHandle* slide, float scale, int32_t x, int32_t y,
                             int32_t* length, uint8_t** buffer) {
    if (buffer) *buffer = nullptr;
    if (length) *length = 0;
    return NoteFetch([&]() -> uint8_t {
        if (!slide || !buffer || !length) return 0;
        auto reader = HandleTable::Instance().Find(*slide);
        if (!reader) return 0;
        return HandOver(reader->FetchTile(scale, x, y), buffer, length);
    });
}

NVX_API uint8_t NvxFetchRegion(NvxSlideHandle slide, float scale, int32_t x, int32_t y,
                               int32_t width, int32_t height, uint8_t** buffer, int32_t* length,
                               int32_t format) {
    if (buffer) *buffer = nullptr;
    if (length) *length = 0;
    return NoteFetch([&]() -> uint8_t {
        if (!buffer || !length) return 0;
        auto reader = HandleTable::Instance().Find(slide);
        if (!reader) return 0;
        return HandOver(reader->FetchRegion(scale, x, y, width, height, format), buffer, length);
    });
}

NVX_API uint8_t NvxFetchPreview(NvxSlideHandle slide, uint8_t** buffer, int32_t* length,
                                int32_t* width, int32_t* height) {
    return FetchPicture(slide, false, buffer, length, width, height);
}

NVX_API uint8_t NvxFetchLabel(NvxSlideHandle slide, uint8_t** buffer, int32_t* length,
                              int32_t* width, int32_t* height) {
    return FetchPicture(slide, true, buffer, length, width, height);
}

NVX_API void NvxReleaseBuffer(uint8_t* buffer) { std::free(buffer); }

NVX_API uint8_t NvxCloseSlide(NvxSlideHandle* slide) {
    if (slide == nullptr) return 0;
    try {
        return HandleTable::Instance().Remove(*slide) ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

NVX_API int32_t NvxOpenFailureReason(char* text, int32_t capacity) {
    const std::string& reason = tLastOpenFailure;
    if (text != nullptr && capacity > 0) {
        const size_t n = std::min(reason.size(), size_t(capacity) - 1);
        std::memcpy(text, reason.data(), n);
        text[n] = '\0';
    }
    return static_cast<int32_t>(std::min<size_t>(reason.size(), INT32_MAX));
}

NVX_API int32_t NvxLastFetchFailure(void) { return tLastFetchFailure; }

NVX_API int32_t NvxSlideDigest(NvxSlideHandle slide, uint8_t* digest, int32_t capacity) {
    if (digest == nullptr || capacity < NVX_DIGEST_BYTES) return NVX_DIGEST_BAD_ARGUMENT;
    try {
        auto reader = HandleTable::Instance().Find(slide);
        if (!reader) return NVX_DIGEST_NO_SLIDE;
        const auto value = reader->ContentDigest();
        if (!value) return NVX_DIGEST_FAILED;
        static_assert(sizeof *value == NVX_DIGEST_BYTES);
        std::memcpy(digest, value->data(), value->size());
        return NVX_DIGEST_DELIVERED;
    } catch (...) {
        return NVX_DIGEST_FAILED;
    }
}

}  // extern "C"
