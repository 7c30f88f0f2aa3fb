/*
 * slide_reader.h - the behaviour behind the library's fetch entry points for
 * one open slide: stored tiles as stored, tiles at other scales built from
 * the next finer level, regions as RGB or JPEG, and the two pictures.
 *
 * Every method is safe to call from many threads at once. What the slide
 * cannot give (a request outside it, a damaged stream, a stored tile that
 * does not carry its own tables) is an empty buffer; memory that runs out
 * throws std::bad_alloc, so that callers can tell the two apart.
 */
#pragma once

#include <memory>
#include <string>

#include "nvxlib/malloc_buffer.h"
#include "nvxlib/slide_file.h"
#include "nvxlib/tile_cache.h"

namespace nvx {

// Quality of every JPEG the library makes itself (computed tiles, format 1).
inline constexpr int kLibraryJpegQuality = 90;
// Budget of decoded tiles kept per open slide. Region fetches that share
// tiles come in raster order from the converter's workers: a tile is used
// again by the next region to its right (at once) and by the regions of the
// next row (one row of tiles later). 48 MiB holds two rows of 120 tiles of
// 256 x 256 (a level 30000 pixels wide) besides the tiles 64 workers hold;
// wider levels decode some tiles twice rather than take more memory.
inline constexpr size_t kTileCacheBytes = size_t{48} << 20;

// A label or preview: its stream when it could be read. `recorded` says the
// slide has one, so a recorded picture without a stream is a damaged one.
struct Picture {
    MallocBuffer stream;
    uint32_t width = 0;
    uint32_t height = 0;
    bool recorded = false;
};

class SlideReader {
public:
    // `cacheBytes`: the budget of decoded tiles this slide keeps.
    explicit SlideReader(std::unique_ptr<SlideFile> file, size_t cacheBytes = kTileCacheBytes)
        : file_(std::move(file)), cache_(cacheBytes) {}

    const Header& header() const { return file_->header(); }

    MallocBuffer FetchTile(float scale, int32_t x, int32_t y) const;
    // format 0: packed RGB; format 1: JPEG.
    MallocBuffer FetchRegion(float scale, int32_t x, int32_t y, int32_t width, int32_t height,
                             int32_t format) const;
    Picture FetchLabel() const { return FetchPicture(header().label); }
    Picture FetchPreview() const { return FetchPicture(header().preview); }

    std::optional<Sha256::Digest> ContentDigest() const { return file_->ContentDigest(); }

    size_t CachedBytes() const { return cache_.BytesHeld(); }

private:
    MallocBuffer RegionRgb(float scale, int32_t x, int32_t y, int32_t width, int32_t height) const;
    Picture FetchPicture(const PictureRef& ref) const;

    std::unique_ptr<SlideFile> file_;
    mutable TileCache cache_;
};

}  // namespace nvx
