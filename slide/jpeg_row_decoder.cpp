/*
 * jpeg_row_decoder.cpp - libjpeg decompression from memory, one scanline at
 * a time, with libjpeg's fatal errors and warnings turned into a false
 * result instead of an exit of the process.
 *
 * libjpeg reports fatal errors by calling error_exit, which must not return;
 * ours jumps back to the setjmp in the call that started the work. A warning
 * (corrupt data that libjpeg would paper over with grey) jumps back too.
 * Nothing with a destructor lives between a setjmp and its longjmp.
 */
#include "slide/jpeg_row_decoder.h"

#include <csetjmp>
#include <cstdio>

// jpeglib.h needs size_t and FILE declared before it.
#include <jpeglib.h>
// After jpeglib.h: the message codes, for telling memory from damage.
#include <jerror.h>

namespace nvx::slide {

namespace {

struct ErrorJump {
    jpeg_error_mgr manager;
    std::jmp_buf jump;
    JpegRowDecoder::Failure failure;
};

void ExitThroughJump(j_common_ptr info) {
    auto* error = reinterpret_cast<ErrorJump*>(info->err);
    error->failure = error->manager.msg_code == JERR_OUT_OF_MEMORY
                         ? JpegRowDecoder::Failure::OutOfMemory
                         : JpegRowDecoder::Failure::Unreadable;
    std::longjmp(error->jump, 1);
}

// Level -1 is a warning: the data is damaged. Trace messages are dropped.
void StopOnWarning(j_common_ptr info, int level) {
    if (level >= 0) return;
    auto* error = reinterpret_cast<ErrorJump*>(info->err);
    error->failure = JpegRowDecoder::Failure::Unreadable;
    std::longjmp(error->jump, 1);
}

}  // namespace

struct JpegRowDecoder::State {
    jpeg_decompress_struct info{};
    ErrorJump error{};
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

JpegRowDecoder::~JpegRowDecoder() {
    if (state_->created) jpeg_destroy_decompress(&state_->info);
}

bool JpegRowDecoder::Start() {
    State& s = *state_;
    if (s.created) return false;
    s.error.failure = Failure::Unreadable;
    if (s.stream == nullptr || s.length == 0 || s.length > kMaxJpegStreamLength) return false;
    s.info.err = jpeg_std_error(&s.error.manager);
    s.error.manager.error_exit = ExitThroughJump;
    s.error.manager.emit_message = StopOnWarning;
    if (setjmp(s.error.jump) != 0) return false;
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
    s.error.failure = Failure::None;
    return true;
}

JpegSize JpegRowDecoder::size() const { return state_->size; }

bool JpegRowDecoder::ReadRow(std::uint8_t* row) {
    State& s = *state_;
    if (!s.started || s.error.failure != Failure::None ||
        s.info.output_scanline >= s.info.output_height)
        return false;
    if (setjmp(s.error.jump) != 0) return false;
    JSAMPROW rows[1] = {row};
    if (jpeg_read_scanlines(&s.info, rows, 1) != 1) {
        s.error.failure = Failure::Unreadable;
        return false;
    }
    return true;
}

bool JpegRowDecoder::Finish() {
    State& s = *state_;
    if (!s.started || s.error.failure != Failure::None ||
        s.info.output_scanline < s.info.output_height)
        return false;
    if (setjmp(s.error.jump) != 0) return false;
    jpeg_finish_decompress(&s.info);
    s.started = false;
    return true;
}

JpegRowDecoder::Failure JpegRowDecoder::failure() const { return state_->error.failure; }

}  // namespace nvx::slide
