/*
 * dct_transcoder_test.cpp - the coefficient route against the pixel route:
 * which stored streams it takes and why it refuses the others (damaged and
 * lying ones included), that its tiles are laid out as the encoder's, and
 * that their pixels are as close to the stored ones as the pixel route's,
 * on synthetic tissue and on the real scan in tests/data.
 */
#include "pyramid/dct_transcoder.h"

#include <gtest/gtest.h>
#include <tiffio.h>
#include <turbojpeg.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <new>
#include <string>
#include <vector>

// jpeglib.h needs size_t and FILE declared before it.
#include <jpeglib.h>

#include "common/turbo_jpeg.h"
#include "pyramid/tile_encoder.h"
#include "tests/pyramid/refused_allocations.h"
#include "tests/pyramid/tiff_file.h"
#include "tools/synthetic_tissue.h"

namespace nvx::pyramid {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Tiles of nvxmake's synthetic tissue that hold some tissue.
std::vector<Bytes> SyntheticTissue(int side, int count) {
    const nvxmake::SyntheticTissue slide(8192, 8192, 5);
    std::vector<Bytes> tiles;
    for (std::uint32_t y = 0; y + side <= slide.height() && static_cast<int>(tiles.size()) < count;
         y += 3 * side) {
        for (std::uint32_t x = 0; x + side <= slide.width(); x += 3 * side) {
            if (static_cast<int>(tiles.size()) == count) break;
            if (slide.KnownBlank(x, y, side, side)) continue;
            Bytes rgb(static_cast<std::size_t>(side) * side * 3);
            EXPECT_TRUE(slide.Read(x, y, side, side, rgb.data()));
            tiles.push_back(std::move(rgb));
        }
    }
    EXPECT_EQ(static_cast<int>(tiles.size()), count);
    return tiles;
}

// Saturated colour bars: their YCbCr coefficients, once quantised, stand
// for pixels out of range, which both routes clamp.
Bytes ColourBars(int side) {
    Bytes rgb(static_cast<std::size_t>(side) * side * 3);
    static const std::uint8_t kBars[6][3] = {{255, 0, 0},   {0, 255, 0},   {0, 0, 255},
                                             {255, 255, 0}, {0, 255, 255}, {255, 0, 255}};
    for (int y = 0; y < side; ++y) {
        for (int x = 0; x < side; ++x) {
            const std::uint8_t* bar = kBars[(x * 6 / side + y / 19) % 6];
            std::copy(bar, bar + 3, &rgb[(static_cast<std::size_t>(y) * side + x) * 3]);
        }
    }
    return rgb;
}

// A stored tile as nvxmake writes it: TurboJPEG, baseline, 4:4:4.
Bytes StoredTile(const Bytes& rgb, int width, int height, int quality) {
    TurboJpegHandle handle(tjInitCompress());
    unsigned char* jpeg = nullptr;
    unsigned long size = 0;
    EXPECT_EQ(tjCompress2(handle.get(), rgb.data(), width, 0, height, TJPF_RGB, &jpeg, &size,
                          TJSAMP_444, quality, 0),
              0);
    Bytes stream(jpeg, jpeg + size);
    tjFree(jpeg);
    return stream;
}

// Other kinds of stored stream, through libjpeg itself.
struct StreamKind {
    J_COLOR_SPACE space = JCS_YCbCr;
    int lumaSampling = 1;  // h and v sampling of the first component
    int lumaVertical = 1;
    bool progressive = false;
    bool arithmetic = false;
    int quality = 85;  // below 15, steps pass 255 and the tables take 16 bits
};

Bytes StreamOfKind(const Bytes& rgb, int side, const StreamKind& kind) {
    jpeg_compress_struct info{};
    jpeg_error_mgr error{};
    info.err = jpeg_std_error(&error);
    error.emit_message = [](j_common_ptr, int) {};  // coarse tables are meant
    jpeg_create_compress(&info);
    unsigned char* jpeg = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&info, &jpeg, &size);
    info.image_width = static_cast<JDIMENSION>(side);
    info.image_height = static_cast<JDIMENSION>(side);
    info.input_components = 3;
    info.in_color_space = JCS_RGB;
    jpeg_set_defaults(&info);
    jpeg_set_colorspace(&info, kind.space);
    jpeg_set_quality(&info, kind.quality, FALSE);
    if (info.num_components == 3) {
        info.comp_info[0].h_samp_factor = kind.lumaSampling;
        info.comp_info[0].v_samp_factor = kind.lumaVertical;
        for (int c = 1; c < 3; ++c) info.comp_info[c].h_samp_factor = 1;
        for (int c = 1; c < 3; ++c) info.comp_info[c].v_samp_factor = 1;
    }
    if (kind.progressive) jpeg_simple_progression(&info);
    info.arith_code = kind.arithmetic ? TRUE : FALSE;
    jpeg_start_compress(&info, TRUE);
    Bytes grey(kind.space == JCS_GRAYSCALE ? static_cast<std::size_t>(side) : 0);
    while (info.next_scanline < info.image_height) {
        auto* row = const_cast<JSAMPLE*>(&rgb[info.next_scanline * side * 3ull]);
        jpeg_write_scanlines(&info, &row, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    Bytes stream(jpeg, jpeg + size);
    std::free(jpeg);
    return stream;
}

// The offset of the segment of `marker` (its length field) in a stream's
// headers; 0 when it has none before the scan.
std::size_t SegmentOf(const Bytes& stream, std::uint8_t marker) {
    std::size_t at = 2;
    while (at + 4 <= stream.size() && stream[at] == 0xFF) {
        if (stream[at + 1] == marker) return at + 2;
        if (stream[at + 1] == 0xDA) break;
        at += 2 + (stream[at + 2] << 8 | stream[at + 3]);
    }
    return 0;
}

// The stream with its frame header saying something else. `change` gets
// the SOF segment from its length field on.
Bytes WithFrame(Bytes stream, const std::function<void(std::uint8_t*)>& change) {
    const std::size_t sof = SegmentOf(stream, 0xC0);
    EXPECT_NE(sof, 0u);
    if (sof != 0) change(&stream[sof]);
    return stream;
}

void SetFrameSize(std::uint8_t* sof, int width, int height) {
    sof[3] = static_cast<std::uint8_t>(height >> 8);
    sof[4] = static_cast<std::uint8_t>(height);
    sof[5] = static_cast<std::uint8_t>(width >> 8);
    sof[6] = static_cast<std::uint8_t>(width);
}

// An output tile with the directory's tables put back in front: a whole
// stream any decoder reads.
Bytes WithTables(const Bytes& tile, int quality, bool chroma420 = false) {
    const Bytes tables = TablesFor(quality, chroma420);
    if (tables.size() < 4 || tile.size() < 4) return {};
    Bytes whole(tables.begin(), tables.end() - 2);            // without its EOI
    whole.insert(whole.end(), tile.begin() + 2, tile.end());  // after the tile's SOI
    return whole;
}

Bytes Decoded(const Bytes& stream) {
    const TurboJpegHandle handle(tjInitDecompress());
    JpegSize size;
    Bytes pixels;
    if (ReadJpegHeader(handle.get(), stream.data(), stream.size(), &size)) {
        pixels.resize(static_cast<std::size_t>(size.width) * size.height * 3);
        if (!DecodeJpegRgb(handle.get(), stream.data(), stream.size(), size, pixels.data(), 0))
            pixels.clear();
    }
    EXPECT_FALSE(pixels.empty());
    return pixels;
}

// Today's route: the stored tile decoded, then encoded from its pixels.
Bytes PixelRoute(const Bytes& stored, int side, int quality, bool chroma420 = false) {
    const Bytes pixels = Decoded(stored);
    TileEncoder encoder(quality, chroma420);
    Bytes tile;
    EXPECT_TRUE(encoder.Encode(pixels.data(), side, side, &tile));
    return tile;
}

Bytes CoefficientRoute(const Bytes& stored, int side, int quality, bool chroma420 = false) {
    DctTranscoder transcoder(quality, chroma420);
    Bytes tile;
    EXPECT_EQ(transcoder.Transcode(stored.data(), stored.size(), side, side, &tile),
              TranscodeResult::kTranscoded);
    return tile;
}

// Sums of squared and of absolute differences, with their count.
struct Differences {
    double squared = 0;
    double absolute = 0;
    double count = 0;
    void Add(const Bytes& a, const Bytes& b) {
        ASSERT_EQ(a.size(), b.size());
        for (std::size_t i = 0; i < a.size(); ++i) {
            const double d = static_cast<double>(a[i]) - b[i];
            squared += d * d;
            absolute += std::abs(d);
        }
        count += static_cast<double>(a.size());
    }
    double Psnr() const { return 10.0 * std::log10(255.0 * 255.0 * count / squared); }
    double Mean() const { return absolute / count; }
};

TEST(DctTranscoderTest, StreamsTakenAndWhyOthersAreRefused) {
    constexpr int kSide = 256;
    const Bytes rgb = SyntheticTissue(kSide, 1)[0];
    const Bytes good = StoredTile(rgb, kSide, kSide, 85);
    const Bytes small = StoredTile(rgb, kSide, 128, 85);
    struct Case {
        const char* name;
        Bytes stream;
        int width;
        int height;
        TranscodeResult expected;
    };
    const Case cases[] = {
        {"as nvxmake stores it", good, kSide, kSide, TranscodeResult::kTranscoded},
        {"libjpeg's own 4:4:4", StreamOfKind(rgb, kSide, {}), kSide, kSide,
         TranscodeResult::kTranscoded},
        {"4:2:0", StreamOfKind(rgb, kSide, {.lumaSampling = 2, .lumaVertical = 2}), kSide, kSide,
         TranscodeResult::kSubsampled},
        {"4:2:2", StreamOfKind(rgb, kSide, {.lumaSampling = 2}), kSide, kSide,
         TranscodeResult::kSubsampled},
        {"progressive", StreamOfKind(rgb, kSide, {.progressive = true}), kSide, kSide,
         TranscodeResult::kNotBaseline},
        {"arithmetic", StreamOfKind(rgb, kSide, {.arithmetic = true}), kSide, kSide,
         TranscodeResult::kNotBaseline},
        {"greyscale", StreamOfKind(rgb, kSide, {.space = JCS_GRAYSCALE}), kSide, kSide,
         TranscodeResult::kNotThreeComponents},
        {"RGB", StreamOfKind(rgb, kSide, {.space = JCS_RGB}), kSide, kSide,
         TranscodeResult::kNotYCbCr},
        {"16-bit quantisation steps", StreamOfKind(rgb, kSide, {.quality = 5}), kSide, kSide,
         TranscodeResult::kNotBaseline},
        {"12-bit frame", WithFrame(good, [](std::uint8_t* sof) { sof[2] = 12; }), kSide, kSide,
         TranscodeResult::kNotEightBit},
        {"narrower than the tile", good, kSide + 16, kSide, TranscodeResult::kOtherSize},
        {"an edge tile, shorter", small, kSide, kSide, TranscodeResult::kOtherSize},
        {"frame says larger than the tile",
         WithFrame(good, [](std::uint8_t* sof) { SetFrameSize(sof, 4 * kSide, 4 * kSide); }), kSide,
         kSide, TranscodeResult::kOtherSize},
        {"frame says subsampled", WithFrame(good, [](std::uint8_t* sof) { sof[9] = 0x22; }), kSide,
         kSide, TranscodeResult::kSubsampled},
        {"frame says the tile's size over half its data",
         WithFrame(small, [](std::uint8_t* sof) { SetFrameSize(sof, kSide, kSide); }), kSide, kSide,
         TranscodeResult::kDamaged},
        {"cut in its data", Bytes(good.begin(), good.begin() + good.size() / 2), kSide, kSide,
         TranscodeResult::kDamaged},
        {"cut in its headers", Bytes(good.begin(), good.begin() + 120), kSide, kSide,
         TranscodeResult::kUnreadable},
        {"tables only", TablesFor(60), kSide, kSide, TranscodeResult::kUnreadable},
        {"no JPEG at all", Bytes(4000, 0x5A), kSide, kSide, TranscodeResult::kUnreadable},
        {"empty", Bytes(), kSide, kSide, TranscodeResult::kUnreadable},
    };
    // One transcoder for all, as a worker has: a refusal, a jump back from
    // libjpeg included, leaves it fit for the next tile.
    DctTranscoder transcoder(60);
    const Bytes expectedGood = CoefficientRoute(good, kSide, 60);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes tile(10, 1);
        const TranscodeResult result =
            transcoder.Transcode(c.stream.data(), c.stream.size(), c.width, c.height, &tile);
        EXPECT_EQ(result, c.expected);
        // The header alone passes a stream damaged after it; a level of
        // copied tiles reads the data as the transcoder does.
        EXPECT_EQ(
            CheckStoredTile(c.stream.data(), c.stream.size(), c.width, c.height),
            c.expected == TranscodeResult::kDamaged ? TranscodeResult::kTranscoded : c.expected);
        EXPECT_EQ(CheckCopiedTile(c.stream.data(), c.stream.size(), c.width, c.height), c.expected);
        if (result == TranscodeResult::kTranscoded) {
            EXPECT_EQ(Decoded(WithTables(tile, 60)).size(), rgb.size());
        } else {
            EXPECT_TRUE(tile.empty());
        }
        Bytes next;
        EXPECT_EQ(transcoder.Transcode(good.data(), good.size(), kSide, kSide, &next),
                  TranscodeResult::kTranscoded);
        EXPECT_EQ(next, expectedGood);
    }
}

TEST(DctTranscoderTest, StoredQualityIsReadFromTheLuminanceTable) {
    constexpr int kSide = 64;
    const Bytes rgb = ColourBars(kSide);
    for (const int quality : {25, 30, 49, 50, 51, 60, 75, 85, 90, 95, 99, 100}) {
        SCOPED_TRACE(quality);
        for (const Bytes& stream : {StoredTile(rgb, kSide, kSide, quality),
                                    StreamOfKind(rgb, kSide, {.quality = quality})}) {
            int estimated = 0;
            ASSERT_EQ(CheckStoredTile(stream.data(), stream.size(), kSide, kSide, &estimated),
                      TranscodeResult::kTranscoded);
            EXPECT_EQ(estimated, quality);
        }
    }
}

// Garbage in the entropy-coded data: libjpeg may or may not notice, but the
// tile is either refused as damaged or a whole tile comes out.
TEST(DctTranscoderTest, GarbledDataGivesAWholeTileOrARefusal) {
    constexpr int kSide = 256;
    const Bytes good = StoredTile(SyntheticTissue(kSide, 1)[0], kSide, kSide, 85);
    const std::size_t sos = SegmentOf(good, 0xDA);
    ASSERT_NE(sos, 0u);
    const std::size_t data = sos + (good[sos] << 8 | good[sos + 1]);
    DctTranscoder transcoder(75);
    int refused = 0;
    for (std::size_t at = data; at + 16 < good.size(); at += (good.size() - data) / 40) {
        Bytes garbled = good;
        for (std::size_t i = at; i < at + 16; ++i) garbled[i] = static_cast<std::uint8_t>(i * 37);
        Bytes tile;
        const TranscodeResult result =
            transcoder.Transcode(garbled.data(), garbled.size(), kSide, kSide, &tile);
        if (result == TranscodeResult::kTranscoded) {
            EXPECT_EQ(Decoded(WithTables(tile, 75)).size(), kSide * kSide * 3u);
        } else {
            EXPECT_EQ(result, TranscodeResult::kDamaged);
            ++refused;
        }
    }
    EXPECT_GT(refused, 0);
}

// A stream buffer that cannot grow is memory run out, thrown from the
// caller's frame (never through libjpeg's), not a reason to take the pixel
// route; the transcoder and the encoder are fit for the next tile after it.
TEST(DctTranscoderTest, MemoryRunOutIsThrownAndLeavesTheCodecsFit) {
    constexpr int kSide = 256;
    const Bytes rgb = SyntheticTissue(kSide, 1)[0];
    const Bytes stored = StoredTile(rgb, kSide, kSide, 85);
    DctTranscoder transcoder(60);
    TileEncoder encoder(60);
    Bytes tile;
    {
        // The first chunk of a stream buffer.
        testing::RefuseTileBuffers refuse(64 * 1024, /*vectorsToo=*/true);
        EXPECT_THROW(transcoder.Transcode(stored.data(), stored.size(), kSide, kSide, &tile),
                     std::bad_alloc);
        EXPECT_THROW(encoder.Encode(rgb.data(), kSide, kSide, &tile), std::bad_alloc);
    }
    EXPECT_EQ(transcoder.Transcode(stored.data(), stored.size(), kSide, kSide, &tile),
              TranscodeResult::kTranscoded);
    EXPECT_EQ(tile, CoefficientRoute(stored, kSide, 60));
    ASSERT_TRUE(encoder.Encode(rgb.data(), kSide, kSide, &tile));
    EXPECT_EQ(Decoded(WithTables(tile, 60)).size(), rgb.size());
}

// Everything before the entropy-coded data (SOI, the frame, the scan's
// header) is the encoder's, byte for byte, so readers see the same layout.
TEST(DctTranscoderTest, TilesLaidOutAsTheEncodersAndDeterministic) {
    for (const int quality : {60, 75}) {
        SCOPED_TRACE("quality " + std::to_string(quality));
        const Bytes stored = StoredTile(SyntheticTissue(240, 1)[0], 240, 240, 90);
        const Bytes ours = CoefficientRoute(stored, 240, quality);
        const Bytes theirs = PixelRoute(stored, 240, quality);
        const std::size_t sos = SegmentOf(theirs, 0xDA);
        ASSERT_NE(sos, 0u);
        const std::size_t dataStart = sos + (theirs[sos] << 8 | theirs[sos + 1]);
        ASSERT_GT(ours.size(), dataStart);
        EXPECT_TRUE(std::equal(theirs.begin(), theirs.begin() + dataStart, ours.begin()));
        EXPECT_EQ(ours[ours.size() - 2], 0xFF);
        EXPECT_EQ(ours.back(), 0xD9);
        // The same stream every time, from a fresh transcoder or one that
        // made a tile of other stored tables before (stored at 50, not 90):
        // each tile takes the weights of its own tables.
        const Bytes otherStored = StoredTile(ColourBars(240), 240, 240, 50);
        for (const bool chroma420 : {false, true}) {
            SCOPED_TRACE(chroma420 ? "4:2:0" : "4:4:4");
            DctTranscoder used(quality, chroma420);
            Bytes other;
            ASSERT_EQ(used.Transcode(otherStored.data(), otherStored.size(), 240, 240, &other),
                      TranscodeResult::kTranscoded);
            Bytes again;
            ASSERT_EQ(used.Transcode(stored.data(), stored.size(), 240, 240, &again),
                      TranscodeResult::kTranscoded);
            EXPECT_EQ(again, chroma420 ? CoefficientRoute(stored, 240, quality, true) : ours);
        }
    }
}

// Both routes' decoded tiles against the pixels the stored tiles were made
// from and against the stored tiles' own pixels. The coefficient route
// rounds once less, so it is as close to the first (within chance); the
// stored pixels carry their own rounding, which the pixel route encodes and
// the coefficient route never sees, so it may be a little further from
// them. Either way the two routes differ by less than one grey level on
// average; a wrong weight or table would cost whole decibels.
void ExpectRoutesAgree(const std::vector<Bytes>& tiles, int side, int storedQuality) {
    for (const int quality : {60, 75}) {
        SCOPED_TRACE("quality " + std::to_string(quality) + " from " +
                     std::to_string(storedQuality));
        Differences pixelRoute, coefficientRoute, pixelFromSource, coefficientFromSource, between;
        for (const Bytes& rgb : tiles) {
            const Bytes stored = StoredTile(rgb, side, side, storedQuality);
            const Bytes storedPixels = Decoded(stored);
            const Bytes byPixels = Decoded(WithTables(PixelRoute(stored, side, quality), quality));
            const Bytes byCoefficients =
                Decoded(WithTables(CoefficientRoute(stored, side, quality), quality));
            pixelRoute.Add(byPixels, storedPixels);
            coefficientRoute.Add(byCoefficients, storedPixels);
            pixelFromSource.Add(byPixels, rgb);
            coefficientFromSource.Add(byCoefficients, rgb);
            between.Add(byCoefficients, byPixels);
        }
        EXPECT_GE(coefficientFromSource.Psnr(), pixelFromSource.Psnr() - 0.05);
        EXPECT_GE(coefficientRoute.Psnr(), pixelRoute.Psnr() - 0.25);
        EXPECT_LT(between.Mean(), 1.0);
    }
}

TEST(DctTranscoderTest, SyntheticTissueDecodesAsThePixelRouteWithinRounding) {
    const std::vector<Bytes> tiles = SyntheticTissue(256, 12);
    ExpectRoutesAgree({ColourBars(256)}, 256, 85);
    ExpectRoutesAgree({ColourBars(256)}, 256, 90);
    ExpectRoutesAgree(tiles, 256, 85);
    ExpectRoutesAgree(tiles, 256, 90);
}

TEST(DctTranscoderTest, RealScanDecodesAsThePixelRouteWithinRounding) {
    const std::string path = std::string(NVX_TEST_DATA) + "/CMU-1-Small-Region.svs";
    testing::TiffFile tiff(TIFFOpen(path.c_str(), "r"));
    ASSERT_TRUE(tiff);
    std::uint32_t side = 0;
    TIFFGetField(tiff.get(), TIFFTAG_TILEWIDTH, &side);
    ASSERT_EQ(side, 240u);
    std::vector<Bytes> tiles;
    // Twelve whole tiles from the middle of the scan, tissue and background.
    for (std::uint32_t row = 4; row < 7; ++row) {
        for (std::uint32_t column = 2; column < 6; ++column) {
            Bytes rgb(static_cast<std::size_t>(TIFFTileSize(tiff.get())));
            ASSERT_EQ(rgb.size(), side * side * 3u);
            ASSERT_GT(TIFFReadTile(tiff.get(), rgb.data(), column * side, row * side, 0, 0), 0);
            tiles.push_back(std::move(rgb));
        }
    }
    ExpectRoutesAgree(tiles, static_cast<int>(side), 85);
}

// 4:2:0 tiles by both routes. The coefficient route halves the stored
// chroma in the DCT domain where libjpeg's encoder averages the decoded
// pixels, so the two differ by rounding and by the clamping of out-of-range
// pixels: where one output coefficient falls a step apart, a sample moves by
// up to a quarter of that step. Where the stored steps divide the output
// ones in halves or quarters (90 into 60 or 80), a tie is common; the
// coefficient route gives them to zero, the pixel route either way, so
// there the routes differ more, and the coefficient route is the closer to
// the source and the smaller. A wrong weight, table or sign in the halving
// would cost whole decibels against the source.
TEST(DctTranscoderTest, FourTwoZeroDecodesAsThePixelRouteWithinRounding) {
    const std::vector<Bytes> tissue = SyntheticTissue(256, 12);
    struct Case {
        const char* name;
        std::vector<Bytes> tiles;
        int storedQuality;
        int quality;
        bool ties;            // the coefficient route must also be closer and smaller
        double leastBetween;  // PSNR of the two routes against each other
        double mostMean;      // their mean absolute difference
        int mostLargest;      // the most any sample differs
    };
    const Case cases[] = {
        {"tissue from 85 at 60", tissue, 85, 60, false, 45.0, 0.5, 32},
        {"tissue from 85 at 80", tissue, 85, 80, false, 43.0, 0.75, 40},
        {"colour bars from 90 at 60", {ColourBars(256)}, 90, 60, false, 36.0, 1.75, 60},
        {"tissue from 90 at 60", tissue, 90, 60, true, 38.0, 1.0, 72},
        {"tissue from 90 at 80", tissue, 90, 80, true, 32.0, 3.0, 72},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Differences pixelFromSource, coefficientFromSource, between;
        std::size_t pixelBytes = 0, coefficientBytes = 0;
        int largest = 0;
        for (const Bytes& rgb : c.tiles) {
            const Bytes stored = StoredTile(rgb, 256, 256, c.storedQuality);
            const Bytes pixelTile = PixelRoute(stored, 256, c.quality, true);
            const Bytes coefficientTile = CoefficientRoute(stored, 256, c.quality, true);
            pixelBytes += pixelTile.size();
            coefficientBytes += coefficientTile.size();
            const Bytes byPixels = Decoded(WithTables(pixelTile, c.quality, true));
            const Bytes byCoefficients = Decoded(WithTables(coefficientTile, c.quality, true));
            pixelFromSource.Add(byPixels, rgb);
            coefficientFromSource.Add(byCoefficients, rgb);
            between.Add(byCoefficients, byPixels);
            for (std::size_t i = 0; i < rgb.size(); ++i)
                largest = std::max(largest, std::abs(byPixels[i] - byCoefficients[i]));
        }
        EXPECT_GE(coefficientFromSource.Psnr(), pixelFromSource.Psnr() - 0.1);
        EXPECT_LE(coefficientBytes, pixelBytes + pixelBytes / 50);
        if (c.ties) {
            EXPECT_GT(coefficientFromSource.Psnr(), pixelFromSource.Psnr());
            EXPECT_LT(coefficientBytes, pixelBytes);
        }
        EXPECT_GE(between.Psnr(), c.leastBetween);
        EXPECT_LT(between.Mean(), c.mostMean);
        EXPECT_LE(largest, c.mostLargest);
    }
}

// The 4:2:0 transcoder refuses what the 4:4:4 one refuses, and a tile side
// that ends inside a 16 x 16 MCU; what it writes is laid out as the 4:2:0
// encoder's tiles are (the frame says 2x2 luminance, ids 1, 2, 3), and a
// refusal leaves it fit for the next tile.
TEST(DctTranscoderTest, FourTwoZeroTilesAreLaidOutAsTheEncodersAndRefuseOddSides) {
    const Bytes rgb = SyntheticTissue(256, 1)[0];
    const Bytes stored = StoredTile(rgb, 256, 256, 90);
    const Bytes odd = StoredTile(Bytes(rgb.begin(), rgb.begin() + 248 * 248 * 3), 248, 248, 90);
    const Bytes subsampled = StreamOfKind(rgb, 256, {.lumaSampling = 2, .lumaVertical = 2});
    DctTranscoder transcoder(60, true);
    const Bytes expected = CoefficientRoute(stored, 256, 60, true);
    struct Case {
        const char* name;
        const Bytes& stream;
        int side;
        TranscodeResult result;
    };
    const Case cases[] = {{"a side of 248", odd, 248, TranscodeResult::kOtherSize},
                          {"stored 4:2:0", subsampled, 256, TranscodeResult::kSubsampled},
                          {"as nvxmake stores it", stored, 256, TranscodeResult::kTranscoded}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes tile;
        EXPECT_EQ(transcoder.Transcode(c.stream.data(), c.stream.size(), c.side, c.side, &tile),
                  c.result);
        Bytes again;
        ASSERT_EQ(transcoder.Transcode(stored.data(), stored.size(), 256, 256, &again),
                  TranscodeResult::kTranscoded);
        EXPECT_EQ(again, expected);
    }
    const Bytes encoded = PixelRoute(stored, 256, 60, true);
    const std::size_t sos = SegmentOf(encoded, 0xDA);
    ASSERT_NE(sos, 0u);
    const std::size_t dataStart = sos + (encoded[sos] << 8 | encoded[sos + 1]);
    ASSERT_GT(expected.size(), dataStart);
    EXPECT_TRUE(std::equal(encoded.begin(), encoded.begin() + dataStart, expected.begin()));
    const std::size_t sof = SegmentOf(expected, 0xC0);
    ASSERT_NE(sof, 0u);
    // From the length field: precision, height, width, count, then id,
    // sampling and table of each component.
    EXPECT_EQ(std::vector<int>(expected.begin() + sof + 8, expected.begin() + sof + 17),
              (std::vector<int>{1, 0x22, 0, 2, 0x11, 1, 3, 0x11, 1}));
}

}  // namespace
}  // namespace nvx::pyramid
