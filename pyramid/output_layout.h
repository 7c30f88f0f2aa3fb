/*
 * output_layout.h - the one place that fixes the output file's format: the
 * classic TIFF handle, the tag set of each kind of directory in the order it
 * is set, and the ImageDescription and Software texts.
 *
 * Every image is 8-bit RGB, JPEG-compressed with libtiff's default JPEG
 * colour mode and tables mode (RGB streams, no subsampling, one JPEGTables
 * per directory), but for a level of stored tiles (YCbCr without
 * subsampling, each tile with its own tables) and the levels of a run that
 * chose 4:2:0 (YCbCr, YCbCrSubsampling 2 2, one JPEGTables per directory, as
 * libtiff's codec writes them). Compression is always set before the JPEG
 * quality, which libtiff only knows once JPEG compression is chosen.
 */
#pragma once

#include <tiffio.h>

#include <cstdint>
#include <string>
#include <vector>

#include "pyramid/output_format.h"
#include "pyramid/pyramid_plan.h"

namespace nvx::pyramid {

inline constexpr const char* kSoftware = "NORVEX";
inline constexpr int kAssociatedResolution = 150;  // pixels per inch

// What every pyramid level's directory says beside its own size and quality.
struct SharedLevelTags {
    std::int32_t pageCount = 0;
    std::int32_t tileSize = 0;
    std::int32_t scanMagnification = 0;
    float micronsPerPixel = 0.0f;
    int describedQuality = kFullQuality;  // the Q= of every level but one of stored tiles
};

// "Aperio Image Format\r\nWxH [0,0 WxH] (TxT) JPEG/RGB Q=60|AppMag = M|MPP = %f".
// Q= is kFullQuality on every level, also on those encoded at
// kReducedQuality (see output_format.h), or the quality the run chose;
// AppMag and MPP are the full-resolution values.
// A level of copied tiles says the quality they were stored at (`quality`).
std::string LevelDescription(std::int32_t width, std::int32_t height, std::int32_t tileSize,
                             std::int32_t scanMagnification, float micronsPerPixel,
                             int quality = kFullQuality);
// "Aperio Image Format\nlabel WxH": marks the directory as the label for readers.
std::string LabelDescription(std::int32_t width, std::int32_t height);
// "|macro = macro|\nmacro WxH".
std::string MacroDescription(std::int32_t width, std::int32_t height);

// Each sets its tags and gives false when libtiff refused any of them: the
// directory would not say what it must, and the run fails.
//
// NewSubfileType 2 of the first directory, set once right after the file is created.
bool SetFirstLevelSubfileType(TIFF* tiff);
// The tiled pyramid level's tags, from PageNumber to the JPEG quality. A
// level of copied tiles is YCbCr (Photometric 6) without subsampling, as
// the tiles it copies are; a 4:2:0 level is YCbCr with YCbCrSubsampling 2 2
// and the ReferenceBlackWhite libtiff's codec gives such a directory.
bool SetLevelTags(TIFF* tiff, const LevelPlan& level, const SharedLevelTags& shared);
// JPEGTables of a level whose tiles are encoded outside libtiff; false
// for empty tables (TablesFor's when libjpeg refused) too.
bool SetJpegTables(TIFF* tiff, const std::vector<std::uint8_t>& tables);
// The single-strip associated images; w and h come from the decoded stream.
bool SetThumbnailTags(TIFF* tiff, std::int32_t pageCount, std::int32_t width, std::int32_t height,
                      int quality = kReducedQuality);
bool SetLabelTags(TIFF* tiff, std::int32_t page, std::int32_t pageCount, std::int32_t width,
                  std::int32_t height, int quality = kFullQuality);
bool SetMacroTags(TIFF* tiff, std::int32_t width, std::int32_t height, int quality = kFullQuality);

}  // namespace nvx::pyramid
