/*
 * slide_file.h - an open nvx file: its validated header, level table and
 * tile index, and checked reads of stored streams.
 *
 * Everything the file says is checked once at open (every offset and length
 * against the real file size, the checksums of header, level table and
 * indices), so later reads cannot run outside the file. Reads are positioned
 * reads of one open file (common/native_file.h) and safe from any number of threads.
 */
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/native_file.h"

#include "common/sha256.h"
#include "nvxlib/jpeg_codec.h"
#include "nvxlib/malloc_buffer.h"
#include "nvxlib/nvx_format.h"

namespace nvx {

struct StoredLevel {
    LevelShape shape;
    std::vector<TileEntry> tiles;  // row-major, shape.columns * shape.rows
};

class SlideFile {
public:
    SlideFile() = default;  // empty; use Open()
    // nullptr when the file cannot be used; `why` (if given) says why.
    static std::unique_ptr<SlideFile> Open(const char* path, std::string* why = nullptr);

    const Header& header() const { return header_; }
    const std::vector<StoredLevel>& levels() const { return levels_; }

    // Pixel size of a stored tile, from the level geometry.
    JpegSize TilePixels(uint32_t level, uint32_t column, uint32_t row) const;

    // The stored stream of one tile, its checksum verified; empty on failure.
    // Both reads throw std::bad_alloc when there is no memory for the stream.
    MallocBuffer ReadTile(uint32_t level, uint32_t column, uint32_t row) const;

    // The stored label or preview stream; empty when absent or damaged.
    MallocBuffer ReadPicture(const PictureRef& picture) const;

    // SHA-256 of what the header says and of every stored stream's bytes,
    // where they lie in the file aside (see NvxSlideDigest): reads the whole
    // slide. Nullopt when a read fails; throws std::bad_alloc.
    std::optional<Sha256::Digest> ContentDigest() const;

private:
    MallocBuffer ReadChecked(uint64_t offset, uint32_t length, uint32_t crc) const;

    ReadOnlyFile file_;
    Header header_;
    std::vector<StoredLevel> levels_;
};

}  // namespace nvx
