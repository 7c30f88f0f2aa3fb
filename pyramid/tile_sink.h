/*
 * tile_sink.h - where a level's finished tiles go, one at a time in raster
 * order, under the level writer's lock: a tiled TIFF directory (TiffTileSink)
 * or the frames of a DICOM instance (dicom_output.h). The level writer
 * knows nothing of the output's format but through this.
 */
#pragma once

#include <tiffio.h>

#include <cstdint>
#include <span>
#include <vector>

#include "common/run_record.h"

namespace nvx::pyramid {

enum class TilePut {
    Written,
    Refused,    // the output refused the write (a full disk, a size limit)
    FileLimit,  // the tile would take the output past its limit
};

class TileSink {
public:
    virtual ~TileSink() = default;
    // Makes `tile` what Put is to be given, on the worker's thread, outside
    // the level's lock (any thread may call it at once); false when it
    // cannot. Put then gets the tile in its turn.
    virtual bool Prepare(std::vector<std::uint8_t>* /*tile*/) const { return true; }
    // Writes tile `index` of `tileCount`; every tile before it was written.
    virtual TilePut Put(std::int64_t index, std::int64_t tileCount,
                        std::span<const std::uint8_t> tile) = 0;
    // The run's record every failure of the level goes to; null for none.
    virtual RunRecord* Record() const = 0;
};

// The level's directory in a tiled TIFF, the tiles written as they are.
class TiffTileSink : public TileSink {
public:
    // `fileBytes`: the most the file may hold, the level's directory
    // included; 0 for no limit.
    TiffTileSink(TIFF* tiff, std::uint64_t fileBytes) : tiff_(tiff), fileBytes_(fileBytes) {}
    TilePut Put(std::int64_t index, std::int64_t tileCount,
                std::span<const std::uint8_t> tile) override;
    RunRecord* Record() const override;

private:
    TIFF* const tiff_;
    const std::uint64_t fileBytes_;
};

}  // namespace nvx::pyramid
