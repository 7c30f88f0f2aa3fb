/*
 * tile_sink_test.cpp - a level's tiles handed to a sink other than the
 * TIFF: every tile once, in raster order, and the sink's refusals stopping
 * the level as the TIFF's do; the DICOM instance's sink taking abbreviated
 * tiles with the level's tables and complete ones as they are, refusing
 * what it cannot make a frame of, and writing the compression ratio over
 * its place at the end.
 */
#include "pyramid/tile_sink.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "pyramid/dicom_tile_sink.h"
#include "pyramid/level_writer.h"
#include "pyramid/tile_encoder.h"
#include "tests/pyramid/fake_slide_fixture.h"

namespace nvx::pyramid {
namespace {

using testing::FakeSlideTest;

// Keeps the tiles' numbers; refuses tile `refuseAt` with `refusal`.
class RecordingSink : public TileSink {
public:
    TilePut Put(std::int64_t index, std::int64_t tileCount,
                std::span<const std::uint8_t> tile) override {
        if (index == refuseAt) return refusal;
        counts.push_back(tileCount);
        indices.push_back(index);
        EXPECT_FALSE(tile.empty());
        return TilePut::Written;
    }
    RunRecord* Record() const override { return nullptr; }

    std::int64_t refuseAt = -1;
    TilePut refusal = TilePut::Refused;
    std::vector<std::int64_t> indices, counts;
};

class TileSinkTest : public FakeSlideTest {};

TEST_F(TileSinkTest, TheLevelHandsEveryTileOnceInRasterOrderAndStopsWhereTheSinkRefuses) {
    // (refused tile, refusal, the failure, the rows written)
    struct Case {
        std::int64_t refuseAt;
        TilePut refusal;
        std::optional<LevelFailure::Kind> failure;
        std::int32_t rows;
    };
    const Case cases[] = {
        {-1, TilePut::Written, std::nullopt, 512},
        {4, TilePut::Refused, LevelFailure::Kind::WriteRefused, 256},
        {1, TilePut::FileLimit, LevelFailure::Kind::FileLimit, 0},
    };
    for (const Case& c : cases) {
        LevelSource source;
        source.slide = slide_;
        source.tileSize = 256;
        source.scanMagnification = 40;
        source.regionMode = true;
        LevelPlan level;
        level.width = 768;
        level.height = 512;
        RecordingSink sink;
        sink.refuseAt = c.refuseAt;
        sink.refusal = c.refusal;
        LevelWriter writer(&sink, source, level);
        const LevelOutcome outcome = writer.Run([] {});
        const std::int64_t written = c.refuseAt < 0 ? 6 : c.refuseAt;
        std::vector<std::int64_t> expected(static_cast<std::size_t>(written));
        for (std::int64_t k = 0; k < written; ++k) expected[static_cast<std::size_t>(k)] = k;
        EXPECT_EQ(sink.indices, expected) << c.refuseAt;
        EXPECT_TRUE(std::all_of(sink.counts.begin(), sink.counts.end(),
                                [](std::int64_t n) { return n == 6; }));
        EXPECT_EQ(outcome.failure.has_value(), c.failure.has_value()) << c.refuseAt;
        if (outcome.failure && c.failure) {
            EXPECT_EQ(outcome.failure->kind, *c.failure);
        }
        EXPECT_EQ(outcome.rowsWritten, c.rows) << c.refuseAt;
    }
}

std::vector<std::uint8_t> Pixels(int side, int seed) {
    std::vector<std::uint8_t> rgb(static_cast<std::size_t>(side) * side * 3);
    for (std::size_t k = 0; k < rgb.size(); ++k)
        rgb[k] = static_cast<std::uint8_t>((k * 7 + static_cast<std::size_t>(seed) * 31) & 0xFF);
    return rgb;
}

TEST_F(TileSinkTest, TheInstanceTakesCompleteFramesAndWritesTheRatioAtTheEnd) {
    constexpr int kSide = 64;
    TileEncoder encoder(80);
    std::vector<std::uint8_t> abbreviated, complete;
    ASSERT_TRUE(encoder.Encode(Pixels(kSide, 1).data(), kSide, kSide, &abbreviated));
    ASSERT_TRUE(EncodeCompleteYCbCr(Pixels(kSide, 2).data(), kSide, kSide, 80, &complete));
    const std::vector<std::uint8_t> tables = TablesFor(80);
    // (name, the level's tables, its tiles, the tile count the level gives,
    //  whether every tile is taken, whether the instance ends whole)
    struct Case {
        const char* name;
        std::vector<std::uint8_t> tables;
        std::vector<std::vector<std::uint8_t>> tiles;
        std::int64_t tileCount;
        bool taken;
        bool whole;
    };
    const Case cases[] = {
        {"abbreviated tiles with the tables", tables, {abbreviated, abbreviated}, 2, true, true},
        {"complete tiles without tables", {}, {complete, complete}, 2, true, true},
        {"abbreviated tiles without tables", {}, {abbreviated}, 2, false, false},
        {"a level of another tile count", tables, {abbreviated}, 3, false, false},
        {"a frame short", tables, {abbreviated}, 2, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        dicom::WsmSlide slide;
        slide.metadata.containerIdentifier = "S";
        slide.studyUid = slide.seriesUid = slide.frameOfReferenceUid = "1.2.3";
        slide.pictureSeriesUid = "1.2.4";
        slide.dimensionOrganizationUid = slide.specimenUid = "1.2.3";
        slide.pictureSeriesUid = "1.2.3.6";
        slide.contentDate = "20260101";
        slide.contentTime = "120000";
        slide.columns = 2 * kSide;
        slide.rows = kSide;
        slide.micronsPerPixelX = slide.micronsPerPixelY = 0.25;
        slide.sectionRecorded = false;
        dicom::WsmImage image;
        image.instanceUid = "1.2.3.4";
        image.columns = 2 * kSide;
        image.rows = kSide;
        image.tileColumns = image.tileRows = kSide;
        const std::string path = PathIn("level.dcm");
        std::filesystem::remove(path);
        WritableFile file;
        std::string why;
        bool exists = false;
        ASSERT_TRUE(file.CreateNew(path, &why, &exists)) << why;
        RunRecord record;
        dicom::FileMeta meta;
        meta.sopClassUid = dicom::kWsmSopClass;
        meta.sopInstanceUid = image.instanceUid;
        meta.implementationClassUid = "1.2.3.5";
        DicomTileSink sink(&file, slide, image, meta, c.tables, &record, 1);
        bool taken = true;
        for (std::size_t k = 0; k < c.tiles.size(); ++k) {
            taken = taken && sink.Put(static_cast<std::int64_t>(k), c.tileCount, c.tiles[k]) ==
                                 TilePut::Written;
        }
        EXPECT_EQ(taken, c.taken);
        EXPECT_EQ(sink.Finish(), c.whole);
        EXPECT_EQ(record.Failed(), !c.whole);
        if (c.whole) {
            // The head written again at the end, with the UIDs known then.
            dicom::WsmSlide final = slide;
            final.seriesUid = "1.2.9";
            WrittenInstance written = sink.Written("level.dcm");
            written.image.instanceUid = meta.sopInstanceUid = "1.2.3.8";
            int code = 0;
            EXPECT_TRUE(WriteHeadAgain(written, final, meta, &code)) << code;
            // A head that does not take the first one's room is refused.
            final.seriesUid = "1.2.3.99";
            EXPECT_FALSE(WriteHeadAgain(written, final, meta, &code));
            EXPECT_EQ(code, EINVAL);
        }
        ASSERT_TRUE(file.Close(&why)) << why;
        if (!c.whole) continue;
        std::ifstream in(path, std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
        // The ratio of the frames' bytes to the pixels', in place of the
        // value that held its room, and the UIDs given at the end.
        const std::string element(
            "\x28\x00\x12\x21"
            "DS\x10\x00",
            8);
        const std::size_t at = bytes.find(element);
        ASSERT_NE(at, std::string::npos);
        std::size_t frameBytes = 0;
        std::vector<std::size_t> frameSizes;
        for (const auto& tile : c.tiles) {
            std::vector<std::uint8_t> frame = tile;
            if (!c.tables.empty()) {
                ASSERT_TRUE(dicom::SpliceTables(tile, c.tables, &frame));
            }
            frameBytes += frame.size();
            frameSizes.push_back(frame.size());
        }
        // The Basic Offset Table filled after the last frame is still there
        // once the head was written again: the second frame's item follows
        // the first's header and even-padded value.
        const std::string pixelData(
            "\xe0\x7f\x10\x00OB\0\0\xff\xff\xff\xff\xfe\xff\x00\xe0\x08\0\0\0", 20);
        const std::size_t table = bytes.find(pixelData);
        ASSERT_NE(table, std::string::npos);
        ASSERT_EQ(frameSizes.size(), 2U);
        std::uint32_t second = 0;
        for (int b = 3; b >= 0; --b) {
            second = second << 8 | static_cast<std::uint8_t>(bytes[table + 20 + 4 + b]);
        }
        EXPECT_EQ(second, 8 + (frameSizes[0] + 1) / 2 * 2);
        const double ratio = 2.0 * kSide * kSide * 3 / static_cast<double>(frameBytes);
        EXPECT_NEAR(std::stod(bytes.substr(at + 8, 16)), ratio, 1e-9);
        EXPECT_NE(bytes.find(std::string("1.2.9\0", 6)), std::string::npos);
        EXPECT_NE(bytes.find(std::string("1.2.3.8\0", 8)), std::string::npos);
        EXPECT_EQ(bytes.find("1.2.3.4"), std::string::npos) << "the first UID is written over";
        // The pixel data ends with the sequence delimiter.
        EXPECT_EQ(bytes.substr(bytes.size() - 8), std::string("\xfe\xff\xdd\xe0\0\0\0\0", 8));
    }
}

}  // namespace
}  // namespace nvx::pyramid
