/*
 * output_format.h - the choices of the output file that several parts of
 * the writer share: the JPEG qualities of its images (fixed, unless the run
 * chose one), the chroma subsampling of its levels and the tile sides it
 * accepts (those of common/tile_size.h). Each is written here once.
 */
#pragma once

#include <cstdint>
#include <optional>

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

// What a run may choose about the encoding; unset, the file is what it
// always was.
struct EncodingChoices {
    // Every level, the thumbnail, the label and the macro at this quality
    // (1 to 100), and every level's description says it.
    std::optional<int> quality;
    // The pyramid levels are YCbCr with 4:2:0 chroma subsampling instead of
    // RGB; the thumbnail, the label and the macro stay RGB.
    bool chroma420 = false;

    constexpr int LevelQuality(std::int32_t directoryIndex) const {
        return quality.value_or(LevelJpegQuality(directoryIndex));
    }
    constexpr int ThumbnailQuality() const { return quality.value_or(kReducedQuality); }
    constexpr int PictureQuality() const { return quality.value_or(kFullQuality); }
    // The Q= of the levels' descriptions.
    constexpr int DescribedQuality() const { return quality.value_or(kFullQuality); }
};

// Output tile sides we accept: the slide's tile side is the output's.
using nvx::IsSupportedTileSize;
using nvx::kMaxTileSize;
using nvx::kMinTileSize;
using nvx::kTileSizeStep;

}  // namespace nvx::pyramid
