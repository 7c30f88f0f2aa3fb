/*
 * tile_worker.h - the two stages of a tile of a pyramid level: the fetch of
 * what it is made from (which needs no codec of ours), and its making:
 * laid out as a whole tile and JPEG-encoded. A TileWorker keeps its own
 * libjpeg encoder and DCT transcoder for all the tiles it makes, and
 * decodes each stored stream with a decompressor made for it; the pixel
 * buffers of a tile are taken when the tile is made and given up when it
 * is encoded.
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
 * A level of copied tiles (LevelPlan::storedTiles) writes every stored
 * stream the transcoder would take as it is, byte for byte, once its
 * entropy-coded data has been read to the end without a fault
 * (CheckCopiedTile), and encodes its other tiles as complete YCbCr streams
 * at the level's quality. A stream whose data is damaged is decoded as any
 * other, and lost when that fails, as on every other level.
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
#include "pyramid/tile_route.h"
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

// The tiles of `tileSize` it takes to cover `pixels` (0 for no pixels).
std::int64_t TilesAcross(std::int32_t pixels, std::int32_t tileSize);

// Tile number `index` of a level `columns` tiles across.
TilePlace PlaceOfTile(std::int64_t index, std::int64_t columns, std::int32_t tileSize);

// A made tile: its JPEG stream, or an empty stream when libjpeg refused it.
struct TileStream {
    std::vector<std::uint8_t> bytes;
    bool lost = false;  // nothing usable came from the slide: the tile is white
    TileRoute route = TileRoute::FromPixels;
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

// What a tile holds on its way through a level, for the level's byte
// budget. The stored stream and the tile's own stream are not in it: a
// level counts them as they come, at their size.
struct TileCost {
    std::size_t pixels = 0;    // region mode: the region's, from its fetch until the tile is made
    std::size_t fetching = 0;  // beside them while it is fetched: what the slide library decodes
    std::size_t making = 0;  // beside them while it is made: coefficients, decoded, laid-out pixels

    // The most it holds at once.
    std::size_t Most() const { return pixels + (fetching > making ? fetching : making); }
    // What it holds once fetched, until it is made.
    std::size_t Fetched() const { return pixels + making; }
};

// The cost of the tile at `place`, made with the transcoder or without
// (region mode, or the pixel route forced).
TileCost CostOf(const LevelSource& source, const LevelPlan& level, const TilePlace& place,
                bool coefficientRoute);

// What a tile's fetch brought, in the library's buffer: the stored stream
// (whole-slide mode) or the region's pixels. An empty buffer: nothing came.
struct FetchedTile {
    slide::Fetched fetched;
    std::int32_t width = 0;  // region mode: the rectangle fetched, clipped to the level
    std::int32_t height = 0;

    // The bytes it holds.
    std::size_t Bytes() const;
};

// Fetches what the tile at `place` is made from. Throws std::bad_alloc when
// the library ran out of memory.
FetchedTile FetchForTile(const LevelSource& source, const LevelPlan& level, const TilePlace& place);

// The quality the level's stored tiles were encoded at, estimated from the
// first tile's luminance table; `otherwise` when that tile is not a
// baseline YCbCr stream of the tile's size (whole, or clipped to a level
// that fits in one tile).
int StoredQuality(const LevelSource& source, const LevelPlan& level, int otherwise);

class TileWorker {
public:
    // Both must outlive the worker.
    TileWorker(const LevelSource& source, const LevelPlan& level);
    TileWorker(const TileWorker&) = delete;
    TileWorker& operator=(const TileWorker&) = delete;

    // Makes the tile from what was fetched for it, giving the fetched
    // buffer back as soon as it is used. Throws std::bad_alloc when the
    // tile's buffers cannot be had; Step() then says what was being done.
    TileStream Make(FetchedTile fetched);
    // Fetches and makes the tile at `place`.
    TileStream Make(const TilePlace& place);

    // What the worker was doing last ("fetching", "decoding", ...).
    const char* Step() const { return step_; }

private:
    struct Pixels;
    Pixels RegionPixels(FetchedTile fetched);
    Pixels DecodeStoredTile(slide::Fetched fetched);
    TileStream Encode(const Pixels& pixels);

    const LevelSource& source_;
    const LevelPlan& level_;
    TileEncoder encoder_;
    std::optional<DctTranscoder> transcoder_;  // whole-slide mode, unless the pixel route is forced
    const char* step_ = "starting";
};

}  // namespace nvx::pyramid
