/*
 * tile_worker.cpp - the making of one tile: fetch, check that a stored
 * stream carries its own tables, then either transcode (a whole stored tile
 * the transcoder takes) or decode (whole-slide mode), pad (edge tiles) and
 * encode.
 *
 * Whole tiles are encoded where they lie: in the library's region buffer
 * or in the buffer a stored tile was decoded into. Only edge tiles and lost
 * tiles are laid out anew.
 */
#include "pyramid/tile_worker.h"

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

}  // namespace

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

std::size_t TileWorkingBytes(std::int32_t tileSize) { return 2 * TileBytes(tileSize); }

TileWorker::TileWorker(const LevelSource& source, const LevelPlan& level, WorkGate* gate)
    : source_(source),
      level_(level),
      gate_(gate),
      magnification_(LevelMagnification(source.scanMagnification, level.scaleFactor)),
      encoder_(level.jpegQuality) {
    if (!source.regionMode && !PixelRouteForced()) transcoder_.emplace(level.jpegQuality);
}

TileStream TileWorker::Make(const TilePlace& place) {
    if (source_.regionMode) {
        const Pixels pixels = FetchRegion(place);
        const WorkGate::Pass pass(gate_);
        return Encode(pixels);
    }
    step_ = "fetching";
    slide::SlideHandle slide = source_.slide;
    slide::Fetched fetched = slide::FetchTile(&slide, magnification_, place.column, place.row);
    if (fetched.failure == slide::FetchFailure::OutOfMemory) throw std::bad_alloc();
    const WorkGate::Pass pass(gate_);
    if (!fetched.buffer || fetched.length <= 0) return Encode(Pixels{});
    if (CheckStreamCompleteness(fetched.buffer.get(), static_cast<std::size_t>(fetched.length)) !=
        StreamCompleteness::kComplete) {
        return Encode(Pixels{});
    }
    if (transcoder_) {
        step_ = "transcoding";
        TileStream stream;
        const std::int32_t t = source_.tileSize;
        if (transcoder_->Transcode(fetched.buffer.get(), static_cast<std::size_t>(fetched.length),
                                   t, t, &stream.bytes) == TranscodeResult::kTranscoded) {
            return stream;
        }
    }
    return Encode(DecodeStoredTile(std::move(fetched)));
}

// Region mode: the rectangle at the tile's place, clipped to the level, read
// straight from the library's buffer.
TileWorker::Pixels TileWorker::FetchRegion(const TilePlace& place) {
    step_ = "fetching";
    const std::int32_t t = source_.tileSize;
    Pixels pixels;
    pixels.width = place.column + t > level_.width ? level_.width - place.column : t;
    pixels.height = place.row + t > level_.height ? level_.height - place.row : t;
    pixels.fetched =
        slide::FetchRegion(source_.slide, magnification_, level_.originX + place.column,
                           level_.originY + place.row, pixels.width, pixels.height, 0);
    if (pixels.fetched.failure == slide::FetchFailure::OutOfMemory) throw std::bad_alloc();
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
    // fit is no tile of this level either.
    if (!slide::DecodeJpegToRgb(fetched.buffer.get(), static_cast<std::size_t>(fetched.length),
                                pixels.decoded.get(), capacity, &size, &failure)) {
        if (failure == slide::DecodeFailure::OutOfMemory) throw std::bad_alloc();
        return pixels;
    }
    if (size.width > source_.tileSize || size.height > source_.tileSize) return pixels;
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
    if (!encoder_.Encode(tile, t, t, &stream.bytes)) stream.bytes.clear();
    return stream;
}

}  // namespace nvx::pyramid
