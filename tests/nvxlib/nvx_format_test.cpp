/*
 * nvx_format_test.cpp - the on-disk records: level geometry, exact round
 * trips of every field, and the header checksum covering every byte.
 */
#include <gtest/gtest.h>

#include "nvxlib/nvx_format.h"

namespace {

TEST(NvxFormat, LevelsHalveDownToOneTile) {
    const auto s = nvx::LevelShapes(6000, 4000, 256);
    ASSERT_EQ(s.size(), 6u);
    EXPECT_EQ(s[0].width, 6000u);
    EXPECT_EQ(s[0].columns, 24u);
    EXPECT_EQ(s[0].rows, 16u);
    EXPECT_EQ(s[3].width, 750u);
    EXPECT_EQ(s[3].height, 500u);
    EXPECT_EQ(s[5].width, 187u);  // floor(6000 / 32)
    EXPECT_EQ(s[5].height, 125u);
    EXPECT_EQ(s[5].columns * s[5].rows, 1u);
}

TEST(NvxFormat, LevelsOfOddAndTinySlides) {
    EXPECT_EQ(nvx::LevelShapes(256, 256, 256).size(), 1u);
    EXPECT_EQ(nvx::LevelShapes(257, 10, 256).size(), 2u);
    // A strip stops before a side would reach zero, even wider than a tile.
    const auto strip = nvx::LevelShapes(100000, 3, 256);
    EXPECT_EQ(strip.size(), 2u);
    EXPECT_EQ(strip.back().height, 1u);
    EXPECT_GT(strip.back().columns, 1u);
    EXPECT_TRUE(nvx::LevelShapes(0, 10, 256).empty());
}

nvx::Header SampleHeader() {
    nvx::Header h;
    h.width = 100000;
    h.height = 50000;
    h.scanMagnification = 40;
    h.tileSize = 240;
    h.micronsPerPixel = 0.2497f;
    h.auxFloat = -1.5f;
    h.auxDouble = 3.25e10;
    h.levelCount = 10;
    h.levelTableCrc = 0xdeadbeef;
    h.levelTableOffset = 0x1'2345'6789ull;
    h.fileSize = 0x2'0000'0000ull;
    h.label = {0x1'0000'0000ull, 1234, 600, 601, 77};
    h.preview = {5000, 99, 1500, 500, 88};
    return h;
}

TEST(NvxFormat, HeaderRoundTripsEveryField) {
    const nvx::Header h = SampleHeader();
    const auto bytes = nvx::EncodeHeader(h);
    const auto back = nvx::DecodeHeader(bytes);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->width, h.width);
    EXPECT_EQ(back->height, h.height);
    EXPECT_EQ(back->scanMagnification, h.scanMagnification);
    EXPECT_EQ(back->tileSize, h.tileSize);
    EXPECT_EQ(back->micronsPerPixel, h.micronsPerPixel);
    EXPECT_EQ(back->auxFloat, h.auxFloat);
    EXPECT_EQ(back->auxDouble, h.auxDouble);
    EXPECT_EQ(back->levelCount, h.levelCount);
    EXPECT_EQ(back->levelTableCrc, h.levelTableCrc);
    EXPECT_EQ(back->levelTableOffset, h.levelTableOffset);
    EXPECT_EQ(back->fileSize, h.fileSize);
    EXPECT_EQ(back->label.offset, h.label.offset);
    EXPECT_EQ(back->label.height, h.label.height);
    EXPECT_EQ(back->label.crc, h.label.crc);
    EXPECT_EQ(back->preview.length, h.preview.length);
    EXPECT_EQ(back->preview.width, h.preview.width);
}

TEST(NvxFormat, AnyFlippedHeaderByteIsRefused) {
    const auto good = nvx::EncodeHeader(SampleHeader());
    for (size_t i = 0; i < good.size(); ++i) {
        auto bad = good;
        bad[i] ^= 0x10;
        EXPECT_FALSE(nvx::DecodeHeader(bad)) << "byte " << i;
    }
    EXPECT_FALSE(nvx::DecodeHeader(std::span(good).first(nvx::kHeaderSize - 1)));
}

TEST(NvxFormat, IndexRecordsRoundTripLargeOffsets) {
    uint8_t buf[nvx::kLevelRecordSize];
    nvx::EncodeLevelRecord({7, 8, 9, 10, 0xAB'CDEF'0123ull, 0x55AA55AA}, buf);
    const nvx::LevelRecord l = nvx::DecodeLevelRecord(buf);
    EXPECT_EQ(l.width, 7u);
    EXPECT_EQ(l.rows, 10u);
    EXPECT_EQ(l.indexOffset, 0xAB'CDEF'0123ull);
    EXPECT_EQ(l.indexCrc, 0x55AA55AAu);

    uint8_t e[nvx::kTileEntrySize];
    nvx::EncodeTileEntry({0x7'0000'0001ull, 65536, 0x12345678}, e);
    const nvx::TileEntry t = nvx::DecodeTileEntry(e);
    EXPECT_EQ(t.offset, 0x7'0000'0001ull);
    EXPECT_EQ(t.length, 65536u);
    EXPECT_EQ(t.crc, 0x12345678u);
    EXPECT_EQ(e[0], 0x01);  // little-endian on disk
}

}  // namespace
