/*
 * open_failure.h - telling the user why a slide did not open or its header
 * could not be read: the installation (the slide library, its entry
 * points), the input itself (missing, unreadable, not a file), or the
 * library's verdict on the file.
 */
#pragma once

#include <string>

#include "slide/library_binding.h"

namespace nvx::cli {

// One line on standard error. Call before the library is unloaded: it asks
// the library for its reason.
void ExplainOpenFailure(const std::string& path, slide::OpenFailure why);

// One line on standard error for a header that could not be read.
void ExplainQueryFailure(const std::string& path);

}  // namespace nvx::cli
