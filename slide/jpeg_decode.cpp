/*
 * jpeg_decode.cpp - JPEG stream to packed RGB with TurboJPEG.
 *
 * The size always comes from the stream's header, and a picture that would
 * not fit the destination is refused before anything is written into it.
 */
#include "slide/jpeg_decode.h"

namespace nvx::slide {

namespace {

// A call on `handle` failed: why, as far as TurboJPEG tells.
DecodeFailure FailureOf(tjhandle handle) {
    return TurboJpegRanOutOfMemory(handle) ? DecodeFailure::OutOfMemory : DecodeFailure::Unreadable;
}

}  // namespace

bool DecodeJpegToRgb(const std::uint8_t* stream, std::size_t length, std::uint8_t* pixels,
                     std::size_t capacity, JpegSize* size, DecodeFailure* failure) {
    DecodeFailure ignored;
    DecodeFailure& why = failure != nullptr ? *failure : ignored;
    *size = JpegSize{};
    why = DecodeFailure::Unreadable;
    const TurboJpegHandle handle(tjInitDecompress());
    // TurboJPEG makes an instance without fail but for want of memory.
    if (!handle) {
        why = DecodeFailure::OutOfMemory;
        return false;
    }
    JpegSize header;
    if (!ReadJpegHeader(handle.get(), stream, length, &header)) {
        why = FailureOf(handle.get());
        return false;
    }
    const std::size_t bytes = std::size_t(header.width) * std::size_t(header.height) * 3;
    if (pixels == nullptr || bytes > capacity) return false;
    if (!DecodeJpegRgb(handle.get(), stream, length, header, pixels, 0)) {
        why = FailureOf(handle.get());
        return false;
    }
    *size = header;
    why = DecodeFailure::None;
    return true;
}

}  // namespace nvx::slide
