/*
 * test_slides.cpp - helpers of the slide library tests. Slides are made
 * under a temporary name and renamed by nvxmake itself, so test processes
 * run in parallel by ctest can make the same slide without harm.
 */
#include "tests/nvxlib/test_slides.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>

#include <gtest/gtest.h>
#include <turbojpeg.h>

namespace nvxtest {

int RunNvxmake(const std::string& args) {
    const std::string cmd = std::string(NVXMAKE_PATH) + " " + args + " 2>/dev/null";
    const int rc = std::system(cmd.c_str());
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

std::string Slide(const std::string& name, const std::string& nvxmakeArgs) {
    std::filesystem::create_directories(NVX_TEST_SLIDES);
    const std::string path = std::string(NVX_TEST_SLIDES) + "/" + name;
    if (!std::filesystem::exists(path)) {
        EXPECT_EQ(RunNvxmake(nvxmakeArgs + " " + path), 0) << "nvxmake " << nvxmakeArgs;
    }
    return path;
}

std::string SyntheticSlide() {
    return Slide("synthetic-6000x4000.nvx", "--synthetic 6000x4000 --mpp 0.25");
}

std::string CmuSource() { return std::string(NVX_TEST_DATA) + "/CMU-1-Small-Region.svs"; }

std::string CmuSlide() { return Slide("cmu.nvx", "--from " + CmuSource()); }

OpenSlide::OpenSlide(const std::string& path) { ok_ = NvxOpenSlide(&handle_, path.c_str()) != 0; }

OpenSlide::~OpenSlide() {
    if (ok_) NvxCloseSlide(&handle_);
}

Fetched FetchTile(NvxSlideHandle h, float scale, int32_t x, int32_t y) {
    uint8_t* buffer = nullptr;
    Fetched f;
    NvxFetchTile(&h, scale, x, y, &f.length, &buffer);
    f.data.reset(buffer);
    return f;
}

Fetched FetchRegion(NvxSlideHandle h, float scale, int32_t x, int32_t y, int32_t w, int32_t hgt,
                    int32_t format) {
    uint8_t* buffer = nullptr;
    Fetched f;
    NvxFetchRegion(h, scale, x, y, w, hgt, &buffer, &f.length, format);
    f.data.reset(buffer);
    return f;
}

Image Decode(const uint8_t* data, size_t length) {
    Image img;
    if (data == nullptr || length == 0) return img;
    std::unique_ptr<void, int (*)(tjhandle)> tj(tjInitDecompress(), tjDestroy);
    int w = 0, h = 0, sub = 0, cs = 0;
    if (tjDecompressHeader3(tj.get(), data, length, &w, &h, &sub, &cs) != 0) return img;
    std::vector<uint8_t> rgb(size_t(w) * h * 3);
    if (tjDecompress2(tj.get(), data, length, rgb.data(), w, 0, h, TJPF_RGB, 0) != 0) return img;
    img = {w, h, std::move(rgb)};
    return img;
}

double MeanAbsDiff(const uint8_t* a, const uint8_t* b, size_t bytes) {
    uint64_t sum = 0;
    for (size_t i = 0; i < bytes; ++i) sum += uint64_t(std::abs(int(a[i]) - int(b[i])));
    return bytes == 0 ? 0 : double(sum) / double(bytes);
}

std::vector<uint8_t> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

std::string CopyOf(const std::string& source, const std::string& name) {
    // The folder is made afresh for each run of the suite, and a test may run first.
    std::filesystem::create_directories(NVX_TEST_SLIDES);
    const std::string path = std::string(NVX_TEST_SLIDES) + "/" + name;
    WriteFile(path, ReadFile(source));
    return path;
}

NvxEditor::NvxEditor(const std::string& path) : bytes(ReadFile(path)) {
    header = *nvx::DecodeHeader(bytes);
    for (uint32_t k = 0; k < header.levelCount; ++k)
        levels.push_back(nvx::DecodeLevelRecord(
            &bytes[header.levelTableOffset + size_t(k) * nvx::kLevelRecordSize]));
}

size_t NvxEditor::UniqueTile() {
    size_t best = 0;
    for (size_t i = 0; i < size_t(levels[0].columns) * levels[0].rows; ++i)
        if (Entry(0, i).length > Entry(0, best).length) best = i;
    return best;
}

void NvxEditor::Reseal() {
    std::vector<uint8_t> table(levels.size() * nvx::kLevelRecordSize);
    for (size_t k = 0; k < levels.size(); ++k) {
        const size_t n = size_t(levels[k].columns) * levels[k].rows * nvx::kTileEntrySize;
        if (levels[k].indexOffset <= bytes.size() && n <= bytes.size() - levels[k].indexOffset)
            levels[k].indexCrc = nvx::Crc32({&bytes[levels[k].indexOffset], n});
        nvx::EncodeLevelRecord(levels[k], &table[k * nvx::kLevelRecordSize]);
    }
    if (header.levelTableOffset <= bytes.size() &&
        table.size() <= bytes.size() - header.levelTableOffset)
        std::copy(table.begin(), table.end(), bytes.begin() + long(header.levelTableOffset));
    header.levelTableCrc = nvx::Crc32(table);
    header.fileSize = bytes.size();
    const auto h = nvx::EncodeHeader(header);
    std::copy(h.begin(), h.end(), bytes.begin());
}

}  // namespace nvxtest
