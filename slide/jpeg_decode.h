/*
 * jpeg_decode.h - decodes JPEG streams from the slide library into packed
 * 8-bit RGB with TurboJPEG.
 *
 * Each stream is read by a decompressor made for it alone: a decompressor
 * keeps the quantisation and Huffman tables of the streams it has read, and
 * a stream that leaves some out would decode with another stream's tables.
 * Making one costs well under a microsecond; decoding a tile, hundreds.
 */
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/turbo_jpeg.h"

namespace nvx::slide {

// Why a decode gave no pixels.
enum class DecodeFailure {
    None,
    Unreadable,   // no header, a picture that does not fit, or a stream that does not decode
    OutOfMemory,  // TurboJPEG could not get the memory it needs
};

// Decodes the stream into `pixels` (width * 3 bytes per row, no gap) when
// its decoded size fits in `capacity` bytes. Returns false, leaving `size`
// zero, when the header cannot be read, the picture does not fit, or
// decoding fails; `failure` (when given) says which of the two it was.
bool DecodeJpegToRgb(const std::uint8_t* stream, std::size_t length, std::uint8_t* pixels,
                     std::size_t capacity, JpegSize* size, DecodeFailure* failure = nullptr);

}  // namespace nvx::slide
