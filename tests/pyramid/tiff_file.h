/*
 * tiff_file.h - an owned libtiff handle for the tests, and a new TIFF to
 * write levels into without going through the output file's publishing.
 */
#pragma once

#include <tiffio.h>

#include <memory>
#include <string>

namespace nvx::pyramid::testing {

struct TiffClose {
    void operator()(TIFF* tiff) const { TIFFClose(tiff); }
};
using TiffFile = std::unique_ptr<TIFF, TiffClose>;

// Creates or truncates `path` as a classic TIFF for writing.
inline TiffFile CreateTiffForWriting(const std::string& path) {
    return TiffFile(TIFFOpen(path.c_str(), "w"));
}

}  // namespace nvx::pyramid::testing
