/*
 * pyramid_builder.h - turns a source's full-resolution pixels into the
 * stored levels of an nvx file.
 *
 * Level 0 is read one row of tiles at a time; every level k+1 tile is the
 * 2x2 average of four level k tiles, made as soon as the two level k tile
 * rows it needs are done. So only two tile rows per level are ever held in
 * memory, whatever the slide's size. White tiles are never encoded more than
 * once per size: they are flagged blank and share one stored stream.
 */
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "tools/nvx_file_writer.h"
#include "tools/progress_bar.h"
#include "tools/tile_source.h"

namespace nvxmake {

struct PyramidResult {
    std::vector<std::vector<nvx::TileEntry>> levels;  // row-major entries per level
    RgbImage smallest;                                // the last level's pixels
};

// Throws std::runtime_error when the source cannot be read.
PyramidResult BuildPyramid(const TileSource& source, uint32_t tileSize, int quality,
                           unsigned threads, NvxFileWriter& writer);

}  // namespace nvxmake
