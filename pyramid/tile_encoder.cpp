/*
 * tile_encoder.cpp - libjpeg compression into memory, with libjpeg's fatal
 * errors turned into a false result instead of an exit of the process.
 *
 * libjpeg reports fatal errors by calling error_exit, which must not return;
 * ours jumps back to the setjmp in the call that started the work. Nothing
 * with a destructor lives between a setjmp and its longjmp.
 */
#include "pyramid/tile_encoder.h"

#include <csetjmp>
#include <cstdio>

// jpeglib.h needs size_t and FILE declared before it.
#include <jpeglib.h>

namespace nvx::pyramid {

namespace {

struct ErrorJump {
    jpeg_error_mgr manager;
    std::jmp_buf jump;
};

void ExitThroughJump(j_common_ptr info) {
    auto* error = reinterpret_cast<ErrorJump*>(info->err);
    std::longjmp(error->jump, 1);
}

void StayQuiet(j_common_ptr, int) {}

// A destination that grows a std::vector.
struct VectorDestination {
    jpeg_destination_mgr manager;
    std::vector<std::uint8_t>* stream;
};

constexpr std::size_t kFirstChunk = 64 * 1024;

void StartDestination(j_compress_ptr info) {
    auto* destination = reinterpret_cast<VectorDestination*>(info->dest);
    destination->stream->resize(kFirstChunk);
    destination->manager.next_output_byte = destination->stream->data();
    destination->manager.free_in_buffer = destination->stream->size();
}

boolean GrowDestination(j_compress_ptr info) {
    auto* destination = reinterpret_cast<VectorDestination*>(info->dest);
    std::vector<std::uint8_t>& stream = *destination->stream;
    // libjpeg calls this only when the whole buffer is full.
    const std::size_t used = stream.size();
    stream.resize(used * 2);
    destination->manager.next_output_byte = stream.data() + used;
    destination->manager.free_in_buffer = stream.size() - used;
    return TRUE;
}

void EndDestination(j_compress_ptr info) {
    auto* destination = reinterpret_cast<VectorDestination*>(info->dest);
    destination->stream->resize(destination->stream->size() - destination->manager.free_in_buffer);
}

// The settings of libtiff's JPEG codec for an RGB image: RGB kept as RGB,
// every component 1x1 with table 0, no markers beyond the frame.
void Configure(jpeg_compress_struct* info, int quality) {
    info->in_color_space = JCS_RGB;
    info->input_components = 3;
    jpeg_set_defaults(info);
    jpeg_set_colorspace(info, JCS_RGB);
    jpeg_set_quality(info, quality, FALSE);
    info->write_JFIF_header = FALSE;
    info->write_Adobe_marker = FALSE;
    info->optimize_coding = FALSE;
}

}  // namespace

struct TileEncoder::State {
    jpeg_compress_struct info{};
    ErrorJump error{};
    VectorDestination destination{};
    bool created = false;
    int quality = 0;
};

TileEncoder::TileEncoder(int quality) : state_(std::make_unique<State>()) {
    State& s = *state_;
    s.quality = quality;
    s.info.err = jpeg_std_error(&s.error.manager);
    s.error.manager.error_exit = ExitThroughJump;
    s.error.manager.emit_message = StayQuiet;
    if (setjmp(s.error.jump) != 0) {
        if (s.created) jpeg_destroy_compress(&s.info);
        s.created = false;
        return;
    }
    jpeg_create_compress(&s.info);
    s.created = true;
    s.destination.manager.init_destination = StartDestination;
    s.destination.manager.empty_output_buffer = GrowDestination;
    s.destination.manager.term_destination = EndDestination;
    s.info.dest = &s.destination.manager;
    s.info.image_width = 1;
    s.info.image_height = 1;
    Configure(&s.info, quality);
    // The tables go into JPEGTables once; tiles carry none of their own.
    jpeg_suppress_tables(&s.info, TRUE);
}

TileEncoder::~TileEncoder() {
    if (state_->created) jpeg_destroy_compress(&state_->info);
}

bool TileEncoder::Encode(const std::uint8_t* rgb, int width, int height,
                         std::vector<std::uint8_t>* stream) {
    State& s = *state_;
    if (!s.created || width <= 0 || height <= 0) return false;
    s.destination.stream = stream;
    if (setjmp(s.error.jump) != 0) {
        jpeg_abort_compress(&s.info);
        stream->clear();
        return false;
    }
    s.info.image_width = static_cast<JDIMENSION>(width);
    s.info.image_height = static_cast<JDIMENSION>(height);
    jpeg_start_compress(&s.info, FALSE);
    const std::size_t rowBytes = static_cast<std::size_t>(width) * 3;
    while (s.info.next_scanline < s.info.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(rgb + s.info.next_scanline * rowBytes);
        jpeg_write_scanlines(&s.info, &row, 1);
    }
    jpeg_finish_compress(&s.info);
    return true;
}

namespace {

// Writes the tables of `quality` into `tables`. The libjpeg state lives in
// `state`, outside this frame, so that it is still valid after a jump back.
bool WriteTables(TileEncoder::State* state, int quality, std::vector<std::uint8_t>* tables) {
    jpeg_compress_struct& info = state->info;
    info.err = jpeg_std_error(&state->error.manager);
    state->error.manager.error_exit = ExitThroughJump;
    state->error.manager.emit_message = StayQuiet;
    if (setjmp(state->error.jump) != 0) {
        if (state->created) jpeg_destroy_compress(&info);
        state->created = false;
        return false;
    }
    jpeg_create_compress(&info);
    state->created = true;
    state->destination.manager.init_destination = StartDestination;
    state->destination.manager.empty_output_buffer = GrowDestination;
    state->destination.manager.term_destination = EndDestination;
    state->destination.stream = tables;
    info.dest = &state->destination.manager;
    Configure(&info, quality);
    // Only the tables the RGB components use: quantisation 0, Huffman 0.
    jpeg_suppress_tables(&info, TRUE);
    info.quant_tbl_ptrs[0]->sent_table = FALSE;
    info.dc_huff_tbl_ptrs[0]->sent_table = FALSE;
    info.ac_huff_tbl_ptrs[0]->sent_table = FALSE;
    jpeg_write_tables(&info);
    jpeg_destroy_compress(&info);
    state->created = false;
    return true;
}

}  // namespace

std::vector<std::uint8_t> TablesFor(int quality) {
    std::vector<std::uint8_t> tables;
    auto state = std::make_unique<TileEncoder::State>();
    if (!WriteTables(state.get(), quality, &tables)) tables.clear();
    return tables;
}

}  // namespace nvx::pyramid
