/*
 * tile_encoder.cpp - libjpeg compression of RGB pixels into memory, with
 * libjpeg's fatal errors turned into a false result (libjpeg_setup.h).
 */
#include "pyramid/tile_encoder.h"

#include <algorithm>
#include <cstring>
#include <new>

#if defined(__x86_64__) || defined(_M_X64)
#include <immintrin.h>
#define NVX_HAVE_X86_SPLIT 1
#endif

#include "pyramid/libjpeg_setup.h"

namespace nvx::pyramid {

namespace {

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

}  // namespace

struct TileEncoder::State {
    jpeg_compress_struct info{};
    ErrorJump error{};
    VectorDestination destination{};
    bool created = false;
    bool chroma420 = false;
    std::vector<std::uint8_t> buffer;  // the stream being made, kept while small
    std::vector<std::uint8_t> planes;  // one group of 8 rows, split into R, G and B
};

TileEncoder::TileEncoder(int quality, bool chroma420) : state_(std::make_unique<State>()) {
    State& s = *state_;
    s.chroma420 = chroma420;
    CatchErrors(reinterpret_cast<j_common_ptr>(&s.info), &s.error);
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
    ConfigureOutputTiles(&s.info, quality, chroma420);
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
    if (!s.chroma420) s.planes.resize(planeBytes * 3);
    if (setjmp(s.error.jump) != 0) {
        jpeg_abort_compress(&s.info);
        stream->clear();
        if (RanOutOfMemory(s.error)) throw std::bad_alloc();
        return false;
    }
    s.info.image_width = static_cast<JDIMENSION>(width);
    s.info.image_height = static_cast<JDIMENSION>(height);
    if (s.chroma420) {
        // libjpeg's colour conversion and downsampling (SIMD in
        // libjpeg-turbo) are what libtiff's codec would run.
        s.info.raw_data_in = FALSE;
        jpeg_start_compress(&s.info, FALSE);
        const std::size_t rowBytes = static_cast<std::size_t>(width) * 3;
        JSAMPROW rows[DCTSIZE];
        while (s.info.next_scanline < s.info.image_height) {
            const JDIMENSION first = s.info.next_scanline;
            const JDIMENSION count = std::min<JDIMENSION>(DCTSIZE, s.info.image_height - first);
            for (JDIMENSION i = 0; i < count; ++i) {
                rows[i] = const_cast<JSAMPROW>(rgb + (first + i) * rowBytes);
            }
            jpeg_write_scanlines(&s.info, rows, count);
        }
        jpeg_finish_compress(&s.info);
        HandOverStream(&s.buffer, s.destination.used, stream);
        return true;
    }
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
    HandOverStream(&s.buffer, s.destination.used, stream);
    return true;
}

void HandOverStream(std::vector<std::uint8_t>* buffer, std::size_t used,
                    std::vector<std::uint8_t>* stream) {
    if (buffer->size() <= kKeptStreamBuffer) {
        stream->assign(buffer->begin(), buffer->begin() + static_cast<std::ptrdiff_t>(used));
        return;
    }
    buffer->resize(used);
    // Grown by doubling: a buffer far larger than its stream is copied down.
    if (buffer->capacity() - used > used / 4) buffer->shrink_to_fit();
    stream->swap(*buffer);
    std::vector<std::uint8_t>().swap(*buffer);
}

namespace {

// Writes the tables of `quality` into `tables`. The libjpeg state lives in
// `state`, outside this frame, so that it is still valid after a jump back.
bool WriteTables(TileEncoder::State* state, int quality, bool chroma420,
                 std::vector<std::uint8_t>* tables) {
    jpeg_compress_struct& info = state->info;
    CatchErrors(reinterpret_cast<j_common_ptr>(&info), &state->error);
    if (setjmp(state->error.jump) != 0) {
        if (state->created) jpeg_destroy_compress(&info);
        state->created = false;
        return false;
    }
    jpeg_create_compress(&info);
    state->created = true;
    WriteInto(&info, &state->destination, tables);
    ConfigureOutputTiles(&info, quality, chroma420);
    // Only the tables the components use: quantisation 0 and Huffman 0 for
    // RGB, those and the chrominance ones (1) for 4:2:0.
    jpeg_suppress_tables(&info, TRUE);
    for (int slot = 0; slot < (chroma420 ? 2 : 1); ++slot) {
        info.quant_tbl_ptrs[slot]->sent_table = FALSE;
        info.dc_huff_tbl_ptrs[slot]->sent_table = FALSE;
        info.ac_huff_tbl_ptrs[slot]->sent_table = FALSE;
    }
    jpeg_write_tables(&info);
    jpeg_destroy_compress(&info);
    state->created = false;
    tables->resize(state->destination.used);
    return true;
}

}  // namespace

std::vector<std::uint8_t> TablesFor(int quality, bool chroma420) {
    std::vector<std::uint8_t> tables;
    auto state = std::make_unique<TileEncoder::State>();
    if (!WriteTables(state.get(), quality, chroma420, &tables)) tables.clear();
    return tables;
}

bool EncodeCompleteYCbCr(const std::uint8_t* rgb, int width, int height, int quality,
                         std::vector<std::uint8_t>* stream) {
    stream->clear();
    if (width <= 0 || height <= 0 || width > JPEG_MAX_DIMENSION || height > JPEG_MAX_DIMENSION) {
        return false;
    }
    auto state = std::make_unique<TileEncoder::State>();
    TileEncoder::State& s = *state;
    CatchErrors(reinterpret_cast<j_common_ptr>(&s.info), &s.error);
    if (setjmp(s.error.jump) != 0) {
        if (s.created) jpeg_destroy_compress(&s.info);
        s.created = false;
        stream->clear();
        if (RanOutOfMemory(s.error)) throw std::bad_alloc();
        return false;
    }
    s.created = true;
    jpeg_create_compress(&s.info);
    WriteInto(&s.info, &s.destination, &s.buffer);
    s.info.image_width = static_cast<JDIMENSION>(width);
    s.info.image_height = static_cast<JDIMENSION>(height);
    s.info.input_components = 3;
    s.info.in_color_space = JCS_RGB;
    jpeg_set_defaults(&s.info);
    jpeg_set_quality(&s.info, quality, TRUE);
    for (int c = 0; c < 3; ++c) {
        s.info.comp_info[c].h_samp_factor = 1;
        s.info.comp_info[c].v_samp_factor = 1;
    }
    jpeg_start_compress(&s.info, TRUE);
    const std::size_t rowBytes = static_cast<std::size_t>(width) * 3;
    while (s.info.next_scanline < s.info.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(rgb + s.info.next_scanline * rowBytes);
        jpeg_write_scanlines(&s.info, &row, 1);
    }
    jpeg_finish_compress(&s.info);
    jpeg_destroy_compress(&s.info);
    s.created = false;
    stream->assign(s.buffer.begin(),
                   s.buffer.begin() + static_cast<std::ptrdiff_t>(s.destination.used));
    return true;
}

}  // namespace nvx::pyramid
