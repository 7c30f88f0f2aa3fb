/*
 * tile_worker.cpp - a tile's cost and fetch, and its making: check that a
 * stored stream carries its own tables, then either copy (a level of copied
 * tiles, a stream whose coefficients decode), transcode (a whole stored
 * tile the transcoder takes) or decode (whole-slide mode), pad (edge tiles)
 * and encode.
 *
 * Whole tiles are encoded where they lie: in the library's region buffer
 * or in the buffer a stored tile was decoded into. Only edge tiles and lost
 * tiles are laid out anew.
 */
#include "pyramid/tile_worker.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "common/jpeg_stream_check.h"

namespace nvx::pyramid {

struct TileWorker::Pixels {
    const std::uint8_t* data = nullptr;  // rows `width` * 3 bytes apart; null: lost
    std::int32_t width = 0;
    std::int32_t height = 0;
    slide::Fetched fetched;                   // the library's buffer, while `data` points into it
    std::unique_ptr<std::uint8_t[]> decoded;  // a stored tile's pixels
};

namespace {

std::size_t TileBytes(std::int32_t tileSize) {
    return static_cast<std::size_t>(tileSize) * static_cast<std::size_t>(tileSize) * 3;
}

// The width and height of the tile at `place`, clipped to the level.
std::int32_t Clipped(std::int32_t at, std::int32_t tileSize, std::int32_t levelSide) {
    return at + tileSize > levelSide ? levelSide - at : tileSize;
}

}  // namespace

std::int64_t TilesAcross(std::int32_t pixels, std::int32_t tileSize) {
    return tileSize > 0 && pixels > 0 ? (std::int64_t{pixels} + tileSize - 1) / tileSize : 0;
}

TilePlace PlaceOfTile(std::int64_t index, std::int64_t columns, std::int32_t tileSize) {
    TilePlace place;
    place.index = index;
    place.column = static_cast<std::int32_t>((index % columns) * tileSize);
    place.row = static_cast<std::int32_t>((index / columns) * tileSize);
    return place;
}

float LevelMagnification(std::int32_t scanMagnification, float scaleFactor) {
    const auto factor = static_cast<std::int32_t>(scaleFactor);
    if (factor == 0) return 0.0f;
    return static_cast<float>(static_cast<double>(scanMagnification) / static_cast<double>(factor));
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

bool PixelRouteForced() {
    const char* value = std::getenv("NVX2SVS_PIXEL_ROUTE");
    return value != nullptr && value[0] != '\0' && std::strcmp(value, "0") != 0;
}

TileCost CostOf(const LevelSource& source, const LevelPlan& level, const TilePlace& place,
                bool coefficientRoute) {
    const std::int32_t t = source.tileSize;
    const std::int32_t width = Clipped(place.column, t, level.width);
    const std::int32_t height = Clipped(place.row, t, level.height);
    const bool whole = width == t && height == t;
    const std::size_t tile = TileBytes(t);
    TileCost cost;
    if (source.regionMode) {
        // The library decodes the stored tiles the region covers, a row of
        // them at a time: two across unless the region lies on the stored
        // tiles' borders. An edge tile is laid out anew; a whole one is
        // encoded where it lies.
        cost.pixels = static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 3;
        cost.fetching = 2 * cost.pixels;
        cost.making = whole ? 0 : tile;
    } else {
        // A tile the slide does not store is made by the library from its
        // pixels. Made here: a stored tile's coefficients (two bytes a
        // sample), or its pixels decoded into a tile's buffer, and laid out
        // anew when it is an edge tile. A 4:2:0 tile's coefficients are
        // made beside the stored ones: half as many again.
        cost.fetching = tile;
        cost.making = whole && !coefficientRoute ? tile : 2 * tile;
        if (whole && coefficientRoute && level.chroma420 && !level.storedTiles) {
            cost.making = 3 * tile;
        }
    }
    return cost;
}

std::size_t FetchedTile::Bytes() const {
    if (!fetched.buffer) return 0;
    const std::size_t length = fetched.length > 0 ? static_cast<std::size_t>(fetched.length) : 0;
    const std::size_t region =
        static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 3;
    return std::max(length, region);
}

FetchedTile FetchForTile(const LevelSource& source, const LevelPlan& level,
                         const TilePlace& place) {
    const float magnification = LevelMagnification(source.scanMagnification, level.scaleFactor);
    FetchedTile tile;
    if (source.regionMode) {
        // The rectangle at the tile's place, clipped to the level.
        tile.width = Clipped(place.column, source.tileSize, level.width);
        tile.height = Clipped(place.row, source.tileSize, level.height);
        tile.fetched = slide::FetchRegion(source.slide, magnification, level.originX + place.column,
                                          level.originY + place.row, tile.width, tile.height, 0);
    } else {
        slide::SlideHandle slide = source.slide;
        tile.fetched = slide::FetchTile(&slide, magnification, place.column, place.row);
    }
    if (tile.fetched.failure == slide::FetchFailure::OutOfMemory) throw std::bad_alloc();
    return tile;
}

TileWorker::TileWorker(const LevelSource& source, const LevelPlan& level)
    : source_(source),
      level_(level),
      encoder_(level.jpegQuality, level.chroma420 && !level.storedTiles) {
    if (!source.regionMode && !level.storedTiles && !PixelRouteForced()) {
        transcoder_.emplace(level.jpegQuality, level.chroma420);
    }
}

int StoredQuality(const LevelSource& source, const LevelPlan& level, int otherwise) {
    if (source.regionMode) return otherwise;
    const FetchedTile first = FetchForTile(source, level, TilePlace{});
    if (!first.fetched.buffer || first.fetched.length <= 0) return otherwise;
    const std::uint8_t* stored = first.fetched.buffer.get();
    const auto length = static_cast<std::size_t>(first.fetched.length);
    int quality = otherwise;
    // The first tile is a whole one unless the level fits in one tile.
    const std::int32_t t = source.tileSize;
    if (CheckStreamCompleteness(stored, length) != StreamCompleteness::kComplete ||
        CheckStoredTile(stored, length, Clipped(0, t, level.width), Clipped(0, t, level.height),
                        &quality) != TranscodeResult::kTranscoded) {
        return otherwise;
    }
    return quality;
}

TileStream TileWorker::Make(const TilePlace& place) {
    step_ = "fetching";
    return Make(FetchForTile(source_, level_, place));
}

TileStream TileWorker::Make(FetchedTile fetched) {
    if (source_.regionMode) return Encode(RegionPixels(std::move(fetched)));
    if (!fetched.fetched.buffer || fetched.fetched.length <= 0) return Encode(Pixels{});
    const std::uint8_t* stored = fetched.fetched.buffer.get();
    const auto length = static_cast<std::size_t>(fetched.fetched.length);
    if (CheckStreamCompleteness(stored, length) != StreamCompleteness::kComplete) {
        return Encode(Pixels{});
    }
    if (level_.storedTiles) {
        // Copied only once its coefficients decode; a stream that does not
        // goes on to the decode below, which loses it as it would any tile.
        step_ = "decoding";
        const std::int32_t t = source_.tileSize;
        if (CheckCopiedTile(stored, length, t, t) == TranscodeResult::kTranscoded) {
            TileStream stream;
            stream.bytes.assign(stored, stored + length);
            stream.route = TileRoute::Copied;
            return stream;
        }
    }
    if (transcoder_) {
        step_ = "transcoding";
        TileStream stream;
        const std::int32_t t = source_.tileSize;
        if (transcoder_->Transcode(stored, length, t, t, &stream.bytes) ==
            TranscodeResult::kTranscoded) {
            stream.route = TileRoute::Transcoded;
            return stream;
        }
    }
    return Encode(DecodeStoredTile(std::move(fetched.fetched)));
}

// Region mode: the tile is encoded straight from the library's buffer.
TileWorker::Pixels TileWorker::RegionPixels(FetchedTile fetched) {
    Pixels pixels;
    pixels.width = fetched.width;
    pixels.height = fetched.height;
    pixels.fetched = std::move(fetched.fetched);
    const std::size_t bytes = static_cast<std::size_t>(pixels.width) * pixels.height * 3;
    // The length of a raw region need not be filled in; when it is, it must cover the rectangle.
    if (pixels.fetched.buffer &&
        (pixels.fetched.length <= 0 || static_cast<std::size_t>(pixels.fetched.length) >= bytes)) {
        pixels.data = pixels.fetched.buffer.get();
    }
    return pixels;
}

// Whole-slide mode: the stored tile, decoded into a buffer of its own and
// given back to the library at once.
TileWorker::Pixels TileWorker::DecodeStoredTile(slide::Fetched fetched) {
    Pixels pixels;
    step_ = "decoding";
    const std::size_t capacity = TileBytes(source_.tileSize);
    pixels.decoded = std::make_unique_for_overwrite<std::uint8_t[]>(capacity);
    JpegSize size;
    slide::DecodeFailure failure = slide::DecodeFailure::None;
    // A stream that decodes larger than a tile does not fit in the buffer and
    // is refused by the decode; one taller than a tile but narrow enough to
    // fit is no tile of this level either. Either way the buffer goes before
    // a white tile is laid out.
    if (!slide::DecodeJpegToRgb(fetched.buffer.get(), static_cast<std::size_t>(fetched.length),
                                pixels.decoded.get(), capacity, &size, &failure)) {
        if (failure == slide::DecodeFailure::OutOfMemory) throw std::bad_alloc();
        pixels.decoded.reset();
        return pixels;
    }
    if (size.width > source_.tileSize || size.height > source_.tileSize) {
        pixels.decoded.reset();
        return pixels;
    }
    pixels.data = pixels.decoded.get();
    pixels.width = size.width;
    pixels.height = size.height;
    return pixels;
}

TileStream TileWorker::Encode(const Pixels& pixels) {
    const std::int32_t t = source_.tileSize;
    TileStream stream;
    // A whole tile is encoded where it lies; edge and lost tiles are laid out first.
    std::unique_ptr<std::uint8_t[]> laidOut;
    const std::uint8_t* tile = pixels.data;
    if (tile == nullptr || pixels.width != t || pixels.height != t) {
        step_ = "laying out";
        laidOut = std::make_unique_for_overwrite<std::uint8_t[]>(TileBytes(t));
        if (tile == nullptr) {
            // Nothing usable came: a white tile keeps the level whole.
            std::memset(laidOut.get(), 0xFF, TileBytes(t));
            stream.lost = true;
        } else {
            PadTile(pixels.data, pixels.width, pixels.height, t, laidOut.get());
        }
        tile = laidOut.get();
    }
    step_ = "encoding";
    const bool encoded = level_.storedTiles
                             ? EncodeCompleteYCbCr(tile, t, t, level_.jpegQuality, &stream.bytes)
                             : encoder_.Encode(tile, t, t, &stream.bytes);
    if (!encoded) stream.bytes.clear();
    return stream;
}

}  // namespace nvx::pyramid
