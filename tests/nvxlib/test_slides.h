/*
 * test_slides.h - shared helpers of the slide library tests: test slides
 * made by nvxmake, RAII owners of slide handles and library buffers, JPEG
 * decoding, and byte patching of nvx files for the damaged-file and
 * digest cases.
 */
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "NvxSlideLib.h"
#include "nvxlib/nvx_format.h"

namespace nvxtest {

// Path of a test slide `name`, made with `nvxmakeArgs` when missing.
std::string Slide(const std::string& name, const std::string& nvxmakeArgs);

// The common small synthetic slide: 6000 x 4000, 40x, tile 256.
std::string SyntheticSlide();
// The real-tissue slide made from CMU-1-Small-Region.svs (20x, tile 240).
std::string CmuSlide();
std::string CmuSource();

// Runs nvxmake with the arguments; returns its exit status.
int RunNvxmake(const std::string& args);

struct BufferDeleter {
    void operator()(uint8_t* p) const noexcept { NvxReleaseBuffer(p); }
};
using LibBuffer = std::unique_ptr<uint8_t, BufferDeleter>;

// An open slide, closed on destruction.
class OpenSlide {
public:
    explicit OpenSlide(const std::string& path);
    ~OpenSlide();
    OpenSlide(const OpenSlide&) = delete;
    OpenSlide& operator=(const OpenSlide&) = delete;
    bool ok() const { return ok_; }
    NvxSlideHandle handle() const { return handle_; }

private:
    NvxSlideHandle handle_ = 0;
    bool ok_ = false;
};

struct Fetched {
    LibBuffer data;
    int32_t length = 0;
    std::vector<uint8_t> Bytes() const { return {data.get(), data.get() + length}; }
};

Fetched FetchTile(NvxSlideHandle h, float scale, int32_t x, int32_t y);
Fetched FetchRegion(NvxSlideHandle h, float scale, int32_t x, int32_t y, int32_t w, int32_t hgt,
                    int32_t format);

struct Image {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> rgb;
};
// Decodes a JPEG stream; width 0 when it does not decode.
Image Decode(const uint8_t* data, size_t length);

// Mean absolute difference per channel value of two equal-sized RGB buffers.
double MeanAbsDiff(const uint8_t* a, const uint8_t* b, size_t bytes);

// A fresh copy of `source` under the test folder, for damaging.
std::string CopyOf(const std::string& source, const std::string& name);
std::vector<uint8_t> ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes);

// Edits an nvx file in memory and can re-seal it, i.e. recompute the
// checksums, so that a test reaches the check behind them.
struct NvxEditor {
    std::vector<uint8_t> bytes;
    nvx::Header header;
    std::vector<nvx::LevelRecord> levels;

    explicit NvxEditor(const std::string& path);
    uint8_t* EntryAt(uint32_t level, size_t i) {
        return &bytes[levels[level].indexOffset + i * nvx::kTileEntrySize];
    }
    nvx::TileEntry Entry(uint32_t level, size_t i) {
        return nvx::DecodeTileEntry(EntryAt(level, i));
    }
    // The level-0 tile with the longest stream: tissue, stored only once.
    size_t UniqueTile();
    // Recomputes what lies inside the file; an index or table that an edit
    // moved outside keeps its old checksum.
    void Reseal();
};

}  // namespace nvxtest
