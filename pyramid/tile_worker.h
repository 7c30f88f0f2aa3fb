/*
 * tile_worker.h - one tile worker of a pyramid level: takes the level's
 * tiles one at a time from the shared TileSequence, fetches each from the
 * slide library (stored JPEG tiles in whole-slide mode, raw RGB rectangles
 * in region mode), lays it out as a whole tile, JPEG-encodes it and hands
 * the stream back to the sequence, which writes it in order under TileLock.
 */
#pragma once

#include <atomic>
#include <cstdint>

#include "pyramid/tile_sequence.h"
#include "pyramid/write_faults.h"
#include "slide/library_binding.h"

namespace nvx::pyramid {

// What every worker of a level needs. The driver owns it and keeps it
// unchanged until the level's last worker has ended; workers only read it.
struct BandTask {
    std::uint8_t regionMode = 0;  // nonzero: fetch raw RGB regions
    std::int32_t originX = 0;     // region mode: the region's left edge, level pixels
    std::int32_t originY = 0;     // region mode: the region's top edge, level pixels
    std::int32_t levelWidth = 0;
    std::int32_t levelHeight = 0;
    std::int32_t tileSize = 0;
    slide::SlideHandle slide = 0;
    float scanMagnification = 0.0f;
    float scaleFactor = 1.0f;
    int jpegQuality = 60;
    TileSequence* tiles = nullptr;                     // hands out and writes the tiles
    std::atomic<std::int32_t>* liveWorkers = nullptr;  // LiveWorkers of the level
    WriteFaults* faults = nullptr;
};

// The magnification handed to the slide library for every tile of a level.
float BandMagnification(float scanMagnification, float scaleFactor);

// Lays out `width` x `height` packed pixels (rows width * 3 bytes apart) as
// one whole tile of `tileSize` x `tileSize` in `tile`, repeating the last
// column and row of real pixels over the part beyond the image.
void PadTile(const std::uint8_t* pixels, std::int32_t width, std::int32_t height,
             std::int32_t tileSize, std::uint8_t* tile);

// The thread routine; `argument` is the level's BandTask. Always returns 0.
// A tile that cannot be fetched or decoded is written white and counted as
// lost. LiveWorkers falls by one as the very last thing.
std::uint32_t TileWorkerProc(void* argument);

}  // namespace nvx::pyramid
