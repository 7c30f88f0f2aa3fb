// Frames made complete from the converter's abbreviated tiles, and the
// photometric interpretation read from a frame.
// clang-format off
#include <cstddef>
#include <cstdio>
#include <jpeglib.h>
// clang-format on
#include <turbojpeg.h>

#include <gtest/gtest.h>

#include "common/jpeg_stream_check.h"
#include "dicom/jpeg_frame.h"
#include "pyramid/tile_encoder.h"
#include "tests/common/jpeg_stream_edits.h"
#include "tests/dicom/decode_with_tables.h"

namespace nvx::dicom {
namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr int kSide = 48;

Bytes Pixels() {
    Bytes rgb(kSide * kSide * 3);
    for (std::size_t i = 0; i < rgb.size(); ++i)
        rgb[i] = static_cast<std::uint8_t>((i * 7) ^ (i / 97));
    return rgb;
}

// A decoder that has read no other stream, as a DICOM viewer's is.
bool Decode(const Bytes& frame, Bytes* rgb) {
    tjhandle tj = tjInitDecompress();
    rgb->assign(kSide * kSide * 3, 0);
    const bool ok = tjDecompress2(tj, frame.data(), frame.size(), rgb->data(), kSide, 0, kSide,
                                  TJPF_RGB, 0) == 0;
    tjDestroy(tj);
    return ok;
}

Bytes TurboEncode(int subsampling) {
    const Bytes rgb = Pixels();
    tjhandle tj = tjInitCompress();
    unsigned char* out = nullptr;
    unsigned long size = 0;
    EXPECT_EQ(
        tjCompress2(tj, rgb.data(), kSide, 0, kSide, TJPF_RGB, &out, &size, subsampling, 85, 0), 0);
    Bytes stream(out, out + size);
    tjFree(out);
    tjDestroy(tj);
    return stream;
}

TEST(SpliceTablesTest, TheFrameDecodesAloneAsTheTileWithItsTables) {
    const Bytes rgb = Pixels();
    for (const int quality : {30, 90}) {
        SCOPED_TRACE(quality);
        pyramid::TileEncoder encoder(quality);
        Bytes tile, frame, decoded;
        ASSERT_TRUE(encoder.Encode(rgb.data(), kSide, kSide, &tile));
        const Bytes tables = pyramid::TablesFor(quality);
        EXPECT_FALSE(CarriesTables(tile));
        ASSERT_TRUE(SpliceTables(tile, tables, &frame));
        EXPECT_TRUE(CarriesTables(frame));
        // Every table its own: libjpeg would fill missing Huffman tables
        // with the standard's, which decode these tiles alike.
        EXPECT_EQ(CheckStreamCompleteness(frame.data(), frame.size()),
                  StreamCompleteness::kComplete);
        ASSERT_TRUE(Decode(frame, &decoded));
        EXPECT_EQ(decoded, DecodeWithTables(tables, tile));
        FramePhotometric photometric{};
        ASSERT_TRUE(PhotometricOf(frame, &photometric));
        EXPECT_EQ(photometric, FramePhotometric::Rgb);
        // The Adobe marker (transform 0) comes first, so that readers that
        // take the component ids for YCbCr see RGB.
        ASSERT_GT(frame.size(), 18u);
        EXPECT_EQ(Bytes(frame.begin() + 2, frame.begin() + 9),
                  (Bytes{0xFF, 0xEE, 0x00, 0x0E, 'A', 'd', 'o'}));
        EXPECT_EQ(frame[17], 0) << "transform";
    }
}

TEST(SpliceTablesTest, RefusesStreamsOfAnotherForm) {
    pyramid::TileEncoder encoder(75);
    Bytes tile;
    ASSERT_TRUE(encoder.Encode(Pixels().data(), kSide, kSide, &tile));
    const Bytes tables = pyramid::TablesFor(75);
    const Bytes complete = TurboEncode(TJSAMP_444);
    Bytes truncated = tables;
    truncated.resize(tables.size() - 10);
    Bytes noEnd = tables;
    noEnd.resize(tables.size() - 2);
    const Bytes onlyEnds = {0xFF, 0xD8, 0xFF, 0xD9};
    struct Row {
        const char* name;
        Bytes tile, tables;
    };
    const Row rows[] = {
        {"tile without SOI", Bytes(tile.begin() + 2, tile.end()), tables},
        {"tables without SOI", tile, Bytes(tables.begin() + 2, tables.end())},
        {"a whole stream as the tables", tile, complete},
        {"tables cut short", tile, truncated},
        {"tables without EOI", tile, noEnd},
        {"tables with no table", tile, onlyEnds},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Bytes frame = {1, 2, 3};
        EXPECT_FALSE(SpliceTables(row.tile, row.tables, &frame));
        EXPECT_EQ(frame, (Bytes{1, 2, 3}));
    }
}

TEST(PhotometricOfTest, ReadsTheComponentsOfTheFrame) {
    Bytes complete;
    ASSERT_TRUE(pyramid::EncodeCompleteYCbCr(Pixels().data(), kSide, kSide, 80, &complete));
    pyramid::TileEncoder encoder(80);
    Bytes abbreviated;
    ASSERT_TRUE(encoder.Encode(Pixels().data(), kSide, kSide, &abbreviated));
    struct Row {
        const char* name;
        Bytes frame;
        bool known;
        FramePhotometric photometric;
    };
    const Row rows[] = {
        {"the encoder's RGB tile", abbreviated, true, FramePhotometric::Rgb},
        {"a complete YCbCr tile", complete, true, FramePhotometric::YbrFull422},
        {"4:4:4 with a JFIF marker", TurboEncode(TJSAMP_444), true, FramePhotometric::YbrFull422},
        {"4:2:0", TurboEncode(TJSAMP_420), true, FramePhotometric::YbrFull422},
        {"4:2:2", TurboEncode(TJSAMP_422), true, FramePhotometric::YbrFull422},
        // The colour as libjpeg takes it: a JFIF marker makes it YCbCr whatever the ids.
        {"JFIF with ids R G B", test::WithIds(TurboEncode(TJSAMP_444), 'R', 'G', 'B'), true,
         FramePhotometric::YbrFull422},
        {"ids R G B", test::WithIds(test::WithoutJfif(TurboEncode(TJSAMP_444)), 'R', 'G', 'B'),
         true, FramePhotometric::Rgb},
        {"Adobe transform 0", test::WithAdobe(test::WithoutJfif(TurboEncode(TJSAMP_444)), 0), true,
         FramePhotometric::Rgb},
        {"fill bytes before the markers", test::WithFill(TurboEncode(TJSAMP_420)), true,
         FramePhotometric::YbrFull422},
        // Not baseline: no frame of a JPEG Baseline instance.
        {"extended frame (SOF1)", test::WithFrameCode(TurboEncode(TJSAMP_444), 0xC1), false, {}},
        {"16-bit tables", test::WithWideTables(TurboEncode(TJSAMP_444)), false, {}},
        {"grey", TurboEncode(TJSAMP_GRAY), false, {}},
        {"4:4:0", TurboEncode(TJSAMP_440), false, {}},
        {"no stream", Bytes{0xFF, 0xD8}, false, {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        FramePhotometric photometric{};
        EXPECT_EQ(PhotometricOf(row.frame, &photometric), row.known);
        if (row.known) {
            EXPECT_EQ(photometric, row.photometric);
        }
    }
}

}  // namespace
}  // namespace nvx::dicom
