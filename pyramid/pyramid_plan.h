/*
 * pyramid_plan.h - the shape of the output file, worked out once before
 * anything is written: how many directories it holds, which directory is
 * which pyramid level at which scale factor. Pure functions, no I/O.
 */
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "pyramid/output_format.h"

namespace nvx::pyramid {

// Scan magnifications a slide may have: the objective powers of microscopes
// and a wide margin. Anything else is a header that cannot be true.
inline constexpr std::int32_t kMinScanMagnification = 1;
inline constexpr std::int32_t kMaxScanMagnification = 1000;
bool IsPlausibleScanMagnification(std::int32_t scanMagnification);

// One pyramid level: where it sits in the file and its size in its own pixels.
struct LevelPlan {
    std::int32_t directoryIndex = 0;  // 1-based position in the file
    float scaleFactor = 1.0f;         // full-resolution pixels per level pixel
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int32_t originX = 0;
    std::int32_t originY = 0;
    int jpegQuality = kFullQuality;
    // The slide's stored tiles go into the file as they are (--tiles copy,
    // a level that is one of the slide's own: PlanCopiedLevels): a YCbCr
    // directory whose tiles each carry their own tables, at the stored quality.
    bool storedTiles = false;
    // YCbCr 4:2:0 tiles (--chroma 420), unless the level is of stored tiles,
    // which stay as they were stored.
    bool chroma420 = false;
};

// The label and macro the file will hold: the ones the slide has.
struct PlannedPictures {
    bool label = true;
    bool macro = true;
};

struct PyramidPlan {
    std::int32_t directoryCount = 0;  // n: the total of every PageNumber
    std::vector<LevelPlan> levels;    // directory 1, then 3, 4, ... (2 is the thumbnail)
    PlannedPictures pictures;
    std::int32_t labelPage = 0;  // the label's directory index (its PageNumber); 0: no label
};

// Plans the file for a box of width x height full-resolution pixels at
// (originX, originY). Levels whose width or height would be 0 are left out,
// and the directory count counts only what is written: the levels, the
// thumbnail, and the label and macro the slide has. A box with a zero side
// gives a plan without levels. The levels' qualities and subsampling are
// `encoding`'s.
PyramidPlan MakePyramidPlan(std::int32_t originX, std::int32_t originY, std::int32_t width,
                            std::int32_t height, std::int32_t layers, bool regionMode,
                            PlannedPictures pictures = {}, const EncodingChoices& encoding = {});
// Plans `pictures` (the label and the macro the slide has) into a plan
// with levels: its directory count and the label's page.
void PlanPictures(PyramidPlan* plan, PlannedPictures pictures);

// The level of the slide's own that `level` is, when it is one: the slide
// stores level k as floor(width / 2^k) x floor(height / 2^k) in tiles of
// `tileSize`, from k = 0 to the first level that fits in one tile, or the
// last before a side would reach zero (docs/nvx-format.md). `level` is one
// when its scale factor is 2^k for such a k, its origin is (0, 0) and its
// size is that level's, exactly. Its tiles are then the stored ones.
std::optional<std::int32_t> StoredLevelOf(const LevelPlan& level, std::int32_t slideWidth,
                                          std::int32_t slideHeight, std::int32_t tileSize);

// Marks every level of `plan` that is one of the slide's own (StoredLevelOf)
// as a level of copied tiles; the others are made as without --tiles copy.
void PlanCopiedLevels(PyramidPlan* plan, std::int32_t slideWidth, std::int32_t slideHeight,
                      std::int32_t tileSize);

// The scale factor of the level at directory index 3, from the box's size.
float FirstReducedScaleFactor(std::int32_t width, std::int32_t height);

// The slide's microns per pixel as far as it can be true: a value that is
// not finite, not positive or above a millimetre a pixel counts as not
// recorded (0).
inline constexpr float kMaxMicronsPerPixel = 1000.0f;
float RecordedMicronsPerPixel(float micronsPerPixel);

// The microns per pixel written into the descriptions: one not recorded is
// replaced by the usual value for 20x and 40x scans.
float EffectiveMicronsPerPixel(std::int32_t scanMagnification, float micronsPerPixel);

// True when the descriptions carry that usual value rather than the slide's own.
bool UsesUsualMicronsPerPixel(std::int32_t scanMagnification, float micronsPerPixel);

}  // namespace nvx::pyramid
