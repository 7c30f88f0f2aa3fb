/*
 * tile_worker.h - what one worker of a pyramid level does with each tile it
 * takes: fetches the tile's pixels from the slide library, lays them out as
 * a whole tile and JPEG-encodes it. A worker keeps its own libjpeg encoder
 * and DCT transcoder for all its tiles, and decodes each stored stream with
 * a decompressor made for it; the pixel buffers of a tile are taken when
 * the tile is made and given up when it is encoded.
 *
 * A tile comes by one of two routes: in region mode a raw RGB rectangle
 * (NvxFetchRegion), in whole-slide mode a stored JPEG tile (NvxFetchTile)
 * decoded to RGB. Both end in the same padding and encoding. A stored tile
 * of exactly the tile size that the worker's DCT transcoder takes (baseline
 * YCbCr without subsampling: what nvxmake stores) skips the pixels: its
 * coefficients are re-quantised into the output tile. The choice is made per
 * tile from the stream's own header; edge tiles and every other stream take
 * the pixel route. A stored stream that does not carry every table it uses
 * takes neither: decoded, it would show another tile's tables, so it is
 * lost.
 *
 * Memory that runs out, in the worker or in the library (a fetch that says
 * NVX_FETCH_OUT_OF_MEMORY), is thrown as std::bad_alloc, never taken for a
 * lost tile: nothing is wrong with the slide.
 */
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "pyramid/dct_transcoder.h"
#include "pyramid/pyramid_plan.h"
#include "pyramid/tile_encoder.h"
#include "pyramid/work_gate.h"
#include "slide/jpeg_decode.h"
#include "slide/library_binding.h"

namespace nvx::pyramid {

// Where a level's tiles come from: the open slide and how to read it.
struct LevelSource {
    slide::SlideHandle slide = 0;
    std::int32_t tileSize = 0;
    std::int32_t scanMagnification = 0;
    bool regionMode = false;  // raw RGB regions from the box, not the stored tiles
};

// Where a tile sits in its level.
struct TilePlace {
    std::int64_t index = 0;   // tile number, row by row from the top left
    std::int32_t column = 0;  // pixel x of the tile's left edge
    std::int32_t row = 0;     // pixel y of the tile's top edge
};

// A made tile: its JPEG stream, or an empty stream when libjpeg refused it.
struct TileStream {
    std::vector<std::uint8_t> bytes;
    bool lost = false;  // nothing usable came from the slide: the tile is white
};

// The magnification handed to the slide library for every tile of a level.
float LevelMagnification(std::int32_t scanMagnification, float scaleFactor);

// Lays out `width` x `height` packed pixels (rows width * 3 bytes apart) as
// one whole tile of `tileSize` x `tileSize` in `tile`, repeating the last
// column and row of real pixels over the part beyond the image: readers
// crop it away, and a flat continuation costs fewer bytes than anything else.
void PadTile(const std::uint8_t* pixels, std::int32_t width, std::int32_t height,
             std::int32_t tileSize, std::uint8_t* tile);

// Whether NVX2SVS_PIXEL_ROUTE (set, and neither empty nor "0") asks for
// every stored tile to be decoded and encoded again, as before there was a
// coefficient route: for comparing the two routes.
bool PixelRouteForced();

// The bytes one tile may hold while it is made (pixels and padded pixels;
// a transcoded tile's coefficients take as much as both).
std::size_t TileWorkingBytes(std::int32_t tileSize);

class TileWorker {
public:
    // All three must outlive the worker. A tile is made (decoded,
    // transcoded, encoded) inside `gate`, once its pixels or stored stream
    // are fetched; without a gate, at once.
    TileWorker(const LevelSource& source, const LevelPlan& level, WorkGate* gate = nullptr);
    TileWorker(const TileWorker&) = delete;
    TileWorker& operator=(const TileWorker&) = delete;

    // Makes the tile at `place`. Throws std::bad_alloc when its buffers
    // cannot be had; Step() then says what was being done.
    TileStream Make(const TilePlace& place);

    // What the worker was doing last ("fetching", "decoding", ...).
    const char* Step() const { return step_; }

private:
    struct Pixels;
    Pixels FetchRegion(const TilePlace& place);
    Pixels DecodeStoredTile(slide::Fetched fetched);
    TileStream Encode(const Pixels& pixels);

    const LevelSource& source_;
    const LevelPlan& level_;
    WorkGate* const gate_;
    float magnification_;
    TileEncoder encoder_;
    std::optional<DctTranscoder> transcoder_;  // whole-slide mode, unless the pixel route is forced
    const char* step_ = "starting";
};

}  // namespace nvx::pyramid
