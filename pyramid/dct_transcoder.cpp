/*
 * dct_transcoder.cpp - the stored stream's coefficients read with
 * jpeg_read_coefficients, mixed and re-quantised in place, and written with
 * jpeg_write_coefficients, as jpegtran does.
 *
 * The weights of the mix (coefficient_mix.h) come from the stored stream's
 * own quantisation tables and the output table; they are made again only
 * when a tile's tables differ from the last one's.
 * libjpeg's coefficients of a level-shifted signal are linear in it, so the
 * DC coefficient takes the same mix as the others.
 */
#include "pyramid/dct_transcoder.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <new>

#include "common/jpeg_stream_walk.h"
#include "common/turbo_jpeg.h"
#include "pyramid/coefficient_mix.h"
#include "pyramid/libjpeg_setup.h"
#include "pyramid/tile_encoder.h"

namespace nvx::pyramid {

namespace {

// Baseline streams hold quantisation steps of at most eight bits.
constexpr UINT16 kLargestBaselineStep = 255;

bool BaselineSteps(const JQUANT_TBL& table) {
    return std::all_of(std::begin(table.quantval), std::end(table.quantval),
                       [](UINT16 step) { return step <= kLargestBaselineStep; });
}

// Mixes every block of the three components in place, one row of blocks at
// a time (libjpeg lends its coefficient arrays a row at a time).
void MixTile(j_decompress_ptr info, jvirt_barray_ptr* components, const CoefficientMix& mix) {
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
    std::vector<std::uint8_t> buffer;  // the stream being made, kept while small
    CoefficientMix mix{};
    UINT16 mixSteps[3][DCTSIZE2]{};  // the stored steps `mix` was made from
    bool mixMade = false;
    // 4:2:0 output: the luminance ratios and chroma steps, made from
    // `mixSteps` (in place of `mix`), and a row of stored chroma blocks.
    bool chroma420 = false;
    float lumaRatios[DCTSIZE2]{};
    ChromaSteps chromaSteps[2]{};
    std::vector<JCOEF> chromaRow;
};

namespace {

// 4:2:0: requantises the stored luminance into `halved`[0] and halves the
// stored chroma into `halved`[1] and [2], a row of output chroma blocks at
// a time. A stored chroma row is copied out before the next is read: the
// memory manager lends one row of an array at a time.
void HalveTile(j_decompress_ptr info, jvirt_barray_ptr* stored, jvirt_barray_ptr* halved,
               DctTranscoder::State* s) {
    auto* common = reinterpret_cast<j_common_ptr>(info);
    const auto access = [&](jvirt_barray_ptr array, JDIMENSION row, bool writable) {
        return info->mem->access_virt_barray(common, array, row, 1, writable ? TRUE : FALSE)[0];
    };
    const JDIMENSION across = info->comp_info[0].width_in_blocks;
    const JDIMENSION down = info->comp_info[0].height_in_blocks;
    s->chromaRow.resize(static_cast<std::size_t>(across) * DCTSIZE2);
    const auto copied = [s](JDIMENSION column) { return &s->chromaRow[column * DCTSIZE2]; };
    for (JDIMENSION row = 0; row < down / 2; ++row) {
        for (JDIMENSION r = 2 * row; r < 2 * row + 2; ++r) {
            const JBLOCKROW from = access(stored[0], r, false);
            const JBLOCKROW to = access(halved[0], r, true);
            for (JDIMENSION column = 0; column < across; ++column) {
                RequantiseBlock(s->lumaRatios, from[column], to[column]);
            }
        }
        for (int c = 1; c < 3; ++c) {
            const JBLOCKROW top = access(stored[c], 2 * row, false);
            std::memcpy(s->chromaRow.data(), top[0], s->chromaRow.size() * sizeof(JCOEF));
            const JBLOCKROW bottom = access(stored[c], 2 * row + 1, false);
            const JBLOCKROW to = access(halved[c], row, true);
            for (JDIMENSION column = 0; column < across / 2; ++column) {
                const JCOEF* const four[4] = {copied(2 * column), copied(2 * column + 1),
                                              bottom[2 * column], bottom[2 * column + 1]};
                HalveChromaBlocks(s->chromaSteps[c - 1], four, to[column]);
            }
        }
    }
}

// Makes the mix for the stored Y, Cb and Cr tables, unless it was made for
// the same steps last; false when their weights do not fit.
bool MixFor(DctTranscoder::State& s, const JQUANT_TBL* const tables[3]) {
    bool same = s.mixMade;
    for (int c = 0; c < 3 && same; ++c) {
        same = std::equal(std::begin(s.mixSteps[c]), std::end(s.mixSteps[c]), tables[c]->quantval);
    }
    if (same) return true;
    if (s.chroma420) {
        const UINT16* outputLuma = s.writer.quant_tbl_ptrs[0]->quantval;
        for (int k = 0; k < DCTSIZE2; ++k) {
            s.lumaRatios[k] = static_cast<float>(tables[0]->quantval[k]) /
                              static_cast<float>(std::max<UINT16>(outputLuma[k], 1));
        }
        for (int c = 1; c < 3; ++c) {
            s.chromaSteps[c - 1] =
                MakeChromaSteps(tables[c]->quantval, s.writer.quant_tbl_ptrs[1]->quantval);
        }
        for (int c = 0; c < 3; ++c) {
            std::copy(std::begin(tables[c]->quantval), std::end(tables[c]->quantval),
                      s.mixSteps[c]);
        }
        s.mixMade = true;
        return true;
    }
    s.mixMade = MakeCoefficientMix(tables[0]->quantval, tables[1]->quantval, tables[2]->quantval,
                                   s.writer.quant_tbl_ptrs[0]->quantval, &s.mix);
    for (int c = 0; c < 3; ++c) {
        std::copy(std::begin(tables[c]->quantval), std::end(tables[c]->quantval), s.mixSteps[c]);
    }
    return s.mixMade;
}

}  // namespace

DctTranscoder::DctTranscoder(int quality, bool chroma420) : state_(std::make_unique<State>()) {
    State& s = *state_;
    s.chroma420 = chroma420;
    CatchErrors(reinterpret_cast<j_common_ptr>(&s.reader), &s.error);
    CatchErrors(reinterpret_cast<j_common_ptr>(&s.writer), &s.error);
    if (setjmp(s.error.jump) != 0) {
        if (s.writerCreated) jpeg_destroy_compress(&s.writer);
        s.writerCreated = false;
        return;
    }
    jpeg_create_compress(&s.writer);
    s.writerCreated = true;
    WriteInto(&s.writer, &s.destination, &s.buffer);
    ConfigureOutputTiles(&s.writer, quality, chroma420);
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
        if (s.readerCreated) jpeg_abort_decompress(&s.reader);
        if (RanOutOfMemory(s.error)) throw std::bad_alloc();
        // libjpeg built for 8-bit samples refuses other precisions while
        // reading the header, after it has read the frame's.
        if (s.failure == TranscodeResult::kUnreadable && s.reader.data_precision != 0 &&
            s.reader.data_precision != 8) {
            return TranscodeResult::kNotEightBit;
        }
        return s.failure;
    }
    s.failure = TranscodeResult::kUnreadable;
    // A decompressor keeps the tables of the streams it has read, and a
    // stream that leaves some out would be read with them: each stream gets
    // a reader that has read nothing (well under a microsecond).
    if (s.readerCreated) jpeg_destroy_decompress(&s.reader);
    // Set first: a reader whose making ran out of memory half way is still
    // one that jpeg_destroy_decompress takes (it has no pool, or its pool).
    s.readerCreated = true;
    jpeg_create_decompress(&s.reader);
    s.reader.data_precision = 0;
    jpeg_mem_src(&s.reader, stored, static_cast<unsigned long>(length));
    jpeg_read_header(&s.reader, TRUE);
    TranscodeResult header = CheckHeader(s.reader, width, height);
    // An MCU of 4:2:0 covers 16 x 16 pixels; a tile that ends inside one
    // has chroma blocks of a single stored column or row.
    if (header == TranscodeResult::kTranscoded && s.chroma420 &&
        (width % (2 * DCTSIZE) != 0 || height % (2 * DCTSIZE) != 0)) {
        header = TranscodeResult::kOtherSize;
    }
    if (header != TranscodeResult::kTranscoded) {
        jpeg_abort_decompress(&s.reader);
        return header;
    }
    // The 4:2:0 tile's coefficients: arrays of the reader's, made with the
    // stored ones (luminance read two block rows at a time, as the writer
    // reads a 2x2-sampled component).
    jvirt_barray_ptr halved[3] = {};
    if (s.chroma420) {
        auto* common = reinterpret_cast<j_common_ptr>(&s.reader);
        const auto across = static_cast<JDIMENSION>(width / DCTSIZE);
        const auto down = static_cast<JDIMENSION>(height / DCTSIZE);
        halved[0] = s.reader.mem->request_virt_barray(common, JPOOL_IMAGE, FALSE, across, down, 2);
        for (int c = 1; c < 3; ++c) {
            halved[c] = s.reader.mem->request_virt_barray(common, JPOOL_IMAGE, FALSE, across / 2,
                                                          down / 2, 1);
        }
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
    if (!BaselineSteps(*tables[0]) || !BaselineSteps(*tables[1]) || !BaselineSteps(*tables[2])) {
        jpeg_abort_decompress(&s.reader);
        return TranscodeResult::kNotBaseline;
    }
    if (!MixFor(s, tables)) {
        jpeg_abort_decompress(&s.reader);
        return TranscodeResult::kNotWritten;
    }
    if (s.chroma420) {
        HalveTile(&s.reader, components, halved, &s);
    } else {
        MixTile(&s.reader, components, s.mix);
    }

    s.failure = TranscodeResult::kNotWritten;
    s.writer.image_width = static_cast<JDIMENSION>(width);
    s.writer.image_height = static_cast<JDIMENSION>(height);
    jpeg_write_coefficients(&s.writer, s.chroma420 ? halved : components);
    // jpeg_write_coefficients marks every table to be written; the tile is
    // an abbreviated stream, its tables stand in JPEGTables.
    jpeg_suppress_tables(&s.writer, TRUE);
    jpeg_finish_compress(&s.writer);
    jpeg_abort_decompress(&s.reader);
    HandOverStream(&s.buffer, s.destination.used, stream);
    return TranscodeResult::kTranscoded;
}

namespace {

// The standard luminance quantisation table, natural order.
constexpr std::uint16_t kStandardLuminance[64] = {
    16, 11, 10, 16, 24,  40,  51,  61,  12, 12, 14, 19, 26,  58,  60,  55,
    14, 13, 16, 24, 40,  57,  69,  56,  14, 17, 22, 29, 51,  87,  80,  62,
    18, 22, 37, 56, 68,  109, 103, 77,  24, 35, 55, 64, 81,  104, 113, 92,
    49, 64, 78, 87, 103, 121, 120, 101, 72, 92, 95, 98, 112, 100, 103, 99};

// A decompressor that reads one stream, on the heap so that it survives a
// jump back from libjpeg's error exit.
struct HeaderReader {
    jpeg_decompress_struct info{};
    ErrorJump error{};
    bool created = false;
    bool readingData = false;  // a jump back now means damaged data
    ~HeaderReader() {
        if (created) jpeg_destroy_decompress(&info);
    }
};

}  // namespace

int EstimateQuality(const std::uint16_t (&steps)[64]) {
    int best = 1;
    long bestDistance = -1;
    for (int quality = 1; quality <= 100; ++quality) {
        const long scale = quality < 50 ? 5000 / quality : 200 - 2 * quality;
        long distance = 0;
        for (int i = 0; i < 64; ++i) {
            const long step = std::clamp((kStandardLuminance[i] * scale + 50) / 100, 1L, 255L);
            distance += std::abs(step - static_cast<long>(steps[i]));
        }
        // Ties go to the higher quality: its tables are the finer.
        if (bestDistance < 0 || distance <= bestDistance) {
            best = quality;
            bestDistance = distance;
        }
    }
    return best;
}

namespace {

// CheckStoredTile's work; with `readData` also CheckCopiedTile's.
TranscodeResult CheckStored(const std::uint8_t* stored, std::size_t length, int width, int height,
                            int* quality, bool readData) {
    if (stored == nullptr || length == 0 || length > kMaxJpegStreamLength) {
        return TranscodeResult::kUnreadable;
    }
    // What stands as it is must be baseline, and YCbCr by its markers: the
    // walk that decides it for the DICOM frame decides it here.
    const JpegStreamHeader walked = ReadStreamHeader(std::span(stored, length));
    // (Samples of another precision are libjpeg's to name.)
    if (walked.precision == 8 && !walked.Baseline()) return TranscodeResult::kNotBaseline;
    if (walked.componentCount == 3 && walked.Colour() != JpegColour::kYCbCr) {
        return TranscodeResult::kNotYCbCr;
    }
    auto reader = std::make_unique<HeaderReader>();
    HeaderReader& r = *reader;
    // Reading the data, the first warning ends the read.
    CatchErrors(reinterpret_cast<j_common_ptr>(&r.info), &r.error,
                readData ? LibjpegWarnings::Fail : LibjpegWarnings::Count);
    if (setjmp(r.error.jump) != 0) {
        if (RanOutOfMemory(r.error)) throw std::bad_alloc();
        if (r.readingData) return TranscodeResult::kDamaged;
        return r.info.data_precision != 0 && r.info.data_precision != 8
                   ? TranscodeResult::kNotEightBit
                   : TranscodeResult::kUnreadable;
    }
    r.created = true;
    jpeg_create_decompress(&r.info);
    r.info.data_precision = 0;
    jpeg_mem_src(&r.info, stored, static_cast<unsigned long>(length));
    jpeg_read_header(&r.info, TRUE);
    const TranscodeResult header = CheckHeader(r.info, width, height);
    if (header != TranscodeResult::kTranscoded) return header;
    // The components' tables are known by their slots until decoding starts.
    const JQUANT_TBL* luminance = nullptr;
    for (int c = 0; c < 3; ++c) {
        const int slot = r.info.comp_info[c].quant_tbl_no;
        const JQUANT_TBL* table =
            slot >= 0 && slot < NUM_QUANT_TBLS ? r.info.quant_tbl_ptrs[slot] : nullptr;
        if (table == nullptr) return TranscodeResult::kDamaged;
        if (!BaselineSteps(*table)) return TranscodeResult::kNotBaseline;
        if (c == 0) luminance = table;
    }
    if (quality != nullptr && luminance != nullptr) {
        std::uint16_t steps[64];
        std::copy(std::begin(luminance->quantval), std::end(luminance->quantval), steps);
        *quality = EstimateQuality(steps);
    }
    if (readData) {
        // Every scan's coefficients, to the EOI.
        r.readingData = true;
        if (jpeg_read_coefficients(&r.info) == nullptr) return TranscodeResult::kDamaged;
    }
    return TranscodeResult::kTranscoded;
}

}  // namespace

TranscodeResult CheckStoredTile(const std::uint8_t* stored, std::size_t length, int width,
                                int height, int* quality) {
    return CheckStored(stored, length, width, height, quality, false);
}

TranscodeResult CheckCopiedTile(const std::uint8_t* stored, std::size_t length, int width,
                                int height) {
    return CheckStored(stored, length, width, height, nullptr, true);
}

}  // namespace nvx::pyramid
