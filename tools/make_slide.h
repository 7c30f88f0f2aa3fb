/*
 * make_slide.h - one nvxmake run that writes a slide: choose the source,
 * build the pyramid, add label and preview, write the header.
 */
#pragma once

#include "tools/nvxmake_options.h"

namespace nvxmake {

// Throws std::runtime_error with a message for the user.
void MakeSlide(const MakeOptions& options);

}  // namespace nvxmake
