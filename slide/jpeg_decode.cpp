/*
 * jpeg_decode.cpp - JPEG stream to packed RGB with TurboJPEG.
 *
 * The size always comes from the stream's header, and a picture that would
 * not fit the destination is refused before anything is written into it.
 */
#include "slide/jpeg_decode.h"

namespace nvx::slide {

JpegDecoder::JpegDecoder() : handle_(tjInitDecompress()) {}

bool JpegDecoder::ReadSize(const std::uint8_t* stream, std::size_t length, JpegSize* size) {
    *size = JpegSize{};
    return ReadJpegHeader(handle_.get(), stream, length, size);
}

bool JpegDecoder::Decode(const std::uint8_t* stream, std::size_t length, std::uint8_t* pixels,
                         std::size_t capacity, JpegSize* size) {
    *size = JpegSize{};
    JpegSize header;
    if (!ReadJpegHeader(handle_.get(), stream, length, &header)) return false;
    const std::size_t bytes = std::size_t(header.width) * std::size_t(header.height) * 3;
    if (pixels == nullptr || bytes > capacity) return false;
    if (!DecodeJpegRgb(handle_.get(), stream, length, header, pixels, 0)) return false;
    *size = header;
    return true;
}

bool ReadJpegSize(const std::uint8_t* stream, std::size_t length, JpegSize* size) {
    return JpegDecoder().ReadSize(stream, length, size);
}

bool DecodeJpegToRgb(const std::uint8_t* stream, std::size_t length, std::uint8_t* pixels,
                     std::size_t capacity, JpegSize* size) {
    return JpegDecoder().Decode(stream, length, pixels, capacity, size);
}

bool DecodeJpegToRgb(const std::uint8_t* stream, std::size_t length,
                     std::vector<std::uint8_t>* pixels, JpegSize* size) {
    *size = JpegSize{};
    JpegDecoder decoder;
    JpegSize header;
    if (!decoder.ReadSize(stream, length, &header)) return false;
    pixels->assign(std::size_t(header.width) * std::size_t(header.height) * 3, 0);
    if (!decoder.Decode(stream, length, pixels->data(), pixels->size(), size)) {
        pixels->clear();
        return false;
    }
    return true;
}

}  // namespace nvx::slide
