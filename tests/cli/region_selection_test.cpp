// Region mapping onto the slide, with the worked examples users see in the docs.
#include "cli/region_selection.h"

#include <gtest/gtest.h>

namespace nvx::cli {
namespace {

RunOptions Region(double scale, int x, int y, int w, int h) {
    RunOptions options;
    options.scale = scale;
    options.x = x;
    options.y = y;
    options.width = w;
    options.height = h;
    return options;
}

void ExpectBox(const RegionSelection& s, int x, int y, int w, int h) {
    ASSERT_TRUE(s.accepted);
    EXPECT_TRUE(s.regionMode);
    EXPECT_EQ(s.box.x, x);
    EXPECT_EQ(s.box.y, y);
    EXPECT_EQ(s.box.width, w);
    EXPECT_EQ(s.box.height, h);
}

void ExpectProblem(const RegionSelection& s, console::Message problem) {
    EXPECT_FALSE(s.accepted);
    EXPECT_EQ(s.problem, problem);
}

constexpr int kW = 80000, kH = 60000;

TEST(RegionSelection, WorkedExamples) {
    ExpectBox(SelectRegion(Region(10, 100, 50, 300, 200), kW, kH, 40), 400, 200, 1200, 800);
    ExpectBox(SelectRegion(Region(10, -100, 50, 300, 200), kW, kH, 40), 0, 200, 800, 800);
    ExpectBox(SelectRegion(Region(10, 19750, 0, 1000, 100), kW, kH, 40), 79000, 0, 1000, 400);
    ExpectBox(SelectRegion(Region(3, 10, 10, 10, 10), kW, kH, 40), 133, 133, 133, 133);
    ExpectBox(SelectRegion(Region(40, 101, 0, 3, 3), kW, kH, 20), 50, 0, 1, 1);
    ExpectProblem(SelectRegion(Region(10, 20000, 0, 10, 10), kW, kH, 40),
                  console::Message::XBeyondSlide);
}

TEST(RegionSelection, WholeSlideModeTakesTheWholeSlide) {
    const RegionSelection s = SelectRegion(RunOptions{}, kW, kH, 40);
    ASSERT_TRUE(s.accepted);
    EXPECT_FALSE(s.regionMode);
    EXPECT_EQ(s.box.x, 0);
    EXPECT_EQ(s.box.y, 0);
    EXPECT_EQ(s.box.width, kW);
    EXPECT_EQ(s.box.height, kH);
}

TEST(RegionSelection, EmptyOrOffSlideRegionsAreRefused) {
    // A zero size, a width that truncates to zero, an overhang that eats the box.
    ExpectProblem(SelectRegion(Region(10, 0, 0, 0, 10), kW, kH, 40),
                  console::Message::RegionMissing);
    ExpectProblem(SelectRegion(Region(80, 0, 0, 1, 10), kW, kH, 40),
                  console::Message::RegionMissing);
    ExpectProblem(SelectRegion(Region(10, -300, 0, 300, 10), kW, kH, 40),
                  console::Message::RegionMissing);
    // A slide scanned at magnification 0 maps everything to 0.
    ExpectProblem(SelectRegion(Region(10, 5, 5, 5, 5), kW, kH, 0), console::Message::RegionMissing);
}

TEST(RegionSelection, XIsTestedBeforeYAndBeforeTheNearEdgeCut) {
    ExpectProblem(SelectRegion(Region(40, kW, kH, 1, 1), kW, kH, 40),
                  console::Message::XBeyondSlide);
    ExpectProblem(SelectRegion(Region(40, -5, kH, 10, 1), kW, kH, 40),
                  console::Message::YBeyondSlide);
    // One column short of the edge gives a box one column wide.
    ExpectBox(SelectRegion(Region(40, kW - 1, 0, 5, 5), kW, kH, 40), kW - 1, 0, 1, 5);
    ExpectBox(SelectRegion(Region(40, 0, kH - 2, 5, 5), kW, kH, 40), 0, kH - 2, 5, 2);
}

TEST(RegionSelection, HugeValuesNeitherWrapNorCrash) {
    // 32-bit products would wrap here; the box must still be right.
    ExpectProblem(SelectRegion(Region(40, 2000000000, 0, 10, 10), kW, kH, 40),
                  console::Message::XBeyondSlide);
    ExpectBox(SelectRegion(Region(0.5, 0, 0, 2000000000, 2000000000), kW, kH, 40), 0, 0, kW, kH);
    ExpectProblem(SelectRegion(Region(1e-300, -1, 0, 2147483647, 10), kW, kH, 40),
                  console::Message::RegionMissing);
    ExpectBox(SelectRegion(Region(1e-300, 0, 0, 1, 1), kW, kH, 40), 0, 0, kW, kH);
    ExpectProblem(SelectRegion(Region(1e-300, 1, 0, 1, 1), kW, kH, 40),
                  console::Message::XBeyondSlide);
}

}  // namespace
}  // namespace nvx::cli
