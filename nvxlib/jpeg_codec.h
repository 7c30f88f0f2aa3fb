/*
 * jpeg_codec.h - JPEG decode and encode through TurboJPEG, with the
 * compressor and decompressor instances owned by RAII wrappers.
 *
 * Every decode has a decompressor of its own, made for that one stream: a
 * decompressor keeps the quantisation and Huffman tables of the streams it
 * has read, and a stream that leaves some out would take them (the check of
 * stored tiles refuses such streams first; this makes sure). Making one
 * costs well under a microsecond, against hundreds for decoding a tile.
 * Compressors are kept in a pool and lent to one call at a time; an
 * instance is never used by two threads at once.
 */
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "common/turbo_jpeg.h"
#include "nvxlib/malloc_buffer.h"

namespace nvx {

// Reads the frame size; nullopt when the stream has no valid header. Throws
// std::bad_alloc when memory runs out.
std::optional<JpegSize> JpegFrameSize(std::span<const uint8_t> stream);

// Decodes the whole stream into packed RGB at `out` (width*height*3 bytes),
// but only when its size is exactly `expected`; any libjpeg error or warning
// (truncated or corrupt data) counts as failure. Throws std::bad_alloc when
// memory runs out: no reason to take the tile for damaged.
bool DecodeJpegExact(std::span<const uint8_t> stream, JpegSize expected, uint8_t* out);

// Decodes a stream of any size up to maxPixels pixels into a new vector.
std::optional<std::vector<uint8_t>> DecodeJpeg(std::span<const uint8_t> stream, JpegSize& size,
                                               uint64_t maxPixels);

// Whether the whole stream decodes without error or warning; decoded at 1/8
// scale, which still reads every coefficient but needs 1/64 of the memory.
bool DecodesWhole(std::span<const uint8_t> stream, JpegSize& size);

// Encodes packed RGB (rows top down, no gaps) as a baseline JPEG without
// chroma subsampling: slides are judged by stain colour, and 4:2:0 moves
// the colour of small nuclei visibly.
MallocBuffer EncodeJpeg(const uint8_t* rgb, int width, int height, int quality);

}  // namespace nvx
