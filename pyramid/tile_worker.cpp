/*
 * tile_worker.cpp - the band loop of a tile worker.
 *
 * Each worker keeps two tile buffers for its whole band: the fetch buffer
 * holds the tile packed at its own width, the edge buffer the same tile laid
 * out at full tile width for tiles narrower than the tile size. Neither is
 * cleared between tiles; what an earlier tile leaves lies beyond the level's
 * width or height, where readers do not look.
 */
#include "pyramid/tile_worker.h"

#include <cstring>
#include <vector>

#include "slide/jpeg_decode.h"

namespace nvx::pyramid {

namespace {

struct TilePixels {
    std::int32_t width = 0;  // the tile's own width; its rows are this wide in the fetch buffer
    bool lost = false;
};

// Region mode: the rectangle at (column, row), at most a tile, clipped to
// the level's width and the band's end.
TilePixels FetchRegionTile(const BandTask& task, float magnification, std::int32_t column,
                           std::int32_t row, std::vector<std::uint8_t>* fetchBuffer,
                           slide::Fetched* fetched) {
    const std::int32_t t = task.tileSize;
    const std::int32_t w = column + t > task.levelWidth ? task.levelWidth - column : t;
    const std::int32_t h = row + t > task.endRow ? task.endRow - row : t;
    *fetched = slide::FetchRegion(task.slide, magnification, task.originX + column,
                                  task.originY + row, w, h, 0);
    const std::size_t bytes = static_cast<std::size_t>(w) * static_cast<std::size_t>(h) * 3;
    // The length of a raw region need not be filled in; when it is, it must cover the rectangle.
    if (!fetched->buffer ||
        (fetched->length > 0 && static_cast<std::size_t>(fetched->length) < bytes)) {
        return {t, true};
    }
    std::memcpy(fetchBuffer->data(), fetched->buffer.get(), bytes);
    return {w, false};
}

// Whole-slide mode: the stored tile at (column, row), decoded; its width is the stream's.
TilePixels FetchStoredTile(const BandTask& task, float magnification, std::int32_t column,
                           std::int32_t row, std::vector<std::uint8_t>* fetchBuffer,
                           slide::Fetched* fetched) {
    slide::SlideHandle slide = task.slide;
    *fetched = slide::FetchTile(&slide, magnification, column, row);
    if (!fetched->buffer || fetched->length <= 0) return {task.tileSize, true};
    slide::JpegSize size;
    // A stream that decodes larger than a tile does not fit in the buffer and
    // is refused by the decode; one taller than a tile but narrow enough to
    // fit is no tile of this level either.
    if (!slide::DecodeJpegToRgb(fetched->buffer.get(), static_cast<std::size_t>(fetched->length),
                                fetchBuffer->data(), fetchBuffer->size(), &size) ||
        size.width <= 0 || size.height <= 0 || size.width > task.tileSize ||
        size.height > task.tileSize) {
        return {task.tileSize, true};
    }
    return {size.width, false};
}

}  // namespace

float BandMagnification(float scanMagnification, float scaleFactor) {
    const auto magnification = static_cast<std::int32_t>(scanMagnification);
    const auto factor = static_cast<std::int32_t>(scaleFactor);
    if (factor == 0) return 0.0f;
    return static_cast<float>(static_cast<double>(magnification) / static_cast<double>(factor));
}

std::uint32_t TileWorkerProc(void* argument) {
    const BandTask& task = *static_cast<const BandTask*>(argument);
    const float magnification = BandMagnification(task.scanMagnification, task.scaleFactor);
    const std::int32_t t = task.tileSize;
    const std::size_t tileBytes = static_cast<std::size_t>(t) * static_cast<std::size_t>(t) * 3;
    const std::size_t tileRowBytes = static_cast<std::size_t>(t) * 3;

    {
        std::vector<std::uint8_t> fetchBuffer(tileBytes, 0);
        std::vector<std::uint8_t> edgeBuffer(tileBytes, 0);

        for (std::int32_t row = task.startRow; t > 0 && row < task.endRow; row += t) {
            for (std::int32_t column = 0; column < task.levelWidth; column += t) {
                slide::Fetched fetched;
                const TilePixels pixels =
                    task.regionMode
                        ? FetchRegionTile(task, magnification, column, row, &fetchBuffer, &fetched)
                        : FetchStoredTile(task, magnification, column, row, &fetchBuffer, &fetched);
                if (pixels.lost) {
                    // Nothing usable came: a white tile keeps the level whole.
                    std::memset(fetchBuffer.data(), 0xFF, tileBytes);
                    task.faults->lostTiles.fetch_add(1);
                }

                std::uint8_t* tile = fetchBuffer.data();
                if (pixels.width > 0 && pixels.width < t) {
                    const std::size_t narrowRowBytes = static_cast<std::size_t>(pixels.width) * 3;
                    for (std::int32_t i = 0; i < t; ++i) {
                        std::memcpy(edgeBuffer.data() + i * tileRowBytes,
                                    fetchBuffer.data() + i * narrowRowBytes, narrowRowBytes);
                    }
                    tile = edgeBuffer.data();
                }

                {
                    std::lock_guard<TileLock> lock(*task.tileLock);
                    if (TIFFWriteTile(task.tiff, tile, static_cast<std::uint32_t>(column),
                                      static_cast<std::uint32_t>(row), 0, 0) < 0) {
                        task.faults->failedTileWrites.fetch_add(1);
                    }
                    if (column + t >= task.levelWidth) task.rowsDone->fetch_add(t);
                }
                fetched.buffer.reset();  // given back outside the lock
            }
        }
    }  // both buffers are freed before the worker counts itself out

    task.liveWorkers->fetch_sub(1);
    return 0;
}

}  // namespace nvx::pyramid
