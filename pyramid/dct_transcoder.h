/*
 * dct_transcoder.h - turns a stored tile's JPEG stream into an output tile
 * without going through pixels.
 *
 * A stored tile that is baseline, 8-bit, YCbCr without subsampling and of
 * the output tile's size holds, block for block, the same picture the
 * output tile must hold. Everything between its coefficients and the output
 * tile's is linear: dequantisation, the inverse DCT, the YCbCr-to-RGB
 * conversion of level-shifted signals and the forward DCT, and the two DCTs
 * cancel. So every output coefficient is a 3 x 3 mix of the three stored
 * coefficients at the same block position, divided by the output table's
 * step: libjpeg reads the coefficients and writes them back entropy-coded,
 * and only entropy coding is left of the codec's work. The decoded tile
 * differs from the one the pixel route makes (decode, then encode) by
 * rounding and by the clamping of out-of-range pixels only.
 *
 * The tile written is an abbreviated stream made like TileEncoder's (RGB
 * components, the same tables, which stand in the directory's JPEGTables),
 * so readers see no difference. Any other stored stream is refused with the
 * reason, and the caller takes the pixel route.
 *
 * A 4:2:0 transcoder writes YCbCr tiles as a 4:2:0 TileEncoder does: the
 * stored luminance is requantised with the output luminance table, and each
 * 16 x 16 area's four stored chroma blocks become one output block, the DCT
 * of their 2 x 2 average (HalveChromaBlocks, coefficient_mix.h), quantised
 * with the output chrominance table. What libjpeg's encoder would average
 * in pixels is averaged in the DCT domain, where it is linear, so here too
 * only entropy coding is left of the codec's work.
 *
 * One transcoder per thread: it keeps its libjpeg compressor between
 * tiles, and reads each stored stream with a decompressor made for it, one
 * that holds no tables of an earlier stream to lend a stream without its
 * own. The caller refuses such streams before (jpeg_stream_check.h).
 */
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace nvx::pyramid {

// What became of a stored stream; everything but kTranscoded means that the
// tile must take the pixel route (or is lost, if that fails as well).
enum class TranscodeResult {
    kTranscoded,
    kUnreadable,          // no JPEG header that libjpeg reads
    kNotBaseline,         // progressive, arithmetic-coded, extended (SOF1) or 16-bit tables
    kNotEightBit,         // samples of another precision
    kNotThreeComponents,  // greyscale, CMYK, ...
    kNotYCbCr,            // three components of another colour space (RGB, say)
    kSubsampled,          // a component sampled other than 1x1
    kOtherSize,           // a frame of another size than the tile's (4:2:0: or not 16-aligned)
    kDamaged,             // the coefficients do not read whole (truncated, corrupt)
    kNotWritten,          // libjpeg refused to write the output tile
};

class DctTranscoder {
public:
    explicit DctTranscoder(int quality, bool chroma420 = false);
    ~DctTranscoder();
    DctTranscoder(const DctTranscoder&) = delete;
    DctTranscoder& operator=(const DctTranscoder&) = delete;

    // Transcodes the `length` bytes of `stored` into an output tile of
    // `width` x `height` in `stream`, replacing what it held. On any result
    // but kTranscoded, `stream` is left empty. Throws std::bad_alloc when
    // memory runs out (libjpeg's or the stream's), which is no reason to
    // take the pixel route; the transcoder stays fit for the next tile.
    TranscodeResult Transcode(const std::uint8_t* stored, std::size_t length, int width, int height,
                              std::vector<std::uint8_t>* stream);

    // libjpeg's state; it lives on the heap so that it survives a jump back
    // from libjpeg's error exit.
    struct State;

private:
    std::unique_ptr<State> state_;
};

// Whether a stored stream may stand as it is for an output tile of `width`
// x `height` in a YCbCr directory: what Transcode takes, and baseline
// (SOF0, 8-bit tables: what a JPEG Baseline DICOM frame holds), judged from
// the header alone (the stream is not decoded). kTranscoded when it may.
// `quality`, when given and the header reads, gets the quality whose
// libjpeg scaling of the standard luminance table comes closest to the
// stream's luminance table. Throws std::bad_alloc when memory runs out.
TranscodeResult CheckStoredTile(const std::uint8_t* stored, std::size_t length, int width,
                                int height, int* quality = nullptr);

// Whether a stored stream may be copied byte for byte into an output tile
// of `width` x `height`: CheckStoredTile's answer, and then its
// entropy-coded data read to the end (every coefficient decoded, as
// Transcode reads them) without a warning of libjpeg's, as jpegtran
// -strict reads: a warning means damaged data (a scan cut short, a bad
// Huffman code, restart markers out of order or missing, bytes where a
// marker belongs) that libjpeg would paper over, and a reader that does
// not paper over it (OpenSlide) refuses the tile. kDamaged for those.
// Throws std::bad_alloc when memory runs out.
TranscodeResult CheckCopiedTile(const std::uint8_t* stored, std::size_t length, int width,
                                int height);

// The quality (1 to 100) whose libjpeg scaling of the standard luminance
// table, held to baseline steps, is closest to `steps` (natural order).
int EstimateQuality(const std::uint16_t (&steps)[64]);

}  // namespace nvx::pyramid
