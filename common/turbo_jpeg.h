/*
 * turbo_jpeg.h - the TurboJPEG pieces the converter and the slide library
 * both use: a stream's frame size, an owned TurboJPEG instance, reading a
 * header, decoding a whole stream into packed 8-bit RGB, and telling memory
 * that ran out from a stream that does not decode.
 *
 * Header only: the converter and the library are separate binaries, and
 * each compiles these few lines into itself.
 */
#pragma once

#include <turbojpeg.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

namespace nvx {

struct JpegSize {
    int width = 0;
    int height = 0;
};

struct TurboJpegDestroy {
    void operator()(void* handle) const noexcept { tjDestroy(handle); }
};
// A TurboJPEG compressor or decompressor, destroyed with its owner.
using TurboJpegHandle = std::unique_ptr<void, TurboJpegDestroy>;

// Streams longer than this are refused: TurboJPEG takes lengths as unsigned
// long, which Windows keeps at 32 bits.
inline constexpr std::size_t kMaxJpegStreamLength = 0x7fffffff;

// Reads the frame size from the stream's header into `size`. False, leaving
// `size` as it was, without a handle or stream, or when the header does not
// read or gives a side of zero.
inline bool ReadJpegHeader(tjhandle handle, const std::uint8_t* stream, std::size_t length,
                           JpegSize* size) {
    if (handle == nullptr || stream == nullptr || length == 0 || length > kMaxJpegStreamLength)
        return false;
    int width = 0, height = 0, subsampling = 0, colorspace = 0;
    if (tjDecompressHeader3(handle, stream, static_cast<unsigned long>(length), &width, &height,
                            &subsampling, &colorspace) != 0)
        return false;
    if (width <= 0 || height <= 0) return false;
    *size = JpegSize{width, height};
    return true;
}

// Decodes the stream into packed RGB at `out` (size.width * 3 bytes a row, no
// gap), scaled to `size` if that is one of TurboJPEG's scaled sizes. `flags`
// are TurboJPEG's (TJFLAG_STOPONWARNING makes a warning a failure).
inline bool DecodeJpegRgb(tjhandle handle, const std::uint8_t* stream, std::size_t length,
                          JpegSize size, std::uint8_t* out, int flags) {
    return tjDecompress2(handle, stream, static_cast<unsigned long>(length), out, size.width, 0,
                         size.height, TJPF_RGB, flags) == 0;
}

// Whether the last call that failed on `handle` (or, without one, the last
// tjInit* that gave none) ran out of memory. TurboJPEG has no code for it,
// only the text: libjpeg's JERR_OUT_OF_MEMORY ("Insufficient memory (case
// N)") or its own ("...: Memory allocation failure").
inline bool TurboJpegRanOutOfMemory(tjhandle handle) {
    const char* text = tjGetErrorStr2(handle);
    return text != nullptr && (std::strstr(text, "Insufficient memory") != nullptr ||
                               std::strstr(text, "Memory allocation failure") != nullptr);
}

}  // namespace nvx
