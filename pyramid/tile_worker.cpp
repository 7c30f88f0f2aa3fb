/*
 * tile_worker.cpp - the loop of a tile worker.
 *
 * Each worker keeps, for the whole level, a fetch buffer (the tile packed at
 * its own width), a tile buffer (the whole tile the encoder reads) and its
 * own JPEG encoder. Tiles at the right and bottom edges are padded with
 * copies of their last real column and row: readers crop them away, and a
 * flat continuation costs fewer bytes than anything else.
 */
#include "pyramid/tile_worker.h"

#include <cstring>
#include <vector>

#include "pyramid/tile_encoder.h"
#include "slide/jpeg_decode.h"

namespace nvx::pyramid {

namespace {

struct TilePixels {
    std::int32_t width = 0;  // the tile's own size; its rows are this wide in the fetch buffer
    std::int32_t height = 0;
    bool lost = false;
};

// Region mode: the rectangle at the tile's place, clipped to the level.
TilePixels FetchRegionTile(const BandTask& task, float magnification, const TilePlace& place,
                           std::vector<std::uint8_t>* fetchBuffer) {
    const std::int32_t t = task.tileSize;
    const std::int32_t w = place.column + t > task.levelWidth ? task.levelWidth - place.column : t;
    const std::int32_t h = place.row + t > task.levelHeight ? task.levelHeight - place.row : t;
    const slide::Fetched fetched = slide::FetchRegion(
        task.slide, magnification, task.originX + place.column, task.originY + place.row, w, h, 0);
    const std::size_t bytes = static_cast<std::size_t>(w) * static_cast<std::size_t>(h) * 3;
    // The length of a raw region need not be filled in; when it is, it must cover the rectangle.
    if (!fetched.buffer ||
        (fetched.length > 0 && static_cast<std::size_t>(fetched.length) < bytes)) {
        return {t, t, true};
    }
    std::memcpy(fetchBuffer->data(), fetched.buffer.get(), bytes);
    return {w, h, false};
}

// Whole-slide mode: the stored tile at the tile's place, decoded.
TilePixels FetchStoredTile(const BandTask& task, float magnification, const TilePlace& place,
                           std::vector<std::uint8_t>* fetchBuffer) {
    slide::SlideHandle slide = task.slide;
    const slide::Fetched fetched = slide::FetchTile(&slide, magnification, place.column, place.row);
    if (!fetched.buffer || fetched.length <= 0) return {task.tileSize, task.tileSize, true};
    slide::JpegSize size;
    // A stream that decodes larger than a tile does not fit in the buffer and
    // is refused by the decode; one taller than a tile but narrow enough to
    // fit is no tile of this level either.
    if (!slide::DecodeJpegToRgb(fetched.buffer.get(), static_cast<std::size_t>(fetched.length),
                                fetchBuffer->data(), fetchBuffer->size(), &size) ||
        size.width <= 0 || size.height <= 0 || size.width > task.tileSize ||
        size.height > task.tileSize) {
        return {task.tileSize, task.tileSize, true};
    }
    return {size.width, size.height, false};
}

}  // namespace

float BandMagnification(float scanMagnification, float scaleFactor) {
    const auto magnification = static_cast<std::int32_t>(scanMagnification);
    const auto factor = static_cast<std::int32_t>(scaleFactor);
    if (factor == 0) return 0.0f;
    return static_cast<float>(static_cast<double>(magnification) / static_cast<double>(factor));
}

void PadTile(const std::uint8_t* pixels, std::int32_t width, std::int32_t height,
             std::int32_t tileSize, std::uint8_t* tile) {
    const std::size_t tileRowBytes = static_cast<std::size_t>(tileSize) * 3;
    const std::size_t rowBytes = static_cast<std::size_t>(width) * 3;
    for (std::int32_t i = 0; i < height; ++i) {
        std::uint8_t* out = tile + i * tileRowBytes;
        std::memcpy(out, pixels + i * rowBytes, rowBytes);
        const std::uint8_t* last = out + rowBytes - 3;
        for (std::uint8_t* p = out + rowBytes; p < out + tileRowBytes; p += 3)
            std::memcpy(p, last, 3);
    }
    const std::uint8_t* lastRow = tile + (height - 1) * tileRowBytes;
    for (std::int32_t i = height; i < tileSize; ++i) {
        std::memcpy(tile + i * tileRowBytes, lastRow, tileRowBytes);
    }
}

std::uint32_t TileWorkerProc(void* argument) {
    const BandTask& task = *static_cast<const BandTask*>(argument);
    const float magnification = BandMagnification(task.scanMagnification, task.scaleFactor);
    const std::int32_t t = task.tileSize;
    const std::size_t tileBytes = static_cast<std::size_t>(t) * static_cast<std::size_t>(t) * 3;

    {
        std::vector<std::uint8_t> fetchBuffer(tileBytes, 0);
        std::vector<std::uint8_t> tileBuffer(tileBytes, 0);
        TileEncoder encoder(task.jpegQuality);

        TilePlace place;
        while (t > 0 && task.tiles->Take(&place)) {
            const TilePixels pixels =
                task.regionMode ? FetchRegionTile(task, magnification, place, &fetchBuffer)
                                : FetchStoredTile(task, magnification, place, &fetchBuffer);
            if (pixels.lost) {
                // Nothing usable came: a white tile keeps the level whole.
                std::memset(tileBuffer.data(), 0xFF, tileBytes);
                task.faults->lostTiles.fetch_add(1);
            } else {
                PadTile(fetchBuffer.data(), pixels.width, pixels.height, t, tileBuffer.data());
            }
            std::vector<std::uint8_t> stream;
            if (!encoder.Encode(tileBuffer.data(), t, t, &stream)) stream.clear();
            task.tiles->Finish(place, std::move(stream));
        }
    }  // buffers and encoder go before the worker counts itself out

    task.liveWorkers->fetch_sub(1);
    return 0;
}

}  // namespace nvx::pyramid
