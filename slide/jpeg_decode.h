/*
 * jpeg_decode.h - decodes JPEG streams from the slide library into packed
 * 8-bit RGB with TurboJPEG: a JpegDecoder keeps one decompressor for all the
 * streams of one thread (a tile worker's tiles), the free functions make a
 * fresh one for a single stream (the associated pictures).
 */
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/turbo_jpeg.h"

namespace nvx::slide {

// One TurboJPEG decompressor, used by one thread at a time.
class JpegDecoder {
public:
    JpegDecoder();

    // Reads the stream's header. False when the header cannot be read.
    bool ReadSize(const std::uint8_t* stream, std::size_t length, JpegSize* size);

    // Decodes the stream into `pixels` (width * 3 bytes per row, no gap) when
    // its decoded size fits in `capacity` bytes. Returns false, leaving `size`
    // zero, when the header cannot be read, the picture does not fit, or
    // decoding fails.
    bool Decode(const std::uint8_t* stream, std::size_t length, std::uint8_t* pixels,
                std::size_t capacity, JpegSize* size);

private:
    TurboJpegHandle handle_;
};

// Reads the stream's header. False when the header cannot be read.
bool ReadJpegSize(const std::uint8_t* stream, std::size_t length, JpegSize* size);

// JpegDecoder::Decode with a decompressor of its own.
bool DecodeJpegToRgb(const std::uint8_t* stream, std::size_t length, std::uint8_t* pixels,
                     std::size_t capacity, JpegSize* size);

// Decodes into a vector sized from the stream's header.
bool DecodeJpegToRgb(const std::uint8_t* stream, std::size_t length,
                     std::vector<std::uint8_t>* pixels, JpegSize* size);

}  // namespace nvx::slide
