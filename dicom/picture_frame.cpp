/*
 * picture_frame.cpp - libjpeg's baseline encoder with the RGB colour space
 * kept as it is, fed by jpeg_write_scanlines a row at a time into a buffer
 * of libjpeg's own (jpeg_mem_dest), which grows with the compressed bytes.
 */
#include "dicom/picture_frame.h"

#include <cstdlib>
#include <new>
#include <utility>

#include "common/libjpeg_errors.h"

namespace nvx::dicom {

struct PictureFrameEncoder::State {
    jpeg_compress_struct info{};
    ErrorJump error{};
    Failure failure = Failure::None;
    bool created = false;
    bool started = false;
    unsigned char* buffer = nullptr;  // libjpeg's (malloc), ours to free
    unsigned long size = 0;
};

namespace {

// After a jump back from libjpeg: why the encode failed.
bool Failed(PictureFrameEncoder::State* s) {
    s->failure = RanOutOfMemory(s->error) ? PictureFrameEncoder::Failure::OutOfMemory
                                          : PictureFrameEncoder::Failure::Refused;
    return false;
}

bool Refused(PictureFrameEncoder::State* s) {
    if (s->failure == PictureFrameEncoder::Failure::None)
        s->failure = PictureFrameEncoder::Failure::Refused;
    return false;
}

}  // namespace

PictureFrameEncoder::PictureFrameEncoder() : state_(std::make_unique<State>()) {}

PictureFrameEncoder::~PictureFrameEncoder() {
    if (state_->created) jpeg_destroy_compress(&state_->info);
    std::free(state_->buffer);
}

bool PictureFrameEncoder::Start(std::uint32_t width, std::uint32_t height, int quality) {
    constexpr std::uint32_t kMaxSide = 65535;
    State& s = *state_;
    if (s.created || s.failure != Failure::None) return Refused(&s);
    if (width == 0 || height == 0 || width > kMaxSide || height > kMaxSide) return Refused(&s);
    if (quality < 1 || quality > 100) return Refused(&s);
    // Nothing with a destructor lives between here and libjpeg's jumps.
    CatchErrors(reinterpret_cast<j_common_ptr>(&s.info), &s.error);
    if (setjmp(s.error.jump) != 0) return Failed(&s);
    jpeg_create_compress(&s.info);
    s.created = true;
    jpeg_mem_dest(&s.info, &s.buffer, &s.size);
    s.info.image_width = width;
    s.info.image_height = height;
    s.info.input_components = 3;
    s.info.in_color_space = JCS_RGB;
    jpeg_set_defaults(&s.info);
    // R, G and B as they are, each at full resolution, with the Adobe
    // marker that tells decoders so.
    jpeg_set_colorspace(&s.info, JCS_RGB);
    jpeg_set_quality(&s.info, quality, TRUE);
    s.info.optimize_coding = FALSE;  // see picture_frame.h
    s.info.dct_method = JDCT_ISLOW;  // the same bytes on every platform
    jpeg_start_compress(&s.info, TRUE);
    s.started = true;
    return true;
}

bool PictureFrameEncoder::WriteRow(const std::uint8_t* row) {
    State& s = *state_;
    if (!s.started || s.failure != Failure::None || s.info.next_scanline >= s.info.image_height)
        return Refused(&s);
    if (setjmp(s.error.jump) != 0) return Failed(&s);
    JSAMPROW rows[1] = {const_cast<JSAMPROW>(row)};
    if (jpeg_write_scanlines(&s.info, rows, 1) != 1) return Refused(&s);
    return true;
}

bool PictureFrameEncoder::Finish(std::vector<std::uint8_t>* frame) {
    State& s = *state_;
    if (!s.started || s.failure != Failure::None || s.info.next_scanline < s.info.image_height)
        return Refused(&s);
    if (setjmp(s.error.jump) != 0) return Failed(&s);
    jpeg_finish_compress(&s.info);
    s.started = false;
    frame->assign(s.buffer, s.buffer + s.size);
    return true;
}

PictureFrameEncoder::Failure PictureFrameEncoder::failure() const { return state_->failure; }

bool EncodePictureFrame(std::span<const std::uint8_t> rgb, std::uint32_t width,
                        std::uint32_t height, int quality, std::vector<std::uint8_t>* frame) {
    if (rgb.size() != std::size_t{width} * height * 3) return false;
    PictureFrameEncoder encoder;
    bool done = encoder.Start(width, height, quality);
    for (std::uint32_t y = 0; done && y < height; ++y)
        done = encoder.WriteRow(rgb.data() + std::size_t{y} * width * 3);
    std::vector<std::uint8_t> encoded;
    if (done) done = encoder.Finish(&encoded);
    if (encoder.failure() == PictureFrameEncoder::Failure::OutOfMemory) throw std::bad_alloc();
    if (!done) return false;
    *frame = std::move(encoded);
    return true;
}

}  // namespace nvx::dicom
