/*
 * tile_route.h - how a tile of a pyramid level was made, and the tiles of a
 * level counted by it, for the run's report: what a level cost, and whether
 * the stored tiles went in untouched, are told by these counts.
 */
#pragma once

#include <cstdint>

namespace nvx::pyramid {

enum class TileRoute {
    FromPixels,  // decoded or region pixels, encoded (a lost tile, written white, too)
    Transcoded,  // the stored stream's coefficients re-quantised, never decoded to pixels
    Copied,      // the stored stream as it is, byte for byte (a level of copied tiles)
};

// The tiles of a level by route. Those of a complete level add up to its tile count.
struct TileRoutes {
    std::int64_t copied = 0;
    std::int64_t transcoded = 0;
    std::int64_t fromPixels = 0;

    void Add(TileRoute route) {
        switch (route) {
            case TileRoute::Copied:
                ++copied;
                break;
            case TileRoute::Transcoded:
                ++transcoded;
                break;
            case TileRoute::FromPixels:
                ++fromPixels;
                break;
        }
    }
    std::int64_t Total() const { return copied + transcoded + fromPixels; }
    bool operator==(const TileRoutes&) const = default;
};

}  // namespace nvx::pyramid
