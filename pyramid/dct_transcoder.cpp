/*
 * dct_transcoder.cpp - the stored stream's coefficients read with
 * jpeg_read_coefficients, mixed and re-quantised in place, and written with
 * jpeg_write_coefficients, as jpegtran does.
 *
 * The mix of block position k, for output component c and stored component
 * j, is the conversion's factor of j in c times the stored step of j at k
 * over the output step at k: weight tables built once per tile from the
 * stored stream's own quantisation tables.
 * libjpeg's coefficients of a level-shifted signal are linear in it, so the
 * DC coefficient takes the same mix as the others. Blocks whose AC
 * coefficients are all zero in all three components (flat background, most
 * of a slide) take the DC mix only.
 */
#include "pyramid/dct_transcoder.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "common/turbo_jpeg.h"
#include "pyramid/libjpeg_setup.h"

namespace nvx::pyramid {

namespace {

// JFIF's YCbCr-to-RGB conversion on level-shifted signals: R = Y + 1.402
// Cr, G = Y - 0.344136 Cb - 0.714136 Cr, B = Y + 1.772 Cb.
constexpr double kRedFromCr = 1.402;
constexpr double kGreenFromCb = -0.344136;
constexpr double kGreenFromCr = -0.714136;
constexpr double kBlueFromCb = 1.772;

// Baseline Huffman coding takes AC coefficients of at most ten bits (and DC
// differences of eleven); larger ones only come from pixels far out of
// range, which the pixel route clamps as well.
constexpr float kLargestCoefficient = 1023.0f;

// What a stored coefficient at block position k adds to an output one, in
// output quantisation steps: the conversion's factor times the stored step
// over the output step. Y adds the same to R, G and B.
struct MixWeights {
    alignas(32) float luma[DCTSIZE2];
    alignas(32) float redFromCr[DCTSIZE2];
    alignas(32) float greenFromCb[DCTSIZE2];
    alignas(32) float greenFromCr[DCTSIZE2];
    alignas(32) float blueFromCb[DCTSIZE2];
};

void MakeWeights(const JQUANT_TBL* const stored[3], const JQUANT_TBL& output, MixWeights* mix) {
    for (int k = 0; k < DCTSIZE2; ++k) {
        const double to = output.quantval[k];
        const double cb = stored[1]->quantval[k] / to;
        const double cr = stored[2]->quantval[k] / to;
        mix->luma[k] = static_cast<float>(stored[0]->quantval[k] / to);
        mix->redFromCr[k] = static_cast<float>(kRedFromCr * cr);
        mix->greenFromCb[k] = static_cast<float>(kGreenFromCb * cb);
        mix->greenFromCr[k] = static_cast<float>(kGreenFromCr * cr);
        mix->blueFromCb[k] = static_cast<float>(kBlueFromCb * cb);
    }
}

// Rounds half away from zero, as libjpeg's own quantisation does, within
// what baseline coding takes.
inline JCOEF Quantised(float value) {
    const float rounded = value + std::copysign(0.5f, value);
    return static_cast<JCOEF>(std::clamp(rounded, -kLargestCoefficient, kLargestCoefficient));
}

// Whether the three blocks hold a DC coefficient and nothing else; read
// four coefficients at a time, the first four with the DC left out.
bool AcAllZero(const JCOEF* y, const JCOEF* cb, const JCOEF* cr) {
    std::uint64_t any = static_cast<std::uint16_t>(y[1] | y[2] | y[3] | cb[1] | cb[2] | cb[3] |
                                                   cr[1] | cr[2] | cr[3]);
    for (int k = 4; k < DCTSIZE2; k += 4) {
        std::uint64_t a, b, c;
        std::memcpy(&a, y + k, sizeof a);
        std::memcpy(&b, cb + k, sizeof b);
        std::memcpy(&c, cr + k, sizeof c);
        any |= a | b | c;
    }
    return any == 0;
}

// Turns the Y, Cb and Cr coefficients at positions [0, count) into the R, G
// and B ones, in place. The three blocks never overlap, which lets the
// compiler run the loop on whole vectors.
template <int count>
void MixPositions(const MixWeights& mix, JCOEF* __restrict y, JCOEF* __restrict cb,
                  JCOEF* __restrict cr) {
    for (int k = 0; k < count; ++k) {
        const float luma = static_cast<float>(y[k]) * mix.luma[k];
        const float blue = static_cast<float>(cb[k]);
        const float red = static_cast<float>(cr[k]);
        y[k] = Quantised(luma + red * mix.redFromCr[k]);
        cb[k] = Quantised(luma + blue * mix.greenFromCb[k] + red * mix.greenFromCr[k]);
        cr[k] = Quantised(luma + blue * mix.blueFromCb[k]);
    }
}

void MixBlock(const MixWeights& mix, JCOEF* y, JCOEF* cb, JCOEF* cr) {
    if (AcAllZero(y, cb, cr)) {
        MixPositions<1>(mix, y, cb, cr);
    } else {
        MixPositions<DCTSIZE2>(mix, y, cb, cr);
    }
}

// Mixes every block of the three components in place, one row of blocks at
// a time (libjpeg lends its coefficient arrays a row at a time).
void MixTile(j_decompress_ptr info, jvirt_barray_ptr* components, const MixWeights& mix) {
    const JDIMENSION rows = info->comp_info[0].height_in_blocks;
    const JDIMENSION columns = info->comp_info[0].width_in_blocks;
    auto* common = reinterpret_cast<j_common_ptr>(info);
    for (JDIMENSION row = 0; row < rows; ++row) {
        JBLOCKROW blocks[3];
        for (int c = 0; c < 3; ++c) {
            blocks[c] = info->mem->access_virt_barray(common, components[c], row, 1, TRUE)[0];
        }
        for (JDIMENSION column = 0; column < columns; ++column) {
            MixBlock(mix, blocks[0][column], blocks[1][column], blocks[2][column]);
        }
    }
}

// Why a stream whose header has been read cannot be transcoded into a tile
// of `width` x `height`; kTranscoded when it can.
TranscodeResult CheckHeader(const jpeg_decompress_struct& info, int width, int height) {
    if (info.data_precision != 8) return TranscodeResult::kNotEightBit;
    if (info.progressive_mode || info.arith_code) return TranscodeResult::kNotBaseline;
    if (info.num_components != 3) return TranscodeResult::kNotThreeComponents;
    if (info.jpeg_color_space != JCS_YCbCr) return TranscodeResult::kNotYCbCr;
    for (int c = 0; c < 3; ++c) {
        if (info.comp_info[c].h_samp_factor != 1 || info.comp_info[c].v_samp_factor != 1) {
            return TranscodeResult::kSubsampled;
        }
    }
    if (info.image_width != static_cast<JDIMENSION>(width) ||
        info.image_height != static_cast<JDIMENSION>(height)) {
        return TranscodeResult::kOtherSize;
    }
    return TranscodeResult::kTranscoded;
}

}  // namespace

struct DctTranscoder::State {
    jpeg_decompress_struct reader{};
    jpeg_compress_struct writer{};
    ErrorJump error{};  // shared by both: one job at a time
    VectorDestination destination{};
    bool readerCreated = false;
    bool writerCreated = false;
    // What a jump back from libjpeg means at the present step.
    TranscodeResult failure = TranscodeResult::kUnreadable;
    std::vector<std::uint8_t> buffer;  // the stream being made, reused
    MixWeights mix{};
};

DctTranscoder::DctTranscoder(int quality) : state_(std::make_unique<State>()) {
    State& s = *state_;
    CatchErrors(reinterpret_cast<j_common_ptr>(&s.reader), &s.error);
    CatchErrors(reinterpret_cast<j_common_ptr>(&s.writer), &s.error);
    if (setjmp(s.error.jump) != 0) {
        if (s.writerCreated) jpeg_destroy_compress(&s.writer);
        if (s.readerCreated) jpeg_destroy_decompress(&s.reader);
        s.writerCreated = s.readerCreated = false;
        return;
    }
    jpeg_create_decompress(&s.reader);
    s.readerCreated = true;
    jpeg_create_compress(&s.writer);
    s.writerCreated = true;
    WriteInto(&s.writer, &s.destination, &s.buffer);
    ConfigureOutputTiles(&s.writer, quality);
}

DctTranscoder::~DctTranscoder() {
    if (state_->writerCreated) jpeg_destroy_compress(&state_->writer);
    if (state_->readerCreated) jpeg_destroy_decompress(&state_->reader);
}

TranscodeResult DctTranscoder::Transcode(const std::uint8_t* stored, std::size_t length, int width,
                                         int height, std::vector<std::uint8_t>* stream) {
    State& s = *state_;
    stream->clear();
    if (!s.writerCreated) return TranscodeResult::kNotWritten;
    if (stored == nullptr || length == 0 || length > kMaxJpegStreamLength) {
        return TranscodeResult::kUnreadable;
    }
    if (setjmp(s.error.jump) != 0) {
        jpeg_abort_compress(&s.writer);
        jpeg_abort_decompress(&s.reader);
        // libjpeg built for 8-bit samples refuses other precisions while
        // reading the header, after it has read the frame's.
        if (s.failure == TranscodeResult::kUnreadable && s.reader.data_precision != 0 &&
            s.reader.data_precision != 8) {
            return TranscodeResult::kNotEightBit;
        }
        return s.failure;
    }
    s.failure = TranscodeResult::kUnreadable;
    s.reader.data_precision = 0;
    jpeg_mem_src(&s.reader, stored, static_cast<unsigned long>(length));
    jpeg_read_header(&s.reader, TRUE);
    const TranscodeResult header = CheckHeader(s.reader, width, height);
    if (header != TranscodeResult::kTranscoded) {
        jpeg_abort_decompress(&s.reader);
        return header;
    }

    // Any warning (data cut short, a damaged entropy segment) makes the
    // stream unfit: libjpeg would fill what is missing with zeros.
    s.failure = TranscodeResult::kDamaged;
    jvirt_barray_ptr* components = jpeg_read_coefficients(&s.reader);
    const JQUANT_TBL* tables[3] = {s.reader.comp_info[0].quant_table,
                                   s.reader.comp_info[1].quant_table,
                                   s.reader.comp_info[2].quant_table};
    if (components == nullptr || s.error.manager.num_warnings != 0 || tables[0] == nullptr ||
        tables[1] == nullptr || tables[2] == nullptr) {
        jpeg_abort_decompress(&s.reader);
        return TranscodeResult::kDamaged;
    }
    MakeWeights(tables, *s.writer.quant_tbl_ptrs[0], &s.mix);
    MixTile(&s.reader, components, s.mix);

    s.failure = TranscodeResult::kNotWritten;
    s.writer.image_width = static_cast<JDIMENSION>(width);
    s.writer.image_height = static_cast<JDIMENSION>(height);
    jpeg_write_coefficients(&s.writer, components);
    // jpeg_write_coefficients marks every table to be written; the tile is
    // an abbreviated stream, its tables stand in JPEGTables.
    jpeg_suppress_tables(&s.writer, TRUE);
    jpeg_finish_compress(&s.writer);
    jpeg_abort_decompress(&s.reader);
    stream->assign(s.buffer.begin(),
                   s.buffer.begin() + static_cast<std::ptrdiff_t>(s.destination.used));
    return TranscodeResult::kTranscoded;
}

}  // namespace nvx::pyramid
