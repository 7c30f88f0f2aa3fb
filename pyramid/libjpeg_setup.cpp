/*
 * libjpeg_setup.cpp - the vector destination and the output tiles' settings.
 */
#include "pyramid/libjpeg_setup.h"

#include <cstdlib>
#include <new>

#include <jerror.h>

namespace nvx::pyramid {

namespace {

constexpr std::size_t kFirstChunk = 64 * 1024;

// Grows `stream` to `size` bytes without letting std::bad_alloc out: it
// must not unwind through libjpeg's C frames.
bool Resized(std::vector<std::uint8_t>* stream, std::size_t size) noexcept {
    try {
        stream->resize(size);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

// Fails the job as libjpeg fails one whose own allocation is refused.
[[noreturn]] void ExitOutOfMemory(j_compress_ptr info) {
    info->err->msg_code = JERR_OUT_OF_MEMORY;
    info->err->msg_parm.i[0] = 0;
    info->err->error_exit(reinterpret_cast<j_common_ptr>(info));
    std::abort();  // error_exit does not return
}

void StartDestination(j_compress_ptr info) {
    auto* destination = reinterpret_cast<VectorDestination*>(info->dest);
    if (destination->stream->size() < kFirstChunk && !Resized(destination->stream, kFirstChunk)) {
        ExitOutOfMemory(info);
    }
    destination->manager.next_output_byte = destination->stream->data();
    destination->manager.free_in_buffer = destination->stream->size();
    destination->used = 0;
}

boolean GrowDestination(j_compress_ptr info) {
    auto* destination = reinterpret_cast<VectorDestination*>(info->dest);
    std::vector<std::uint8_t>& stream = *destination->stream;
    // libjpeg calls this only when the whole buffer is full.
    const std::size_t used = stream.size();
    if (!Resized(&stream, used * 2)) ExitOutOfMemory(info);
    destination->manager.next_output_byte = stream.data() + used;
    destination->manager.free_in_buffer = stream.size() - used;
    return TRUE;
}

void EndDestination(j_compress_ptr info) {
    auto* destination = reinterpret_cast<VectorDestination*>(info->dest);
    destination->used = destination->stream->size() - destination->manager.free_in_buffer;
}

}  // namespace

void WriteInto(jpeg_compress_struct* info, VectorDestination* destination,
               std::vector<std::uint8_t>* stream) {
    destination->manager.init_destination = StartDestination;
    destination->manager.empty_output_buffer = GrowDestination;
    destination->manager.term_destination = EndDestination;
    destination->stream = stream;
    info->dest = &destination->manager;
}

void ConfigureOutputTiles(jpeg_compress_struct* info, int quality, bool chroma420) {
    info->in_color_space = JCS_RGB;
    info->input_components = 3;
    jpeg_set_defaults(info);
    jpeg_set_colorspace(info, chroma420 ? JCS_YCbCr : JCS_RGB);
    if (chroma420) {
        info->comp_info[0].h_samp_factor = 2;
        info->comp_info[0].v_samp_factor = 2;
    }
    jpeg_set_quality(info, quality, TRUE);
    info->write_JFIF_header = FALSE;
    info->write_Adobe_marker = FALSE;
    info->optimize_coding = FALSE;
}

}  // namespace nvx::pyramid
