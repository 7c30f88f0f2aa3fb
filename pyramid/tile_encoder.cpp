/*
 * tile_encoder.cpp - libjpeg compression into memory, with libjpeg's fatal
 * errors turned into a false result instead of an exit of the process.
 *
 * libjpeg reports fatal errors by calling error_exit, which must not return;
 * ours jumps back to the setjmp in the call that started the work. Nothing
 * with a destructor lives between a setjmp and its longjmp.
 */
#include "pyramid/tile_encoder.h"

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstring>

#if defined(__x86_64__) || defined(_M_X64)
#include <immintrin.h>
#define NVX_HAVE_X86_SPLIT 1
#endif

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

// A destination that fills a std::vector from its start, growing it when
// full; `used` bytes of it hold the stream at the end. The vector keeps its
// size between streams, so an encoder reuses one buffer for all its tiles.
struct VectorDestination {
    jpeg_destination_mgr manager;
    std::vector<std::uint8_t>* stream;
    std::size_t used;
};

constexpr std::size_t kFirstChunk = 64 * 1024;

void StartDestination(j_compress_ptr info) {
    auto* destination = reinterpret_cast<VectorDestination*>(info->dest);
    if (destination->stream->size() < kFirstChunk) destination->stream->resize(kFirstChunk);
    destination->manager.next_output_byte = destination->stream->data();
    destination->manager.free_in_buffer = destination->stream->size();
    destination->used = 0;
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
    destination->used = destination->stream->size() - destination->manager.free_in_buffer;
}

// Splits `count` packed RGB pixels into three planes, the way libjpeg's own
// colour step does for RGB kept as RGB, only faster.
void SplitPlanesPortable(const std::uint8_t* rgb, std::size_t count, std::uint8_t* r,
                         std::uint8_t* g, std::uint8_t* b) {
    for (std::size_t i = 0; i < count; ++i) {
        r[i] = rgb[3 * i];
        g[i] = rgb[3 * i + 1];
        b[i] = rgb[3 * i + 2];
    }
}

#if defined(NVX_HAVE_X86_SPLIT)
// Sixteen pixels at a time: each plane takes its bytes from the three
// 16-byte loads by one shuffle each.
__attribute__((target("ssse3"))) void SplitPlanesSsse3(const std::uint8_t* rgb, std::size_t count,
                                                       std::uint8_t* r, std::uint8_t* g,
                                                       std::uint8_t* b) {
    const __m128i r0 = _mm_setr_epi8(0, 3, 6, 9, 12, 15, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
    const __m128i r1 = _mm_setr_epi8(-1, -1, -1, -1, -1, -1, 2, 5, 8, 11, 14, -1, -1, -1, -1, -1);
    const __m128i r2 = _mm_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 1, 4, 7, 10, 13);
    const __m128i g0 = _mm_setr_epi8(1, 4, 7, 10, 13, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
    const __m128i g1 = _mm_setr_epi8(-1, -1, -1, -1, -1, 0, 3, 6, 9, 12, 15, -1, -1, -1, -1, -1);
    const __m128i g2 = _mm_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 2, 5, 8, 11, 14);
    const __m128i b0 = _mm_setr_epi8(2, 5, 8, 11, 14, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
    const __m128i b1 = _mm_setr_epi8(-1, -1, -1, -1, -1, 1, 4, 7, 10, 13, -1, -1, -1, -1, -1, -1);
    const __m128i b2 = _mm_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 0, 3, 6, 9, 12, 15);
    std::size_t i = 0;
    for (; i + 16 <= count; i += 16) {
        const auto* in = reinterpret_cast<const __m128i*>(rgb + 3 * i);
        const __m128i a0 = _mm_loadu_si128(in);
        const __m128i a1 = _mm_loadu_si128(in + 1);
        const __m128i a2 = _mm_loadu_si128(in + 2);
        _mm_storeu_si128(
            reinterpret_cast<__m128i*>(r + i),
            _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(a0, r0), _mm_shuffle_epi8(a1, r1)),
                         _mm_shuffle_epi8(a2, r2)));
        _mm_storeu_si128(
            reinterpret_cast<__m128i*>(g + i),
            _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(a0, g0), _mm_shuffle_epi8(a1, g1)),
                         _mm_shuffle_epi8(a2, g2)));
        _mm_storeu_si128(
            reinterpret_cast<__m128i*>(b + i),
            _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(a0, b0), _mm_shuffle_epi8(a1, b1)),
                         _mm_shuffle_epi8(a2, b2)));
    }
    SplitPlanesPortable(rgb + 3 * i, count - i, r + i, g + i, b + i);
}
#endif

using SplitPlanesFunction = void (*)(const std::uint8_t*, std::size_t, std::uint8_t*, std::uint8_t*,
                                     std::uint8_t*);

SplitPlanesFunction ChooseSplitPlanes() {
#if defined(NVX_HAVE_X86_SPLIT)
    if (__builtin_cpu_supports("ssse3")) return SplitPlanesSsse3;
#endif
    return SplitPlanesPortable;
}

