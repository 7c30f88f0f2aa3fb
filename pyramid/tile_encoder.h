/*
 * tile_encoder.h - JPEG-encodes the pyramid levels' tiles outside libtiff
 * (the associated pictures' strips still go through libtiff's codec), the
 * way libtiff's own JPEG codec would with its default settings: baseline,
 * RGB without colour transform (component ids R, G, B, 1x1 sampling), the
 * standard quantisation tables scaled for the quality and the standard
 * Huffman tables, no JFIF or Adobe marker. A tile is an abbreviated stream;
 * its tables stand once in the directory's JPEGTables (TablesFor). A 4:2:0
 * encoder makes what libtiff's codec makes of RGB pixels for a YCbCr
 * directory with YCbCrSubsampling 2 2: libjpeg's own colour conversion and
 * 2x2 downsampling, component ids 1, 2, 3, luminance and chrominance tables.
 *
 * One encoder per thread: it keeps its libjpeg state between tiles.
 */
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace nvx::pyramid {

class TileEncoder {
public:
    explicit TileEncoder(int quality, bool chroma420 = false);
    ~TileEncoder();
    TileEncoder(const TileEncoder&) = delete;
    TileEncoder& operator=(const TileEncoder&) = delete;

    // Encodes width x height packed RGB pixels (rows width * 3 bytes apart)
    // into `stream`, replacing what it held. False when libjpeg refuses;
    // throws std::bad_alloc when memory runs out.
    bool Encode(const std::uint8_t* rgb, int width, int height, std::vector<std::uint8_t>* stream);

    // libjpeg's state; it lives on the heap so that it survives a jump back
    // from libjpeg's error exit.
    struct State;

private:
    std::unique_ptr<State> state_;
};

// Hands over to `stream` what a codec wrote into its `buffer` (the first
// `used` bytes). A buffer of up to kKeptStreamBuffer stays with the codec
// for its next tile and the stream is copied out; a larger one (a large
// tile's) becomes the stream, so that no codec keeps a large tile's worth
// of bytes between tiles.
inline constexpr std::size_t kKeptStreamBuffer = 1024 * 1024;
void HandOverStream(std::vector<std::uint8_t>* buffer, std::size_t used,
                    std::vector<std::uint8_t>* stream);

// The tables-only stream (SOI, DQT, DHT, EOI) that belongs in JPEGTables of a
// directory whose tiles TileEncoder(quality, chroma420) made. Empty when
// libjpeg refuses.
std::vector<std::uint8_t> TablesFor(int quality, bool chroma420 = false);

// Encodes width x height packed RGB pixels into `stream` as a complete
// baseline YCbCr stream without subsampling, with its own tables: a tile of
// a directory whose other tiles are stored streams copied as they are. False
// when libjpeg refuses; throws std::bad_alloc when memory runs out.
bool EncodeCompleteYCbCr(const std::uint8_t* rgb, int width, int height, int quality,
                         std::vector<std::uint8_t>* stream);

}  // namespace nvx::pyramid
