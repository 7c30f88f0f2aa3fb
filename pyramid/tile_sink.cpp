/*
 * tile_sink.cpp - the TIFF's tiles: each at the end of the file, within
 * the classic file's limit.
 */
#include "pyramid/tile_sink.h"

#include "pyramid/output_file.h"
#include "pyramid/output_size.h"

namespace nvx::pyramid {

TilePut TiffTileSink::Put(std::int64_t index, std::int64_t tileCount,
                          std::span<const std::uint8_t> tile) {
    // The tile goes at the end of the file; the level's directory, with
    // two entries per tile, after the last one.
    if (fileBytes_ != 0 && FileEnd(tiff_) + tile.size() + DirectoryBytes(tileCount) > fileBytes_) {
        return TilePut::FileLimit;
    }
    const auto size = static_cast<tmsize_t>(tile.size());
    // libtiff takes the buffer as writable but only reads it.
    if (TIFFWriteRawTile(tiff_, static_cast<std::uint32_t>(index),
                         const_cast<std::uint8_t*>(tile.data()), size) != size) {
        return TilePut::Refused;
    }
    return TilePut::Written;
}

RunRecord* TiffTileSink::Record() const { return RecordOf(tiff_); }

}  // namespace nvx::pyramid
