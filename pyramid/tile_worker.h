/*
 * tile_worker.h - one tile worker: the tiles of one horizontal band of one
 * pyramid level, fetched from the slide library (stored JPEG tiles in
 * whole-slide mode, raw RGB rectangles in region mode), laid out at full
 * tile width and written into the shared output under TileLock.
 */
#pragma once

#include <tiffio.h>

#include <atomic>
#include <cstdint>

#include "pyramid/worker_threads.h"
#include "pyramid/write_faults.h"
#include "slide/slide_library.h"

namespace nvx::pyramid {

// One worker's job. The driver owns it and keeps it unchanged until the
// worker has ended; the worker only reads it.
struct BandTask {
    std::uint8_t regionMode = 0;  // nonzero: fetch raw RGB regions
    std::int32_t originX = 0;     // region mode: the region's left edge, level pixels
    std::int32_t originY = 0;     // region mode: the region's top edge, level pixels
    std::int32_t endRow = 0;      // first level row after the band
    std::int32_t levelWidth = 0;
    std::int32_t tileSize = 0;
    slide::SlideHandle slide = 0;
    float scanMagnification = 0.0f;
    float scaleFactor = 1.0f;
    std::int32_t startRow = 0;  // a multiple of tileSize
    TIFF* tiff = nullptr;       // shared by all workers; written under tileLock only
    std::atomic<std::int32_t>* rowsDone = nullptr;     // RowsDone of the level
    std::atomic<std::int32_t>* liveWorkers = nullptr;  // LiveWorkers of the level
    TileLock* tileLock = nullptr;
    WriteFaults* faults = nullptr;
};

// The magnification handed to the slide library for every tile of a band.
float BandMagnification(float scanMagnification, float scaleFactor);

// The thread routine; `argument` is the worker's BandTask. Always returns 0.
// A tile that cannot be fetched or decoded is written white and counted as
// lost; a refused tile write is counted. RowsDone rises by tileSize when the
// last tile of a tile row has been written; LiveWorkers falls by one last.
std::uint32_t TileWorkerProc(void* argument);

}  // namespace nvx::pyramid
