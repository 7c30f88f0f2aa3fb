/*
 * output_size.cpp - the output's size, bounded and estimated before writing.
 */
#include "pyramid/output_size.h"

#include <algorithm>
#include <cstdio>
#include <new>

namespace nvx::pyramid {

namespace {

// Streams vary from tile to tile more than a sample shows; the estimate
// leans to the large side by this much.
constexpr double kMargin = 1.25;

}  // namespace

std::uint64_t FileEnd(TIFF* tiff) {
    // libtiff appends every tile and directory at the end: a seek there is
    // what it does itself before each write.
    return TIFFGetSeekProc(tiff)(TIFFClientdata(tiff), 0, SEEK_END);
}

std::uint64_t DirectoryBytes(std::int64_t tiles) {
    // 8 bytes per entry covers a BigTIFF's; the tags, JPEG tables and
    // description take a few KiB.
    return static_cast<std::uint64_t>(tiles) * 2 * 8 + 64 * 1024;
}

std::uint64_t RawTileBytes(std::int32_t tileSize, const std::vector<LevelPlan>& levels) {
    std::uint64_t bytes = 0;
    for (const LevelPlan& level : levels) {
        const auto tiles = static_cast<std::uint64_t>(TilesAcross(level.width, tileSize) *
                                                      TilesAcross(level.height, tileSize));
        bytes += tiles * static_cast<std::uint64_t>(tileSize) * tileSize * 3;
    }
    return bytes;
}

std::uint64_t EstimateOutputBytes(const LevelSource& source, const std::vector<LevelPlan>& levels,
                                  int samplesPerLevel) {
    double bytes = 0;
    for (const LevelPlan& level : levels) {
        const std::int64_t columns = TilesAcross(level.width, source.tileSize);
        const std::int64_t tiles = columns * TilesAcross(level.height, source.tileSize);
        if (tiles == 0) continue;
        const std::int64_t samples = std::min<std::int64_t>(tiles, std::max(samplesPerLevel, 1));
        TileWorker worker(source, level);
        double sampled = 0;
        for (std::int64_t k = 0; k < samples; ++k) {
            // Spread over the level, from its first tile to near its last.
            const TilePlace place = PlaceOfTile(k * tiles / samples, columns, source.tileSize);
            sampled += static_cast<double>(worker.Make(place).bytes.size());
        }
        bytes += sampled / static_cast<double>(samples) * static_cast<double>(tiles);
    }
    return static_cast<std::uint64_t>(bytes * kMargin) + kPicturesAndDirectoriesBytes;
}

bool NeedsBigTiff(const LevelSource& source, const std::vector<LevelPlan>& levels,
                  std::uint64_t threshold) {
    if (RawTileBytes(source.tileSize, levels) + kPicturesAndDirectoriesBytes <= threshold) {
        return false;
    }
    try {
        return EstimateOutputBytes(source, levels) > threshold;
    } catch (const std::bad_alloc&) {
        // Without memory for a sample the bound decides: it passed.
        return true;
    }
}

}  // namespace nvx::pyramid
