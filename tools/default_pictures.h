/*
 * default_pictures.h - the label and preview pictures nvxmake makes when
 * neither the source nor the command line gives them: a paper label with a
 * 2D code and lines of "writing" (600 x 600), and a macro photograph of the
 * glass slide (1500 x 500) showing that label and the tissue.
 */
#pragma once

#include <cstdint>

#include "tools/tile_source.h"

namespace nvxmake {

RgbImage MakeLabel(uint32_t seed);

// `tissue` is a small picture of the whole slide (may be empty).
RgbImage MakePreview(const RgbImage& label, const RgbImage& tissue);

}  // namespace nvxmake
