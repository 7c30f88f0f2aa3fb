/*
 * jpeg_row_decoder.cpp - libjpeg decompression from memory, one scanline at
 * a time, with libjpeg's fatal errors and warnings turned into a false
 * result instead of an exit of the process (common/libjpeg_errors.h). A
 * warning (corrupt data that libjpeg would paper over with grey) fails the
 * decode too.
 */
#include "slide/jpeg_row_decoder.h"

#include "common/libjpeg_errors.h"

namespace nvx::slide {

struct JpegRowDecoder::State {
    jpeg_decompress_struct info{};
    ErrorJump error{};
    Failure failure = Failure::None;
    const std::uint8_t* stream = nullptr;
    std::size_t length = 0;
    bool created = false;
    bool started = false;
    JpegSize size;
};

JpegRowDecoder::JpegRowDecoder(const std::uint8_t* stream, std::size_t length)
    : state_(std::make_unique<State>()) {
    state_->stream = stream;
    state_->length = length;
}

namespace {

// After a jump back from libjpeg: why the decode failed.
bool Failed(JpegRowDecoder::State* s) {
    s->failure = RanOutOfMemory(s->error) ? JpegRowDecoder::Failure::OutOfMemory
                                          : JpegRowDecoder::Failure::Unreadable;
    return false;
}

}  // namespace

JpegRowDecoder::~JpegRowDecoder() {
    if (state_->created) jpeg_destroy_decompress(&state_->info);
}

bool JpegRowDecoder::Start() {
    State& s = *state_;
    if (s.created) return false;
    s.failure = Failure::Unreadable;
    if (s.stream == nullptr || s.length == 0 || s.length > kMaxJpegStreamLength) return false;
    CatchErrors(reinterpret_cast<j_common_ptr>(&s.info), &s.error, LibjpegWarnings::Fail);
    if (setjmp(s.error.jump) != 0) return Failed(&s);
    jpeg_create_decompress(&s.info);
    s.created = true;
    jpeg_mem_src(&s.info, s.stream, static_cast<unsigned long>(s.length));
    if (jpeg_read_header(&s.info, TRUE) != JPEG_HEADER_OK) return false;
    // What TurboJPEG's whole-picture decode into RGB asks of libjpeg.
    s.info.out_color_space = JCS_RGB;
    jpeg_start_decompress(&s.info);
    if (s.info.output_components != 3 || s.info.output_width == 0 || s.info.output_height == 0)
        return false;
    s.size =
        JpegSize{static_cast<int>(s.info.output_width), static_cast<int>(s.info.output_height)};
    s.started = true;
    s.failure = Failure::None;
    return true;
}

JpegSize JpegRowDecoder::size() const { return state_->size; }

bool JpegRowDecoder::ReadRow(std::uint8_t* row) {
    State& s = *state_;
    if (!s.started || s.failure != Failure::None || s.info.output_scanline >= s.info.output_height)
        return false;
    if (setjmp(s.error.jump) != 0) return Failed(&s);
    JSAMPROW rows[1] = {row};
    if (jpeg_read_scanlines(&s.info, rows, 1) != 1) {
        s.failure = Failure::Unreadable;
        return false;
    }
    return true;
}

bool JpegRowDecoder::Finish() {
    State& s = *state_;
    if (!s.started || s.failure != Failure::None || s.info.output_scanline < s.info.output_height)
        return false;
    if (setjmp(s.error.jump) != 0) return Failed(&s);
    jpeg_finish_decompress(&s.info);
    s.started = false;
    return true;
}

JpegRowDecoder::Failure JpegRowDecoder::failure() const { return state_->failure; }

}  // namespace nvx::slide
