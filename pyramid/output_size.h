/*
 * output_size.h - whether the output needs a BigTIFF, decided before any of
 * it is written.
 *
 * A classic TIFF cannot pass 4 GiB. Rewriting a file that turns out bigger
 * costs a second conversion, so the size is estimated first: an upper
 * bound from the raw bytes of the levels' tiles (a JPEG tile at qualities 60
 * and 75 is well below its raw bytes, half of them even for noise), and
 * only when that bound passes the threshold, a sample of each level's tiles
 * made as the workers make them, whose mean stream times the level's tile
 * count, with a margin, is the level's estimate.
 */
#pragma once

#include <tiffio.h>

#include <cstdint>
#include <vector>

#include "pyramid/pyramid_plan.h"
#include "pyramid/tile_worker.h"

namespace nvx::pyramid {

// The most a classic TIFF holds.
inline constexpr std::uint64_t kClassicTiffLimit = 0xFFFFFFFFull;
// Estimates above this are written as a BigTIFF from the start: well below
// the limit, as the estimate is one.
inline constexpr std::uint64_t kBigTiffThreshold = std::uint64_t{3} << 30;

// What the estimate adds for the thumbnail, label, macro and directories.
inline constexpr std::uint64_t kPicturesAndDirectoriesBytes = std::uint64_t{64} << 20;

// Where the next thing written into the file goes: its end.
std::uint64_t FileEnd(TIFF* tiff);

// The most a level's directory takes beside its tiles: two entries per
// tile in the offset and byte-count arrays, and its tags.
std::uint64_t DirectoryBytes(std::int64_t tiles);

// The raw bytes of every tile of the levels: an upper bound of their streams.
std::uint64_t RawTileBytes(std::int32_t tileSize, const std::vector<LevelPlan>& levels);

// The estimated bytes of the whole output, from `samplesPerLevel` tiles of
// each level made from `source`. Throws std::bad_alloc when a sample tile
// cannot be made.
std::uint64_t EstimateOutputBytes(const LevelSource& source, const std::vector<LevelPlan>& levels,
                                  int samplesPerLevel = 16);

// True when the output should be a BigTIFF from the start: its raw bound
// passes `threshold` and so does its estimate.
bool NeedsBigTiff(const LevelSource& source, const std::vector<LevelPlan>& levels,
                  std::uint64_t threshold = kBigTiffThreshold);

}  // namespace nvx::pyramid
