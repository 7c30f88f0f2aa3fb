/*
 * tile_worker.cpp - the loop of a tile worker.
 *
 * Each worker keeps, for the whole level, a fetch buffer (a stored tile
 * decoded at its own width), a tile buffer (an edge tile padded to a whole
 * one) and its own JPEG encoder. Whole tiles are encoded straight from the
 * fetch buffer or the library's region buffer. Tiles at the right and
 * bottom edges are padded with copies of their last real column and row:
 * readers crop them away, and a flat continuation costs fewer bytes than
 * anything else.
 */
#include "pyramid/tile_worker.h"

#include <cstring>
#include <vector>

#include "pyramid/tile_encoder.h"
#include "slide/jpeg_decode.h"

namespace nvx::pyramid {

namespace {

struct TilePixels {
    const std::uint8_t* data = nullptr;  // rows `width` * 3 bytes apart; null: lost
    std::int32_t width = 0;
    std::int32_t height = 0;
    slide::Fetched fetched;  // the library's buffer, while `data` points into it
};

// Region mode: the rectangle at the tile's place, clipped to the level, read
// straight from the library's buffer.
TilePixels FetchRegionTile(const BandTask& task, float magnification, const TilePlace& place) {
    const std::int32_t t = task.tileSize;
    TilePixels pixels;
    pixels.width = place.column + t > task.levelWidth ? task.levelWidth - place.column : t;
    pixels.height = place.row + t > task.levelHeight ? task.levelHeight - place.row : t;
    pixels.fetched = slide::FetchRegion(task.slide, magnification, task.originX + place.column,
                                        task.originY + place.row, pixels.width, pixels.height, 0);
    const std::size_t bytes = static_cast<std::size_t>(pixels.width) * pixels.height * 3;
    // The length of a raw region need not be filled in; when it is, it must cover the rectangle.
    if (pixels.fetched.buffer &&
        (pixels.fetched.length <= 0 || static_cast<std::size_t>(pixels.fetched.length) >= bytes)) {
        pixels.data = pixels.fetched.buffer.get();
    }
    return pixels;
}

// Whole-slide mode: the stored tile at the tile's place, decoded into the
// worker's fetch buffer and given back at once.
TilePixels FetchStoredTile(const BandTask& task, float magnification, const TilePlace& place,
                           std::vector<std::uint8_t>* fetchBuffer) {
    slide::SlideHandle slide = task.slide;
    const slide::Fetched fetched = slide::FetchTile(&slide, magnification, place.column, place.row);
    TilePixels pixels;
    if (!fetched.buffer || fetched.length <= 0) return pixels;
    JpegSize size;
    // A stream that decodes larger than a tile does not fit in the buffer and
    // is refused by the decode; one taller than a tile but narrow enough to
    // fit is no tile of this level either.
    if (!slide::DecodeJpegToRgb(fetched.buffer.get(), static_cast<std::size_t>(fetched.length),
                                fetchBuffer->data(), fetchBuffer->size(), &size) ||
        size.width <= 0 || size.height <= 0 || size.width > task.tileSize ||
        size.height > task.tileSize) {
        return pixels;
    }
    pixels.data = fetchBuffer->data();
    pixels.width = size.width;
    pixels.height = size.height;
    return pixels;
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
        // Each buffer is taken only when a tile needs it: region tiles are
        // read from the library's buffer, and only edge and lost tiles are
        // laid out anew.
        std::vector<std::uint8_t> fetchBuffer(task.regionMode ? 0 : tileBytes);
        std::vector<std::uint8_t> tileBuffer;
        TileEncoder encoder(task.jpegQuality);

        TilePlace place;
        while (t > 0 && task.tiles->Take(&place)) {
            TilePixels pixels = task.regionMode
                                    ? FetchRegionTile(task, magnification, place)
                                    : FetchStoredTile(task, magnification, place, &fetchBuffer);
            // A whole tile is encoded where it lies; edge tiles are padded first.
            const std::uint8_t* tile = pixels.data;
            if (tile == nullptr) {
                // Nothing usable came: a white tile keeps the level whole.
                tileBuffer.assign(tileBytes, 0xFF);
                task.faults->lostTiles.fetch_add(1);
                tile = tileBuffer.data();
            } else if (pixels.width != t || pixels.height != t) {
                tileBuffer.resize(tileBytes);
                PadTile(pixels.data, pixels.width, pixels.height, t, tileBuffer.data());
                tile = tileBuffer.data();
            }
            std::vector<std::uint8_t> stream;
            if (!encoder.Encode(tile, t, t, &stream)) stream.clear();
            pixels.fetched.buffer.reset();  // given back before the write waits for its turn
            task.tiles->Finish(place, std::move(stream));
        }
    }  // buffers and encoder go before the worker counts itself out

    task.liveWorkers->fetch_sub(1);
    return 0;
}

}  // namespace nvx::pyramid
