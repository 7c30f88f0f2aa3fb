/*
 * jpeg_picture_source.cpp - JPEG pictures as slide sources. The decoded
 * picture is capped at 1 gigapixel (3 GB of RGB), beyond which a picture is
 * no sensible source for a slide.
 */
#include "tools/jpeg_picture_source.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>

#include "nvxlib/jpeg_codec.h"

namespace nvxmake {
namespace {
struct FileCloser {
    void operator()(std::FILE* f) const noexcept { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;
constexpr uint64_t kMaxPicturePixels = uint64_t{1} << 30;
}  // namespace

std::vector<uint8_t> ReadWholeFile(const std::string& path) {
    File f(std::fopen(path.c_str(), "rb"));
    if (!f) throw std::runtime_error("cannot open " + path + ": " + std::strerror(errno));
    std::vector<uint8_t> bytes;
    uint8_t chunk[65536];
    size_t n = 0;
    while ((n = std::fread(chunk, 1, sizeof chunk, f.get())) > 0)
        bytes.insert(bytes.end(), chunk, chunk + n);
    if (std::ferror(f.get())) throw std::runtime_error("cannot read " + path);
    return bytes;
}

bool LooksLikeJpeg(const std::string& path) {
    File f(std::fopen(path.c_str(), "rb"));
    uint8_t magic[3] = {};
    return f && std::fread(magic, 1, 3, f.get()) == 3 && magic[0] == 0xFF && magic[1] == 0xD8 &&
           magic[2] == 0xFF;
}

JpegPictureSource::JpegPictureSource(const std::string& path) {
    const std::vector<uint8_t> stream = ReadWholeFile(path);
    nvx::JpegSize size;
    auto rgb = nvx::DecodeJpeg(stream, size, kMaxPicturePixels);
    if (!rgb) throw std::runtime_error("cannot decode the JPEG picture " + path);
    image_ = RgbImage{uint32_t(size.width), uint32_t(size.height), std::move(*rgb)};
}

bool JpegPictureSource::Read(uint32_t x, uint32_t y, uint32_t w, uint32_t h, uint8_t* rgb) const {
    if (uint64_t(x) + w > image_.width || uint64_t(y) + h > image_.height) return false;
    for (uint32_t j = 0; j < h; ++j)
        std::memcpy(rgb + size_t(j) * w * 3, &image_.rgb[(size_t(y + j) * image_.width + x) * 3],
                    size_t(w) * 3);
    return true;
}

}  // namespace nvxmake