const SplitPlanesFunction kSplitPlanes = ChooseSplitPlanes();

// libjpeg's fatal errors jump back to `error`'s setjmp; its warnings are dropped.
void CatchErrors(jpeg_compress_struct* info, ErrorJump* error) {
    info->err = jpeg_std_error(&error->manager);
    error->manager.error_exit = ExitThroughJump;
    error->manager.emit_message = StayQuiet;
}

// Streams go into `stream` through `destination`.
void WriteInto(jpeg_compress_struct* info, VectorDestination* destination,
               std::vector<std::uint8_t>* stream) {
    destination->manager.init_destination = StartDestination;
    destination->manager.empty_output_buffer = GrowDestination;
    destination->manager.term_destination = EndDestination;
    destination->stream = stream;
    info->dest = &destination->manager;
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
    std::vector<std::uint8_t> buffer;  // the stream being made, reused
    std::vector<std::uint8_t> planes;  // one group of 8 rows, split into R, G and B
};

TileEncoder::TileEncoder(int quality) : state_(std::make_unique<State>()) {
    State& s = *state_;
    CatchErrors(&s.info, &s.error);
    if (setjmp(s.error.jump) != 0) {
        if (s.created) jpeg_destroy_compress(&s.info);
        s.created = false;
        return;
    }
    jpeg_create_compress(&s.info);
    s.created = true;
    WriteInto(&s.info, &s.destination, &s.buffer);
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
    if (!s.created || width <= 0 || height <= 0 || width > JPEG_MAX_DIMENSION ||
        height > JPEG_MAX_DIMENSION) {
        return false;
    }
    // The planes are handed over in whole 8 x 8 blocks: the columns and rows
    // beyond the picture repeat its last ones, as libjpeg's own edge
    // expansion would make them.
    const std::size_t paddedWidth =
        (static_cast<std::size_t>(width) + DCTSIZE - 1) / DCTSIZE * DCTSIZE;
    const std::size_t planeBytes = paddedWidth * DCTSIZE;
    s.planes.resize(planeBytes * 3);
    if (setjmp(s.error.jump) != 0) {
        jpeg_abort_compress(&s.info);
        stream->clear();
        return false;
    }
    s.info.image_width = static_cast<JDIMENSION>(width);
    s.info.image_height = static_cast<JDIMENSION>(height);
    // Raw planes skip libjpeg's colour step, a byte-at-a-time copy for RGB
    // kept as RGB; the coefficients, and so the stream, are the same.
    s.info.raw_data_in = TRUE;
    jpeg_start_compress(&s.info, FALSE);
    JSAMPROW rows[3][DCTSIZE];
    JSAMPARRAY components[3] = {rows[0], rows[1], rows[2]};
    for (int c = 0; c < 3; ++c) {
        for (int i = 0; i < DCTSIZE; ++i) rows[c][i] = &s.planes[c * planeBytes + i * paddedWidth];
    }
    const std::size_t rowBytes = static_cast<std::size_t>(width) * 3;
    while (s.info.next_scanline < s.info.image_height) {
        const int top = static_cast<int>(s.info.next_scanline);
        for (int i = 0; i < DCTSIZE; ++i) {
            const int y = std::min(top + i, height - 1);
            kSplitPlanes(rgb + static_cast<std::size_t>(y) * rowBytes,
                         static_cast<std::size_t>(width), rows[0][i], rows[1][i], rows[2][i]);
            for (int c = 0; c < 3; ++c) {
                std::memset(rows[c][i] + width, rows[c][i][width - 1], paddedWidth - width);
            }
        }
        jpeg_write_raw_data(&s.info, components, DCTSIZE);
    }
    jpeg_finish_compress(&s.info);
    stream->assign(s.buffer.begin(),
                   s.buffer.begin() + static_cast<std::ptrdiff_t>(s.destination.used));
    return true;
}

namespace {

// Writes the tables of `quality` into `tables`. The libjpeg state lives in
// `state`, outside this frame, so that it is still valid after a jump back.
bool WriteTables(TileEncoder::State* state, int quality, std::vector<std::uint8_t>* tables) {
    jpeg_compress_struct& info = state->info;
    CatchErrors(&info, &state->error);
    if (setjmp(state->error.jump) != 0) {
        if (state->created) jpeg_destroy_compress(&info);
        state->created = false;
        return false;
    }
    jpeg_create_compress(&info);
    state->created = true;
    WriteInto(&info, &state->destination, tables);
    Configure(&info, quality);
    // Only the tables the RGB components use: quantisation 0, Huffman 0.
    jpeg_suppress_tables(&info, TRUE);
    info.quant_tbl_ptrs[0]->sent_table = FALSE;
    info.dc_huff_tbl_ptrs[0]->sent_table = FALSE;
    info.ac_huff_tbl_ptrs[0]->sent_table = FALSE;
    jpeg_write_tables(&info);
    jpeg_destroy_compress(&info);
    state->created = false;
    tables->resize(state->destination.used);
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
