/*
 * tile_size.h - the tile sides a slide may have. The converter writes each
 * slide's TIFF with the slide's own tile side, and TIFF tiles are
 * multiples of 16; so the nvx format allows only such sides, and the
 * converter refuses a slide of any other (another library's). Tiny or
 * huge tiles are not worth supporting.
 */
#pragma once

#include <cstdint>

namespace nvx {

inline constexpr std::int32_t kMinTileSize = 16;
inline constexpr std::int32_t kMaxTileSize = 4096;
inline constexpr std::int32_t kTileSizeStep = 16;

constexpr bool IsSupportedTileSize(std::int64_t tileSize) {
    return tileSize >= kMinTileSize && tileSize <= kMaxTileSize && tileSize % kTileSizeStep == 0;
}

}  // namespace nvx
