/*
 * pyramid_plan_test.cpp - the directory plan, level scale factors, tile-size
 * rule, the pictures counted, MPP defaults and the header values that
 * cannot be true, on box sizes far too large to convert in a test.
 */
#include "pyramid/pyramid_plan.h"

#include <gtest/gtest.h>

#include <limits>
#include <vector>

namespace nvx::pyramid {
namespace {

std::vector<float> Factors(const PyramidPlan& plan) {
    std::vector<float> factors;
    for (const LevelPlan& level : plan.levels) factors.push_back(level.scaleFactor);
    return factors;
}

TEST(PyramidPlan, WholeSlideOfFourLayersHasSevenDirectories) {
    const PyramidPlan plan = MakePyramidPlan(0, 0, 100000, 50000, 4, false);
    // Eight halvings allow more, the four layers end the pyramid at directory 5.
    EXPECT_EQ(plan.levels.back().directoryIndex, 5);
    EXPECT_EQ(plan.directoryCount, 7);
    ASSERT_EQ(plan.levels.size(), 4u);
    const std::int32_t indices[] = {1, 3, 4, 5};
    const std::int32_t widths[] = {100000, 25000, 6250, 1562};
    const std::int32_t heights[] = {50000, 12500, 3125, 781};
    const int qualities[] = {60, 60, 75, 75};
    for (std::size_t k = 0; k < 4; ++k) {
        EXPECT_EQ(plan.levels[k].directoryIndex, indices[k]);
        EXPECT_EQ(plan.levels[k].width, widths[k]);
        EXPECT_EQ(plan.levels[k].height, heights[k]);
        EXPECT_EQ(plan.levels[k].jpegQuality, qualities[k]);
    }
}

TEST(PyramidPlan, NineLayersOfAWideBoxStepByFourFromEight) {
    const PyramidPlan plan = MakePyramidPlan(0, 0, 150000, 60000, 9, false);
    // Eight halvings end the pyramid at directory 8, before the nine layers do.
    EXPECT_EQ(plan.levels.back().directoryIndex, 8);
    EXPECT_EQ(plan.directoryCount, 10);
    EXPECT_EQ(Factors(plan), (std::vector<float>{1, 8, 32, 128, 512, 2048, 8192}));
}

TEST(PyramidPlan, SecondLevelFactorFollowsTheLongerSide) {
    EXPECT_EQ(FirstReducedScaleFactor(204800, 100), 16.0f);
    EXPECT_EQ(FirstReducedScaleFactor(100, 204800), 16.0f);
    EXPECT_EQ(FirstReducedScaleFactor(204799, 204799), 8.0f);
    EXPECT_EQ(FirstReducedScaleFactor(102400, 100), 8.0f);
    EXPECT_EQ(FirstReducedScaleFactor(102399, 102399), 4.0f);
}

TEST(PyramidPlan, SmallBoxesStillGetTwoLevels) {
    for (std::int32_t layers : {1, 2, 9}) {
        const PyramidPlan plan = MakePyramidPlan(0, 0, 1000, 800, layers, false);
        // Two halvings: the plan still reaches directory 3.
        EXPECT_EQ(plan.levels.back().directoryIndex, 3);
        EXPECT_EQ(plan.directoryCount, 5) << "layers " << layers;
        ASSERT_EQ(plan.levels.size(), 2u);
        EXPECT_EQ(plan.levels[1].width, 250);
        EXPECT_EQ(plan.levels[1].height, 200);
        EXPECT_EQ(plan.levels[1].directoryIndex, 3);
    }
    // One layer of a large slide: still two pyramid levels.
    EXPECT_EQ(MakePyramidPlan(0, 0, 100000, 50000, 1, false).directoryCount, 5);
}

TEST(PyramidPlan, RegionModeHalvesFromFiveHundredTwelveAndScalesTheOrigin) {
    const PyramidPlan plan = MakePyramidPlan(4000, 2002, 20000, 15000, 9, true);
    // Five halvings from 512 (six from 256): the last level is directory 5.
    EXPECT_EQ(plan.levels.back().directoryIndex, 5);
    EXPECT_EQ(plan.directoryCount, 7);
    ASSERT_EQ(plan.levels.size(), 4u);
    const std::int32_t widths[] = {20000, 5000, 1250, 312};
    const std::int32_t heights[] = {15000, 3750, 937, 234};
    for (std::size_t k = 0; k < 4; ++k) {
        EXPECT_EQ(plan.levels[k].width, widths[k]);
        EXPECT_EQ(plan.levels[k].height, heights[k]);
    }
    EXPECT_EQ(plan.levels[1].originX, 1000);
    EXPECT_EQ(plan.levels[1].originY, 500);
    EXPECT_EQ(plan.levels[2].originY, 125);
}

TEST(PyramidPlan, LevelsWithAZeroSideAreLeftOutAndTheCountFollows) {
    // Nine layers of 300000 x 140000 would end in a 1 x 0 level at 262144.
    const PyramidPlan wide = MakePyramidPlan(0, 0, 300000, 140000, 9, false);
    // Ten halvings: directory 10 was planned, and it is the one left out.
    EXPECT_EQ(wide.levels.back().directoryIndex, 9);
    EXPECT_EQ(wide.directoryCount, 11);
    ASSERT_EQ(wide.levels.size(), 8u);
    EXPECT_EQ(wide.levels.back().scaleFactor, 65536.0f);
    EXPECT_EQ(wide.levels.back().width, 4);
    EXPECT_EQ(wide.levels.back().height, 2);

    const PyramidPlan tall = MakePyramidPlan(0, 0, 140000, 300000, 9, false);
    EXPECT_EQ(tall.directoryCount, 11);
    for (const LevelPlan& level : tall.levels) {
        EXPECT_GT(level.width, 0);
        EXPECT_GT(level.height, 0);
    }

    // A region of a few pixels keeps only its full-resolution level.
    const PyramidPlan tiny = MakePyramidPlan(50, 0, 3, 3, 9, true);
    ASSERT_EQ(tiny.levels.size(), 1u);
    EXPECT_EQ(tiny.directoryCount, 4);

    EXPECT_TRUE(MakePyramidPlan(0, 0, 0, 500, 4, false).levels.empty());
}

TEST(PyramidPlan, EverySizeTheFormatAllowsPlansWithoutOverflow) {
    // The widest slide there is: its width does not fit a float exactly.
    const PyramidPlan wide = MakePyramidPlan(0, 0, 2147483647, 16, 4, false);
    ASSERT_EQ(wide.levels.size(), 2u);
    EXPECT_EQ(wide.levels[0].width, 2147483647);
    EXPECT_EQ(wide.levels[0].height, 16);
    EXPECT_EQ(wide.levels[1].scaleFactor, 16.0f);
    EXPECT_EQ(wide.levels[1].width, 134217727);
    EXPECT_EQ(wide.levels[1].height, 1);

    const PyramidPlan huge = MakePyramidPlan(2147483000, 2147483000, 647, 647, 9, true);
    ASSERT_FALSE(huge.levels.empty());
    EXPECT_EQ(huge.levels[0].originX, 2147483000);
    EXPECT_EQ(huge.levels[0].width, 647);

    const PyramidPlan square = MakePyramidPlan(0, 0, 2147483647, 2147483647, 9, false);
    ASSERT_EQ(square.levels.size(), 9u);
    EXPECT_EQ(square.levels[0].width, 2147483647);
    EXPECT_EQ(square.levels[1].width, 134217727);  // factor 16
    EXPECT_EQ(square.levels[8].width, 8191);       // factor 16 * 4^7
}

// Which planned levels are levels the slide stores (2^k, down to the first
// that fits in one tile), planned for a whole slide as --tiles copy plans them.
TEST(CopiedLevels, ALevelIsCopiedOnlyWhereTheSlideStoresItsScaleAndSize) {
    struct Case {
        const char* name;
        std::int32_t width, height, tileSize, layers;
        std::vector<bool> copied;  // by planned level
    };
    const Case cases[] = {
        // 1, 4, 16, 64 of 40000 x 30000: stored levels 0, 2, 4, 6 (of 0 .. 8).
        {"every level stored", 40000, 30000, 256, 4, {true, true, true, true}},
        // Stored levels end at 500 x 375 (k = 3) in tiles of 512: 1/16 is not stored.
        {"past the last stored level", 4000, 3000, 512, 4, {true, true, false}},
        // 250 x 187 is the last stored level in tiles of 256, and still one.
        {"the last stored level", 4000, 3000, 256, 4, {true, true, true}},
        // The first reduced level of a box 4 to 8 times 25600 wide is at 1/8 (k = 3).
        {"odd powers", 150000, 1000, 256, 4, {true, true}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PyramidPlan plan = MakePyramidPlan(0, 0, c.width, c.height, c.layers, false);
        PlanCopiedLevels(&plan, c.width, c.height, c.tileSize);
        std::vector<bool> copied;
        for (const LevelPlan& level : plan.levels) copied.push_back(level.storedTiles);
        EXPECT_EQ(copied, c.copied);
    }
}

TEST(CopiedLevels, ALevelOfAnotherSizeOriginOrScaleIsNotTheStoredOne) {
    LevelPlan level;
    level.scaleFactor = 4.0f;
    level.width = 1000;
    level.height = 750;
    EXPECT_EQ(StoredLevelOf(level, 4000, 3000, 256), 2);
    EXPECT_EQ(StoredLevelOf(level, 4001, 3003, 256), 2);  // floor, as the slide stores it
    struct Change {
        const char* name;
        void (*apply)(LevelPlan*);
    };
    const Change changes[] = {
        {"a pixel narrower", [](LevelPlan* l) { l->width -= 1; }},
        {"a pixel taller", [](LevelPlan* l) { l->height += 1; }},
        {"not at the origin", [](LevelPlan* l) { l->originX = 256; }},
        {"a scale that is no power of two", [](LevelPlan* l) { l->scaleFactor = 3.0f; }},
        {"a scale below one", [](LevelPlan* l) { l->scaleFactor = 0.5f; }},
    };
    for (const Change& change : changes) {
        SCOPED_TRACE(change.name);
        LevelPlan changed = level;
        change.apply(&changed);
        EXPECT_EQ(StoredLevelOf(changed, 4000, 3000, 256), std::nullopt);
    }
    // A slide smaller than a tile stores its full resolution only.
    level = LevelPlan{};
    level.width = 200;
    level.height = 100;
    EXPECT_EQ(StoredLevelOf(level, 200, 100, 256), 0);
    level.scaleFactor = 4.0f;
    level.width = 50;
    level.height = 25;
    EXPECT_EQ(StoredLevelOf(level, 200, 100, 256), std::nullopt);
}

TEST(TileSizeRule, AcceptsMultiplesOfSixteenFromSixteenToFourThousandNinetySix) {
    for (std::int32_t ok : {16, 32, 240, 256, 512, 4096})
        EXPECT_TRUE(IsSupportedTileSize(ok)) << ok;
    // libtiff writes no tile whose side is not a multiple of 16.
    for (std::int32_t bad : {-256, 0, 1, 8, 24, 136, 200, 250, 4100, 4112}) {
        EXPECT_FALSE(IsSupportedTileSize(bad)) << bad;
    }
}

TEST(PyramidPlan, TheDirectoryCountCountsOnlyThePicturesTheSlideHas) {
    struct Case {
        PlannedPictures pictures;
        std::int32_t count;
        std::int32_t labelPage;
    };
    // Four levels and the thumbnail, then the label and the macro there are.
    for (const Case c : {Case{{true, true}, 7, 6}, Case{{false, true}, 6, 0},
                         Case{{true, false}, 6, 6}, Case{{false, false}, 5, 0}}) {
        const PyramidPlan plan = MakePyramidPlan(0, 0, 100000, 50000, 4, false, c.pictures);
        EXPECT_EQ(plan.levels.size(), 4u);
        EXPECT_EQ(plan.directoryCount, c.count) << c.pictures.label << c.pictures.macro;
        EXPECT_EQ(plan.labelPage, c.labelPage) << c.pictures.label << c.pictures.macro;
    }
    EXPECT_EQ(MakePyramidPlan(0, 0, 0, 500, 4, false, {false, false}).directoryCount, 0);
}

TEST(MicronsPerPixel, ZeroIsReplacedOnlyForTwentyAndFortyTimes) {
    EXPECT_EQ(EffectiveMicronsPerPixel(20, 0.0f), 0.46729f);
    EXPECT_EQ(EffectiveMicronsPerPixel(40, 0.0f), 0.239842f);
    EXPECT_EQ(EffectiveMicronsPerPixel(20, 0.5f), 0.5f);
    EXPECT_EQ(EffectiveMicronsPerPixel(40, 0.25f), 0.25f);
    EXPECT_EQ(EffectiveMicronsPerPixel(10, 0.0f), 0.0f);
    EXPECT_TRUE(UsesUsualMicronsPerPixel(20, 0.0f));
    EXPECT_TRUE(UsesUsualMicronsPerPixel(40, 0.0f));
    EXPECT_FALSE(UsesUsualMicronsPerPixel(40, 0.25f));
    EXPECT_FALSE(UsesUsualMicronsPerPixel(10, 0.0f));
}

TEST(MicronsPerPixel, ValuesThatCannotBeTrueCountAsNotRecorded) {
    const float impossible[] = {std::numeric_limits<float>::quiet_NaN(),
                                std::numeric_limits<float>::infinity(),
                                -std::numeric_limits<float>::infinity(),
                                -1.0f,
                                -0.0f,
                                1e30f,
                                1000.5f};
    for (const float mpp : impossible) {
        EXPECT_EQ(RecordedMicronsPerPixel(mpp), 0.0f) << mpp;
        EXPECT_EQ(EffectiveMicronsPerPixel(40, mpp), 0.239842f) << mpp;
        EXPECT_EQ(EffectiveMicronsPerPixel(10, mpp), 0.0f) << mpp;
        EXPECT_TRUE(UsesUsualMicronsPerPixel(20, mpp)) << mpp;
    }
    for (const float mpp : {1e-6f, 0.25f, 50.0f, 1000.0f}) {
        EXPECT_EQ(RecordedMicronsPerPixel(mpp), mpp);
        EXPECT_EQ(EffectiveMicronsPerPixel(40, mpp), mpp);
    }
}

TEST(ScanMagnification, PlausibleFromOneToOneThousand) {
    for (std::int32_t ok : {1, 20, 40, 1000}) EXPECT_TRUE(IsPlausibleScanMagnification(ok)) << ok;
    for (std::int32_t bad : {-40, 0, 1001, 2147483647, -2147483647 - 1})
        EXPECT_FALSE(IsPlausibleScanMagnification(bad)) << bad;
}

}  // namespace
}  // namespace nvx::pyramid
