/*
 * output_format.h - the fixed choices of the output file that several parts
 * of the writer share: the JPEG qualities of its images and the tile sides
 * it accepts (those of common/tile_size.h). Each is written here once.
 */
#pragma once

#include <cstdint>

#include "common/tile_size.h"

namespace nvx::pyramid {

// The first two pyramid levels (directories 1 and 3) and the label and
// macro are encoded at this quality. Every level's ImageDescription says
// "Q=60" whatever its quality: readers take the value as the file's, as
// Aperio's own files have it, and none reads it per level.
inline constexpr int kFullQuality = 60;
// The smaller levels from directory 4 on, and the thumbnail: reduced
// images lose more at 60, and cost little at 75.
inline constexpr int kReducedQuality = 75;

// Output JPEG quality of the pyramid level at a directory index.
constexpr int LevelJpegQuality(std::int32_t directoryIndex) {
    return directoryIndex <= 3 ? kFullQuality : kReducedQuality;
}

// Output tile sides we accept: the slide's tile side is the output's.
using nvx::IsSupportedTileSize;
using nvx::kMaxTileSize;
using nvx::kMinTileSize;
using nvx::kTileSizeStep;

}  // namespace nvx::pyramid
