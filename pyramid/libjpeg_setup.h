/*
 * libjpeg_setup.h - how the pyramid writer sets up libjpeg beside its
 * error jump (common/libjpeg_errors.h): compressed streams written into a
 * std::vector, and the settings of every output tile (those of libtiff's
 * own JPEG codec for an RGB image). The tile encoder and the DCT
 * transcoder share it, so their tiles and the directory's JPEGTables
 * agree.
 */
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "common/libjpeg_errors.h"

namespace nvx::pyramid {

// A destination that fills a std::vector from its start, growing it when
// full; `used` bytes of it hold the stream at the end. The vector keeps its
// size between streams, so a compressor reuses one buffer for all its tiles.
struct VectorDestination {
    jpeg_destination_mgr manager;
    std::vector<std::uint8_t>* stream;
    std::size_t used;
};

// Streams of `info` go into `stream` through `destination`.
void WriteInto(jpeg_compress_struct* info, VectorDestination* destination,
               std::vector<std::uint8_t>* stream);

// The settings of libtiff's JPEG codec for an RGB image at `quality`: RGB
// kept as RGB (component ids R, G, B), every component 1x1 with
// quantisation and Huffman table 0, the standard Huffman tables, no markers
// beyond the frame. With `chroma420`, those for a YCbCr image with
// YCbCrSubsampling 2 2 fed RGB (libtiff's JPEGCOLORMODE_RGB): RGB input
// turned into YCbCr (component ids 1, 2, 3), Y sampled 2x2 with tables 0,
// Cb and Cr 1x1 with tables 1. Unlike libtiff's, the quantisation steps are
// held to baseline's eight bits at every quality (libjpeg's
// force_baseline): below quality 24 some would pass 255, which makes 16-bit
// tables and an extended (SOF1) frame that a baseline reader refuses; from
// 24 up nothing changes.
void ConfigureOutputTiles(jpeg_compress_struct* info, int quality, bool chroma420 = false);

}  // namespace nvx::pyramid
