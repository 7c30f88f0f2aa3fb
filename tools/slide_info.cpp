/*
 * slide_info.cpp - prints what an nvx file holds, including how many tiles
 * of each level share a stored stream (blank background mostly).
 */
#include "tools/slide_info.h"

#include <cstdio>
#include <set>

#include "nvxlib/slide_file.h"

namespace nvxmake {

int PrintSlideInfo(const std::string& path) {
    std::string why;
    auto file = nvx::SlideFile::Open(path.c_str(), &why);
    if (!file) {
        std::fprintf(stderr, "nvxmake: %s: %s\n", path.c_str(), why.c_str());
        return 1;
    }
    const nvx::Header& h = file->header();
    std::printf("file: %s\n", path.c_str());
    std::printf("format version: %u\n", nvx::kFormatVersion);
    std::printf("size: %u x %u\n", h.width, h.height);
    std::printf("scan magnification: %u\n", h.scanMagnification);
    std::printf("microns per pixel: %g\n", double(h.micronsPerPixel));
    std::printf("tile size: %u\n", h.tileSize);
    std::printf("aux: %g %g\n", double(h.auxFloat), h.auxDouble);
    std::printf("file size: %llu bytes\n", static_cast<unsigned long long>(h.fileSize));
    std::printf("levels: %zu\n", file->levels().size());
    for (size_t k = 0; k < file->levels().size(); ++k) {
        const nvx::StoredLevel& l = file->levels()[k];
        std::set<uint64_t> distinct;
        for (const nvx::TileEntry& e : l.tiles) distinct.insert(e.offset);
        std::printf("  level %zu: %u x %u, magnification %g, %u x %u tiles, %zu distinct streams\n",
                    k, l.shape.width, l.shape.height, double(h.scanMagnification) / double(1u << k),
                    l.shape.columns, l.shape.rows, distinct.size());
    }
    const auto picture = [](const char* name, const nvx::PictureRef& p) {
        if (p.length == 0)
            std::printf("%s: none\n", name);
        else
            std::printf("%s: %u x %u, %u bytes JPEG\n", name, p.width, p.height, p.length);
    };
    picture("label", h.label);
    picture("preview", h.preview);
    return 0;
}

}  // namespace nvxmake
