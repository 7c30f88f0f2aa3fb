/*
 * tile_encoder_test.cpp - tiles encoded outside libtiff must be the very
 * streams libtiff's own JPEG codec writes for the same pixels and quality,
 * with the same JPEGTables, so that readers see nothing new.
 */
#include "pyramid/tile_encoder.h"

#include <gtest/gtest.h>
#include <tiffio.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "pyramid/output_layout.h"
#include "tests/pyramid/tiff_file.h"

namespace nvx::pyramid {
namespace {

using testing::CreateTiffForWriting;
using testing::TiffFile;

std::vector<std::uint8_t> TissueLikeTile(int side, unsigned seed) {
    std::vector<std::uint8_t> rgb(static_cast<std::size_t>(side) * side * 3);
    unsigned state = seed;
    for (int y = 0; y < side; ++y) {
        for (int x = 0; x < side; ++x) {
            state = state * 1103515245u + 12345u;
            const int noise = static_cast<int>((state >> 16) % 40);
            std::uint8_t* p = &rgb[(static_cast<std::size_t>(y) * side + x) * 3];
            p[0] = static_cast<std::uint8_t>(150 + (x * 60) / side + noise / 2);
            p[1] = static_cast<std::uint8_t>(60 + (y * 80) / side + noise);
            p[2] = static_cast<std::uint8_t>(120 + ((x + y) % 64) + noise / 4);
        }
    }
    return rgb;
}

struct LibtiffTile {
    std::vector<std::uint8_t> stream;
    std::vector<std::uint8_t> tables;
};

// Writes `rgb` as the single tile of a level through libtiff's codec and
// reads back what landed in the file.
LibtiffTile WrittenByLibtiff(const std::vector<std::uint8_t>& rgb, int side, int quality) {
    char path[] = "/tmp/nvx-encoder-XXXXXX";
    const int fd = mkstemp(path);
    EXPECT_GE(fd, 0);
    close(fd);
    LibtiffTile result;
    {
        TiffFile tiff = CreateTiffForWriting(path);
        LevelPlan level;
        level.directoryIndex = 1;
        level.width = side;
        level.height = side;
        level.jpegQuality = quality;
        SharedLevelTags shared;
        shared.pageCount = 5;
        shared.tileSize = side;
        shared.scanMagnification = 40;
        SetLevelTags(tiff.get(), level, shared);
        EXPECT_GT(TIFFWriteTile(tiff.get(), const_cast<std::uint8_t*>(rgb.data()), 0, 0, 0, 0), 0);
        EXPECT_EQ(TIFFWriteDirectory(tiff.get()), 1);
    }
    TIFF* tiff = TIFFOpen(path, "r");
    EXPECT_NE(tiff, nullptr);
    if (tiff != nullptr) {
        result.stream.resize(static_cast<std::size_t>(side) * side * 4);
        const tmsize_t got = TIFFReadRawTile(tiff, 0, result.stream.data(),
                                             static_cast<tmsize_t>(result.stream.size()));
        result.stream.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
        std::uint32_t count = 0;
        void* tables = nullptr;
        if (TIFFGetField(tiff, TIFFTAG_JPEGTABLES, &count, &tables) && tables != nullptr) {
            const auto* bytes = static_cast<const std::uint8_t*>(tables);
            result.tables.assign(bytes, bytes + count);
        }
        TIFFClose(tiff);
    }
    std::remove(path);
    return result;
}

TEST(TileEncoderTest, StreamsAndTablesAreThoseOfLibtiffsCodec) {
    for (const int quality : {60, 75}) {
        for (const int side : {256, 240, 16}) {
            SCOPED_TRACE("quality " + std::to_string(quality) + ", side " + std::to_string(side));
            const std::vector<std::uint8_t> rgb = TissueLikeTile(side, 7u + side);
            const LibtiffTile expected = WrittenByLibtiff(rgb, side, quality);
            ASSERT_FALSE(expected.stream.empty());
            TileEncoder encoder(quality);
            std::vector<std::uint8_t> ours;
            ASSERT_TRUE(encoder.Encode(rgb.data(), side, side, &ours));
            EXPECT_EQ(ours, expected.stream);
            EXPECT_EQ(TablesFor(quality), expected.tables);
            // A second tile from the same encoder is made the same way.
            std::vector<std::uint8_t> again;
            ASSERT_TRUE(encoder.Encode(rgb.data(), side, side, &again));
            EXPECT_EQ(again, expected.stream);
        }
    }
}

// The same through a single-strip directory, which takes any size: the
// encoder's edge padding must be libjpeg's own.
std::vector<std::uint8_t> StripByLibtiff(const std::vector<std::uint8_t>& rgb, int width,
                                         int height) {
    char path[] = "/tmp/nvx-encoder-strip-XXXXXX";
    const int fd = mkstemp(path);
    EXPECT_GE(fd, 0);
    close(fd);
    {
        TiffFile tiff = CreateTiffForWriting(path);
        SetThumbnailTags(tiff.get(), 5, width, height);  // quality 75
        EXPECT_GT(TIFFWriteEncodedStrip(tiff.get(), 0, const_cast<std::uint8_t*>(rgb.data()),
                                        static_cast<tmsize_t>(rgb.size())),
                  0);
        EXPECT_EQ(TIFFWriteDirectory(tiff.get()), 1);
    }
    std::vector<std::uint8_t> stream;
    TIFF* tiff = TIFFOpen(path, "r");
    if (tiff != nullptr) {
        stream.resize(rgb.size() * 2 + 1024);
        const tmsize_t got =
            TIFFReadRawStrip(tiff, 0, stream.data(), static_cast<tmsize_t>(stream.size()));
        stream.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
        TIFFClose(tiff);
    }
    std::remove(path);
    return stream;
}

TEST(TileEncoderTest, PicturesOfAnySizeArePaddedAsLibjpegPadsThem) {
    TileEncoder encoder(75);
    for (const auto& [width, height] :
         std::vector<std::pair<int, int>>{{100, 37}, {1, 1}, {17, 9}}) {
        SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height));
        std::vector<std::uint8_t> rgb = TissueLikeTile(std::max(width, height), 3);
        rgb.resize(static_cast<std::size_t>(width) * height * 3);
        std::vector<std::uint8_t> ours;
        ASSERT_TRUE(encoder.Encode(rgb.data(), width, height, &ours));
        EXPECT_EQ(ours, StripByLibtiff(rgb, width, height));
    }
}

TEST(TileEncoderTest, RefusesAnEmptyPicture) {
    TileEncoder encoder(60);
    std::vector<std::uint8_t> stream{1, 2, 3};
    const std::uint8_t pixel[3] = {0, 0, 0};
    EXPECT_FALSE(encoder.Encode(pixel, 0, 1, &stream));
    EXPECT_FALSE(encoder.Encode(pixel, 1, 0, &stream));
    EXPECT_FALSE(encoder.Encode(pixel, 70000, 1, &stream));   // beyond JPEG's 65535
    EXPECT_EQ(stream, std::vector<std::uint8_t>({1, 2, 3}));  // untouched
    // The encoder still works after refusing a size.
    EXPECT_TRUE(encoder.Encode(pixel, 1, 1, &stream));
    EXPECT_GT(stream.size(), 4u);
}

}  // namespace
}  // namespace nvx::pyramid
