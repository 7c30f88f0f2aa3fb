/*
 * slide_info.h - `nvxmake --info`: a readable dump of an nvx file's header,
 * levels and pictures, after the same checks the slide library makes.
 */
#pragma once

#include <string>

namespace nvxmake {

// Prints to standard output; returns the process exit status.
int PrintSlideInfo(const std::string& path);

}  // namespace nvxmake
