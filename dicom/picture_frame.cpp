/*
 * picture_frame.cpp - libjpeg's baseline encoder with the RGB colour space
 * kept as it is, into a buffer of libjpeg's own.
 */
#include "dicom/picture_frame.h"

#include <cstdlib>
#include <memory>
#include <new>

#include "common/libjpeg_errors.h"

namespace nvx::dicom {
namespace {

enum class Outcome { Encoded, Failed, OutOfMemory };

// Nothing with a destructor lives here: libjpeg's errors jump back to the
// setjmp. `out` receives a buffer of libjpeg's (malloc), also on failure.
Outcome Encode(const std::uint8_t* rgb, JDIMENSION width, JDIMENSION height, int quality,
               unsigned char** out, unsigned long* size) {
    jpeg_compress_struct info{};
    ErrorJump error;
    CatchErrors(reinterpret_cast<jpeg_common_struct*>(&info), &error);
    if (setjmp(error.jump) != 0) {
        const Outcome outcome = RanOutOfMemory(error) ? Outcome::OutOfMemory : Outcome::Failed;
        jpeg_destroy_compress(&info);
        return outcome;
    }
    jpeg_create_compress(&info);
    jpeg_mem_dest(&info, out, size);
    info.image_width = width;
    info.image_height = height;
    info.input_components = 3;
    info.in_color_space = JCS_RGB;
    jpeg_set_defaults(&info);
    // R, G and B as they are, each at full resolution, with the Adobe
    // marker that tells decoders so.
    jpeg_set_colorspace(&info, JCS_RGB);
    jpeg_set_quality(&info, quality, TRUE);
    info.optimize_coding = TRUE;
    info.dct_method = JDCT_ISLOW;  // the same bytes on every platform
    jpeg_start_compress(&info, TRUE);
    while (info.next_scanline < info.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(rgb + std::size_t{info.next_scanline} * width * 3);
        jpeg_write_scanlines(&info, &row, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    return Outcome::Encoded;
}

struct FreeBuffer {
    void operator()(unsigned char* buffer) const { std::free(buffer); }
};

}  // namespace

bool EncodePictureFrame(std::span<const std::uint8_t> rgb, std::uint32_t width,
                        std::uint32_t height, int quality, std::vector<std::uint8_t>* frame) {
    constexpr std::uint32_t kMaxSide = 65535;
    if (width == 0 || height == 0 || width > kMaxSide || height > kMaxSide) return false;
    if (rgb.size() != std::size_t{width} * height * 3 || quality < 1 || quality > 100) return false;
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    const Outcome outcome = Encode(rgb.data(), width, height, quality, &buffer, &size);
    const std::unique_ptr<unsigned char, FreeBuffer> owned(buffer);
    if (outcome == Outcome::OutOfMemory) throw std::bad_alloc();
    if (outcome != Outcome::Encoded) return false;
    frame->assign(buffer, buffer + size);
    return true;
}

}  // namespace nvx::dicom
