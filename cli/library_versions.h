/*
 * library_versions.h - the versions of nvx2svs and of the libraries it
 * writes with, as --version names them.
 */
#pragma once

#include <string>

namespace nvx::cli {

// This program's version, the project's one version number ("0.1.0").
const char* ProgramVersion();

// The version of the libtiff the program runs with ("4.5.0"), read from the
// library itself; its whole first line when it is not in the usual form.
std::string LibtiffVersion();

// The version of libjpeg-turbo the program was built against ("2.1.5"):
// the library has no run-time query, and its soname stays the same across
// its releases.
std::string LibjpegTurboVersion();

// The version number at the end of libtiff's banner ("LIBTIFF, Version
// 4.5.0\nCopyright ..."), or its whole first line.
std::string VersionFromLibtiffBanner(const std::string& banner);

// "2.1.5" from libjpeg-turbo's number 2001005 (major * 1000000 + minor * 1000 + patch).
std::string VersionFromLibjpegTurboNumber(long number);

}  // namespace nvx::cli
