/*
 * tile_route_test.cpp - which way a tile worker makes each tile of a level
 * at 10x of the fake slide (one whole tile and three edge tiles), told from
 * the tile's bytes: the transcoder's stream for the stored tile, the
 * encoder's for its pixels (padded at the edges), or a white tile for a
 * lost one. One row per reason a tile goes the pixel way, and per stream
 * that goes neither way.
 */
#include <gtest/gtest.h>

#include <cstdlib>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "pyramid/dct_transcoder.h"
#include "pyramid/tile_encoder.h"
#include "pyramid/tile_worker.h"
#include "slide/jpeg_decode.h"
#include "tests/pyramid/fake_slide_fixture.h"

namespace nvx::pyramid {
namespace {

constexpr int kSide = 256;
constexpr int kQuality = 60;

struct RouteCase {
    const char* name;
    std::vector<std::pair<const char*, const char*>> environment;
    bool regionMode;
    std::vector<std::string> routes;  // of the four tiles, in raster order
};

// What gtest shows of a row (in ctest's list, say): its name, not its bytes.
void PrintTo(const RouteCase& row, std::ostream* out) { *out << row.name; }

class TileRouteTest : public testing::FakeSlideTest,
                      public ::testing::WithParamInterface<RouteCase> {
protected:
    // The fake reads its settings when it is loaded, which the fixture does.
    void SetUp() override {
        for (const auto& [name, value] : GetParam().environment) setenv(name, value, 1);
        FakeSlideTest::SetUp();
    }
    void TearDown() override {
        FakeSlideTest::TearDown();
        for (const auto& [name, value] : GetParam().environment) unsetenv(name);
    }

    // The route that made `made`, the tile of `width` x `height` real pixels
    // at (x, y) of the level at 10x.
    std::string RouteOf(const std::vector<std::uint8_t>& made, int x, int y, int width,
                        int height) {
        // A lost tile is white, whatever a decoder would make of its stream.
        std::vector<std::uint8_t> white(kSide * kSide * 3, 0xFF), whiteStream;
        TileEncoder(kQuality).Encode(white.data(), kSide, kSide, &whiteStream);
        if (made == whiteStream) return "lost";
        std::vector<std::uint8_t> pixels;
        if (GetParam().regionMode) {
            const slide::Fetched region = slide::FetchRegion(slide_, 10.0f, x, y, width, height, 0);
            if (region.buffer) {
                pixels.assign(region.buffer.get(), region.buffer.get() + width * height * 3);
            }
        } else {
            slide::SlideHandle slide = slide_;
            const slide::Fetched stored = slide::FetchTile(&slide, 10.0f, x, y);
            if (!stored.buffer) return "no stored tile";
            const auto length = static_cast<std::size_t>(stored.length);
            std::vector<std::uint8_t> transcoded;
            DctTranscoder(kQuality).Transcode(stored.buffer.get(), length, kSide, kSide,
                                              &transcoded);
            if (!transcoded.empty() && made == transcoded) return "coefficients";
            JpegSize size;
            pixels.resize(std::size_t{kSide} * kSide * 3);
            if (!slide::DecodeJpegToRgb(stored.buffer.get(), length, pixels.data(), pixels.size(),
                                        &size) ||
                size.width != width || size.height != height) {
                pixels.clear();
            }
        }
        if (pixels.empty()) return "neither";
        std::vector<std::uint8_t> tile(kSide * kSide * 3);
        PadTile(pixels.data(), width, height, kSide, tile.data());
        std::vector<std::uint8_t> stream;
        TileEncoder(kQuality).Encode(tile.data(), kSide, kSide, &stream);
        return made == stream ? "pixels" : "neither";
    }
};

TEST_P(TileRouteTest, WholeStoredTilesTakeTheCoefficientRouteAndEveryOtherThePixelRoute) {
    // The level at factor 4 of the 2000 x 1500 slide: 500 x 375 at 10x.
    LevelSource source;
    source.slide = slide_;
    source.tileSize = kSide;
    source.scanMagnification = testing::kFakeMagnification;
    source.regionMode = GetParam().regionMode;
    LevelPlan level;
    level.scaleFactor = 4.0f;
    level.width = 500;
    level.height = 375;
    level.jpegQuality = kQuality;
    TileWorker worker(source, level);
    std::vector<std::string> routes;
    std::int64_t index = 0;
    for (const auto& [x, y] :
         std::vector<std::pair<int, int>>{{0, 0}, {256, 0}, {0, 256}, {256, 256}}) {
        const TileStream made = worker.Make(TilePlace{index++, x, y});
        routes.push_back(
            RouteOf(made.bytes, x, y, std::min(kSide, 500 - x), std::min(kSide, 375 - y)));
        EXPECT_EQ(made.lost, routes.back() == "lost") << x << "," << y;
    }
    EXPECT_EQ(routes, GetParam().routes);
}

INSTANTIATE_TEST_SUITE_P(
    EachReason, TileRouteTest,
    ::testing::Values(
        RouteCase{
            "StoredAsNvxmakeStoresThem", {}, false, {"coefficients", "pixels", "pixels", "pixels"}},
        RouteCase{"PixelRouteForced",
                  {{"NVX2SVS_PIXEL_ROUTE", "1"}},
                  false,
                  {"pixels", "pixels", "pixels", "pixels"}},
        RouteCase{"PixelRouteNotForcedByZero",
                  {{"NVX2SVS_PIXEL_ROUTE", "0"}},
                  false,
                  {"coefficients", "pixels", "pixels", "pixels"}},
        RouteCase{"Subsampled",
                  {{"NVXFAKE_TILE_STREAM", "420"}},
                  false,
                  {"pixels", "pixels", "pixels", "pixels"}},
        RouteCase{"Progressive",
                  {{"NVXFAKE_TILE_STREAM", "progressive"}},
                  false,
                  {"pixels", "pixels", "pixels", "pixels"}},
        RouteCase{"LargerThanATile",
                  {{"NVXFAKE_OVERSIZE", "1"}},
                  false,
                  {"lost", "lost", "lost", "lost"}},
        RouteCase{
            "NotJpeg", {{"NVXFAKE_CORRUPT", "tile"}}, false, {"lost", "lost", "lost", "lost"}},
        // Streams right of the first column without tables of their own: a
        // decoder would lend them those of the tile before, or the
        // standard's example Huffman tables.
        RouteCase{"WithoutQuantTables",
                  {{"NVXFAKE_TABLELESS", "dqt"}},
                  false,
                  {"coefficients", "lost", "pixels", "lost"}},
        RouteCase{"WithoutHuffmanTables",
                  {{"NVXFAKE_TABLELESS", "dht"}},
                  false,
                  {"coefficients", "lost", "pixels", "lost"}},
        RouteCase{"PixelRouteWithoutQuantTables",
                  {{"NVX2SVS_PIXEL_ROUTE", "1"}, {"NVXFAKE_TABLELESS", "dqt"}},
                  false,
                  {"pixels", "lost", "pixels", "lost"}},
        RouteCase{"RegionMode", {}, true, {"pixels", "pixels", "pixels", "pixels"}}),
    [](const ::testing::TestParamInfo<RouteCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace nvx::pyramid
