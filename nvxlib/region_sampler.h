/*
 * region_sampler.h - builds packed RGB pixels of any rectangle at any scale
 * from one stored level: a straight copy when the scale is the level's own,
 * otherwise an area average (each output pixel is the mean of the level
 * pixels it covers, partial pixels weighted by coverage). Whatever lies
 * outside the level is white.
 */
#pragma once

#include <cstdint>

#include "nvxlib/slide_file.h"
#include "nvxlib/tile_cache.h"

namespace nvx {

// Decoded tile of a stored level, through the cache; nullptr when the tile
// cannot be read or decoded, or its stream does not carry its own tables.
// Throws std::bad_alloc when memory runs out (and the next call tries again).
DecodedTilePtr CachedDecodedTile(const SlideFile& file, TileCache& cache, uint32_t level,
                                 uint32_t column, uint32_t row);

// Fills out (w * h * 3 bytes) with the rectangle (x, y, w, h) in pixels at a
// scale that is `ratio` (>= 1) level pixels per output pixel. False when a
// needed tile is damaged; throws std::bad_alloc when memory runs out.
bool SampleRegion(const SlideFile& file, TileCache& cache, uint32_t level, double ratio, int64_t x,
                  int64_t y, int64_t w, int64_t h, uint8_t* out);

}  // namespace nvx
