/*
 * output_layout_test.cpp - the description texts byte for byte, and the
 * thumbnail's reduction below 2048 pixels a side.
 */
#include "pyramid/output_layout.h"

#include <gtest/gtest.h>

#include "pyramid/associated_images.h"
#include "pyramid/pyramid_plan.h"

namespace nvx::pyramid {
namespace {

TEST(LevelDescription, CarriesTheLevelSizeTileQualitySixtyAndFullResolutionValues) {
    EXPECT_EQ(LevelDescription(25000, 12500, 256, 40, 0.239842f),
              "Aperio Image Format\r\n25000x12500 [0,0 25000x12500] (256x256) JPEG/RGB Q=60"
              "|AppMag = 40|MPP = 0.239842");
    EXPECT_EQ(
        LevelDescription(1, 2, 240, 20, 0.5f),
        "Aperio Image Format\r\n1x2 [0,0 1x2] (240x240) JPEG/RGB Q=60|AppMag = 20|MPP = 0.500000");
}

TEST(LevelDescription, MppTextOfTheDefaults) {
    const auto tail = [](std::int32_t magnification, float mpp) {
        const std::string text = LevelDescription(10, 10, 256, magnification,
                                                  EffectiveMicronsPerPixel(magnification, mpp));
        return text.substr(text.rfind('|'));
    };
    EXPECT_EQ(tail(20, 0.0f), "|MPP = 0.467290");
    EXPECT_EQ(tail(40, 0.0f), "|MPP = 0.239842");
    EXPECT_EQ(tail(20, 0.5f), "|MPP = 0.500000");
    EXPECT_EQ(tail(10, 0.0f), "|MPP = 0.000000");
}

TEST(AssociatedDescriptions, NameTheKindAndSizeAfterABareLineFeed) {
    EXPECT_EQ(LabelDescription(598, 400), "Aperio Image Format\nlabel 598x400");
    EXPECT_EQ(MacroDescription(1200, 400), "|macro = macro|\nmacro 1200x400");
}

TEST(ThumbnailRequest, HalvesAreaAndScaleUntilBothSidesAreBelow2048) {
    const ThumbnailRequest big = ReduceThumbnailRequest(40.0f, 0, 0, 100000, 80000);
    EXPECT_EQ(big.scale, 0.625f);
    EXPECT_EQ(big.width, 1562);
    EXPECT_EQ(big.height, 1250);
    EXPECT_EQ(big.x, 0);

    const ThumbnailRequest once = ReduceThumbnailRequest(40.0f, 1001, 7, 2048, 100);
    EXPECT_EQ(once.scale, 20.0f);
    EXPECT_EQ(once.x, 500);
    EXPECT_EQ(once.y, 3);
    EXPECT_EQ(once.width, 1024);
    EXPECT_EQ(once.height, 50);

    const ThumbnailRequest none = ReduceThumbnailRequest(40.0f, 5, 5, 2047, 2047);
    EXPECT_EQ(none.scale, 40.0f);
    EXPECT_EQ(none.width, 2047);
    EXPECT_EQ(none.height, 2047);
}

TEST(ThumbnailRequest, AThinSideStaysOnePixelWhileTheLongSideHalves) {
    const ThumbnailRequest tall = ReduceThumbnailRequest(40.0f, 101, 0, 3, 8000);
    EXPECT_EQ(tall.scale, 10.0f);
    EXPECT_EQ(tall.x, 25);
    EXPECT_EQ(tall.width, 1);
    EXPECT_EQ(tall.height, 2000);

    const ThumbnailRequest line = ReduceThumbnailRequest(40.0f, 0, 0, 2147483647, 1);
    EXPECT_EQ(line.width, 2047);
    EXPECT_EQ(line.height, 1);
    EXPECT_EQ(line.scale, 40.0f / (1 << 20));
}

}  // namespace
}  // namespace nvx::pyramid
