/*
 * jpeg_decode.cpp - JPEG stream to packed RGB with TurboJPEG.
 *
 * Every stream gets a decompressor of its own; the size always comes from
 * the stream's header, and a picture that would not fit the destination is
 * refused before anything is written into it.
 */
#include "slide/jpeg_decode.h"

#include <turbojpeg.h>

#include <limits>
#include <memory>
#include <type_traits>

namespace nvx::slide {
namespace {

struct DecompressorDestroy {
    void operator()(void* handle) const { tjDestroy(handle); }
};
using Decompressor = std::unique_ptr<std::remove_pointer_t<tjhandle>, DecompressorDestroy>;

bool ReadHeader(tjhandle handle, const std::uint8_t* stream, std::size_t length, JpegSize* size) {
    if (stream == nullptr || length == 0 || length > std::numeric_limits<unsigned long>::max())
        return false;
    int width = 0, height = 0, subsampling = 0, colorspace = 0;
    if (tjDecompressHeader3(handle, stream, static_cast<unsigned long>(length), &width, &height,
                            &subsampling, &colorspace) != 0)
        return false;
    if (width <= 0 || height <= 0) return false;
    size->width = width;
    size->height = height;
    return true;
}

}  // namespace

bool ReadJpegSize(const std::uint8_t* stream, std::size_t length, JpegSize* size) {
    *size = JpegSize{};
    Decompressor handle(tjInitDecompress());
    return handle && ReadHeader(handle.get(), stream, length, size);
}

bool DecodeJpegToRgb(const std::uint8_t* stream, std::size_t length, std::uint8_t* pixels,
                     std::size_t capacity, JpegSize* size) {
    *size = JpegSize{};
    Decompressor handle(tjInitDecompress());
    JpegSize header;
    if (!handle || !ReadHeader(handle.get(), stream, length, &header)) return false;
    const std::size_t bytes = std::size_t(header.width) * std::size_t(header.height) * 3;
    if (pixels == nullptr || bytes > capacity) return false;
    if (tjDecompress2(handle.get(), stream, static_cast<unsigned long>(length), pixels,
                      header.width, 0, header.height, TJPF_RGB, 0) != 0)
        return false;
    *size = header;
    return true;
}

bool DecodeJpegToRgb(const std::uint8_t* stream, std::size_t length,
                     std::vector<std::uint8_t>* pixels, JpegSize* size) {
    *size = JpegSize{};
    JpegSize header;
    if (!ReadJpegSize(stream, length, &header)) return false;
    pixels->assign(std::size_t(header.width) * std::size_t(header.height) * 3, 0);
    if (!DecodeJpegToRgb(stream, length, pixels->data(), pixels->size(), size)) {
        pixels->clear();
        return false;
    }
    return true;
}

}  // namespace nvx::slide
