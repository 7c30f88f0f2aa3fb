/*
 * library_versions.cpp - the versions --version prints.
 */
#include "cli/library_versions.h"

#include <cstdio>

// jpeglib.h needs FILE and size_t declared before it.
#include <jpeglib.h>
#include <tiffio.h>

namespace nvx::cli {

const char* ProgramVersion() { return NVX2SVS_VERSION; }

std::string VersionFromLibtiffBanner(const std::string& banner) {
    const std::string firstLine = banner.substr(0, banner.find('\n'));
    const std::string marker = "Version ";
    const std::size_t at = firstLine.rfind(marker);
    if (at == std::string::npos || at + marker.size() == firstLine.size()) return firstLine;
    return firstLine.substr(at + marker.size());
}

std::string VersionFromLibjpegTurboNumber(long number) {
    return std::to_string(number / 1000000) + "." + std::to_string(number / 1000 % 1000) + "." +
           std::to_string(number % 1000);
}

std::string LibtiffVersion() { return VersionFromLibtiffBanner(TIFFGetVersion()); }

std::string LibjpegTurboVersion() {
    return VersionFromLibjpegTurboNumber(LIBJPEG_TURBO_VERSION_NUMBER);
}

}  // namespace nvx::cli
