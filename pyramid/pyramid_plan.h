/*
 * pyramid_plan.h - the shape of the output file, worked out once before
 * anything is written: how many directories it holds, which directory is
 * which pyramid level at which scale factor. Pure functions, no I/O.
 */
#pragma once

#include <cstdint>
#include <vector>

#include "pyramid/output_format.h"

namespace nvx::pyramid {

// One pyramid level: where it sits in the file and its size in its own pixels.
struct LevelPlan {
    std::int32_t directoryIndex = 0;  // 1-based position in the file
    float scaleFactor = 1.0f;         // full-resolution pixels per level pixel
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int32_t originX = 0;
    std::int32_t originY = 0;
    int jpegQuality = kFullQuality;
};

struct PyramidPlan {
    std::int32_t directoryCount = 0;  // n: the total of every PageNumber
    std::vector<LevelPlan> levels;    // directory 1, then 3, 4, ... (2 is the thumbnail)
};

// Plans the file for a box of width x height full-resolution pixels at
// (originX, originY). Levels whose width or height would be 0 are left out,
// and the directory count counts only what is written; a box with a zero side
// gives a plan without levels.
PyramidPlan MakePyramidPlan(std::int32_t originX, std::int32_t originY, std::int32_t width,
                            std::int32_t height, std::int32_t layers, bool regionMode);

// The scale factor of the level at directory index 3, from the box's size.
float FirstReducedScaleFactor(std::int32_t width, std::int32_t height);

// The microns per pixel written into the descriptions: 0 means "not
// recorded", which is replaced by the usual value for 20x and 40x scans.
float EffectiveMicronsPerPixel(std::int32_t scanMagnification, float micronsPerPixel);

}  // namespace nvx::pyramid
