/*
 * coefficient_mix_test.cpp - the fixed-point mix against the exact
 * arithmetic it stands for, and its SSE2 and plain-integer forms against
 * each other, for the tables slides are stored and written with and for the
 * extremes a stream may hold; and the 4:2:0 chroma halving against the
 * pixel-domain 2 x 2 average it stands for.
 */
#include "pyramid/coefficient_mix.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <numbers>
#include <random>

// jpeglib.h needs size_t and FILE declared before it.
#include <jpeglib.h>

namespace nvx::pyramid {
namespace {

using Steps = std::array<std::uint16_t, kBlockPositions>;
using Block = std::array<std::int16_t, kBlockPositions>;

Steps Flat(std::uint16_t step) {
    Steps steps;
    steps.fill(step);
    return steps;
}

// libjpeg's standard luma (0) or chroma (1) table at `quality`.
Steps StandardTable(int quality, int table) {
    jpeg_compress_struct info{};
    jpeg_error_mgr error{};
    info.err = jpeg_std_error(&error);
    jpeg_create_compress(&info);
    info.in_color_space = JCS_RGB;
    info.input_components = 3;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, quality, FALSE);
    Steps steps;
    std::copy(std::begin(info.quant_tbl_ptrs[table]->quantval),
              std::end(info.quant_tbl_ptrs[table]->quantval), steps.begin());
    jpeg_destroy_compress(&info);
    return steps;
}

// What a block position of the output must hold, in exact arithmetic.
double Exact(int component, int k, double y, double cb, double cr, const Steps& luma,
             const Steps& cbSteps, const Steps& crSteps, const Steps& output) {
    const double to = std::max<std::uint16_t>(output[k], 1);
    const double l = y * luma[k], b = cb * cbSteps[k], r = cr * crSteps[k];
    const double value = component == 0   ? l + 1.402 * r
                         : component == 1 ? l - 0.344136 * b - 0.714136 * r
                                          : l + 1.772 * b;
    return std::clamp(value / to, -1023.0, 1023.0);
}

// Blocks as streams hold them: mostly small coefficients, whole rows of
// zeros, a few large ones, and now and then the extremes of 16 bits.
Block RandomBlock(std::mt19937* random) {
    Block block{};
    std::uniform_int_distribution<int> small(-40, 40), large(-1023, 1023), kind(0, 99);
    const int lastRow = std::uniform_int_distribution<int>(0, 7)(*random);
    for (int k = 0; k < kBlockPositions; ++k) {
        if (k / 8 > lastRow) continue;
        const int roll = kind(*random);
        if (roll < 40) continue;
        if (roll < 90)
            block[k] = static_cast<std::int16_t>(small(*random));
        else if (roll < 99)
            block[k] = static_cast<std::int16_t>(large(*random));
        else
            block[k] = roll % 2 ? -32768 : 32767;
    }
    return block;
}

TEST(CoefficientMixTest, MatchesExactArithmeticAndThePortableForm) {
    struct Case {
        const char* name;
        Steps luma, cb, cr, output;
    };
    const Case cases[] = {
        {"nvxmake's quality 85 into 60", StandardTable(85, 0), StandardTable(85, 1),
         StandardTable(85, 1), StandardTable(60, 0)},
        {"quality 100 into 75", StandardTable(100, 0), StandardTable(100, 1), StandardTable(100, 1),
         StandardTable(75, 0)},
        {"quality 30 into 75: weights above 1", StandardTable(30, 0), StandardTable(30, 1),
         StandardTable(30, 1), StandardTable(75, 0)},
        {"the largest baseline steps into steps of 1", Flat(255), Flat(255), Flat(255), Flat(1)},
        {"output steps of 0, taken as 1", Flat(2), Flat(3), Flat(4), Flat(0)},
    };
    std::mt19937 random(20261207);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CoefficientMix mix;
        ASSERT_TRUE(
            MakeCoefficientMix(c.luma.data(), c.cb.data(), c.cr.data(), c.output.data(), &mix));
        int mismatches = 0, offByMore = 0;
        for (int n = 0; n < 2000; ++n) {
            Block y = RandomBlock(&random), cb = RandomBlock(&random), cr = RandomBlock(&random);
            const Block y0 = y, cb0 = cb, cr0 = cr;
            Block py = y, pcb = cb, pcr = cr;
            MixBlock(mix, y.data(), cb.data(), cr.data());
            MixBlockPortable(mix, py.data(), pcb.data(), pcr.data());
            mismatches += y != py || cb != pcb || cr != pcr;
            for (int k = 0; k < kBlockPositions; ++k) {
                // Each weight is off by half a unit of its last bit at
                // most, so the result is the exact one rounded, give or
                // take that much times the coefficients.
                const int sum = std::abs(y0[k]) + std::abs(cb0[k]) + std::abs(cr0[k]);
                if (sum > 3 * 1023) continue;
                const double slack = 0.5 + std::ldexp(sum, -(mix.shift + 1)) + 1e-9;
                const std::int16_t* made[3] = {&y[k], &cb[k], &cr[k]};
                for (int component = 0; component < 3; ++component) {
                    const double exact =
                        Exact(component, k, y0[k], cb0[k], cr0[k], c.luma, c.cb, c.cr, c.output);
                    offByMore += std::abs(*made[component] - exact) > slack;
                }
            }
        }
        EXPECT_EQ(mismatches, 0);
        EXPECT_EQ(offByMore, 0);
    }
}

TEST(CoefficientMixTest, ZeroRowsStayZeroAndWeightsTooLargeAreRefused) {
    CoefficientMix mix;
    const Steps stored = StandardTable(85, 0), output = StandardTable(60, 0);
    ASSERT_TRUE(
        MakeCoefficientMix(stored.data(), stored.data(), stored.data(), output.data(), &mix));
    Block y{}, cb{}, cr{};
    y[0] = -500;
    cr[9] = 7;
    MixBlock(mix, y.data(), cb.data(), cr.data());
    for (int k = 16; k < kBlockPositions; ++k) {
        EXPECT_EQ(y[k] | cb[k] | cr[k], 0) << "position " << k;
    }
    EXPECT_LT(y[0], 0);
    EXPECT_GT(y[9], 0);  // red takes Cr

    // 16-bit steps 65535 times the output's: no 14-bit weight holds that.
    const Steps huge = Flat(65535), one = Flat(1);
    EXPECT_FALSE(MakeCoefficientMix(huge.data(), huge.data(), huge.data(), one.data(), &mix));
}

// The largest coefficients a block may hold, with tables whose weights for
// one output are all at the largest together (the stored steps of 255, the
// chroma ones such that their factors meet the luma weight, into steps of
// 1): a sum that wrapped would come out at the other extreme. Every weight
// leaves each product within 30 bits, the margin the accumulators are
// sized by.
TEST(CoefficientMixTest, ExtremeCoefficientsSaturateAndProductsKeepTheirMargin) {
    struct Case {
        const char* name;
        Steps luma, cb, cr, output;
    };
    const Case cases[] = {
        {"red and blue at their largest", Flat(255), Flat(144), Flat(182), Flat(1)},
        {"luma alone at its largest", Flat(255), Flat(1), Flat(1), Flat(1)},
        {"chroma alone at its largest", Flat(1), Flat(255), Flat(255), Flat(1)},
        {"quality 30 into 100", StandardTable(30, 0), StandardTable(30, 1), StandardTable(30, 1),
         StandardTable(100, 0)},
    };
    const std::int16_t extremes[] = {-32768, -1024, 0, 1023, 32767};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CoefficientMix mix;
        ASSERT_TRUE(
            MakeCoefficientMix(c.luma.data(), c.cb.data(), c.cr.data(), c.output.data(), &mix));
        for (const auto* weights :
             {mix.redOfLumaCr, mix.greenOfLumaCb, mix.greenOfLumaCr, mix.blueOfLumaCb}) {
            for (int i = 0; i < 2 * kBlockPositions; ++i) {
                EXPECT_LT(std::abs(std::int64_t{weights[i]}) * 32768, std::int64_t{1} << 29)
                    << "weight " << i;
            }
        }
        int wrong = 0;
        for (const std::int16_t y : extremes) {
            for (const std::int16_t cb : extremes) {
                for (const std::int16_t cr : extremes) {
                    Block by, bcb, bcr, py, pcb, pcr;
                    by.fill(y), bcb.fill(cb), bcr.fill(cr);
                    py = by, pcb = bcb, pcr = bcr;
                    MixBlock(mix, by.data(), bcb.data(), bcr.data());
                    MixBlockPortable(mix, py.data(), pcb.data(), pcr.data());
                    for (int k = 0; k < kBlockPositions; ++k) {
                        const std::int16_t* made[3] = {&by[k], &bcb[k], &bcr[k]};
                        const std::int16_t* plain[3] = {&py[k], &pcb[k], &pcr[k]};
                        const double to = std::max<std::uint16_t>(c.output[k], 1);
                        const double l = y * double(c.luma[k]), b = cb * double(c.cb[k]),
                                     r = cr * double(c.cr[k]);
                        const double values[3] = {(l + 1.402 * r) / to,
                                                  (l - 0.344136 * b - 0.714136 * r) / to,
                                                  (l + 1.772 * b) / to};
                        for (int component = 0; component < 3; ++component) {
                            // Far past what Huffman coding takes, rounding aside: its limit.
                            if (std::abs(values[component]) < 2000) continue;
                            const int limit = values[component] > 0 ? 1023 : -1023;
                            wrong += *made[component] != limit || *plain[component] != limit;
                        }
                    }
                }
            }
        }
        EXPECT_EQ(wrong, 0);
    }
}

// JPEG's 2-D DCT and its inverse, straight from the definition, in double.
using Pixels = std::array<double, kBlockPositions>;

double Basis(int k, int n) {
    const double scale = k == 0 ? std::sqrt(0.125) : 0.5;
    return scale * std::cos((2 * n + 1) * k * std::numbers::pi / 16.0);
}

Pixels Inverse(const float* coefficients) {
    Pixels pixels{};
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x)
            for (int v = 0; v < 8; ++v)
                for (int u = 0; u < 8; ++u)
                    pixels[y * 8 + x] += Basis(v, y) * Basis(u, x) * coefficients[v * 8 + u];
    return pixels;
}

Pixels Forward(const Pixels& pixels) {
    Pixels coefficients{};
    for (int v = 0; v < 8; ++v)
        for (int u = 0; u < 8; ++u)
            for (int y = 0; y < 8; ++y)
                for (int x = 0; x < 8; ++x)
                    coefficients[v * 8 + u] += Basis(v, y) * Basis(u, x) * pixels[y * 8 + x];
    return coefficients;
}

// The DCT of the 2 x 2 average of the four blocks' pixels: what libjpeg's
// encoder makes of a 4:2:0 area, but for its rounding.
Pixels AveragedInPixels(const std::array<std::array<float, kBlockPositions>, 4>& blocks) {
    std::array<Pixels, 4> pixels;
    for (int b = 0; b < 4; ++b) pixels[b] = Inverse(blocks[b].data());
    Pixels averaged{};
    for (int y = 0; y < 8; ++y) {
        for (int x = 0; x < 8; ++x) {
            double sum = 0;
            for (int dy = 0; dy < 2; ++dy) {
                for (int dx = 0; dx < 2; ++dx) {
                    const int row = 2 * y + dy, column = 2 * x + dx;
                    const Pixels& block = pixels[(row / 8) * 2 + column / 8];
                    sum += block[(row % 8) * 8 + column % 8];
                }
            }
            averaged[y * 8 + x] = sum / 4;
        }
    }
    return Forward(averaged);
}

// The halving against the pixel-domain average: dense blocks, blocks whose
// high rows and columns are zero (which the halving skips), lone
// coefficients in each corner of the 16 x 16 area, and the quantised form
// against the same arithmetic with its tables.
TEST(ChromaHalvingTest, MatchesTheAverageOfThePixels) {
    std::mt19937 random(7);
    struct Case {
        const char* name;
        int rows, columns;  // the part of each block that may be non-zero
        bool lone;          // one coefficient in one block only
    };
    const Case cases[] = {{"dense", 8, 8, false},       {"low rows", 3, 8, false},
                          {"low columns", 8, 2, false}, {"low corner", 2, 3, false},
                          {"lone", 8, 8, true},         {"zero", 0, 0, false}};
    for (const Case& c : cases) {
        for (int trial = 0; trial < 40; ++trial) {
            std::array<std::array<float, kBlockPositions>, 4> blocks{};
            std::uniform_int_distribution<int> value(-300, 300);
            if (c.lone) {
                blocks[trial % 4][(trial * 13) % kBlockPositions] =
                    static_cast<float>(value(random));
            } else {
                for (auto& block : blocks)
                    for (int r = 0; r < c.rows; ++r)
                        for (int k = 0; k < c.columns; ++k)
                            block[r * 8 + k] = static_cast<float>(value(random));
            }
            const float* const four[4] = {blocks[0].data(), blocks[1].data(), blocks[2].data(),
                                          blocks[3].data()};
            float halved[kBlockPositions];
            HalveBlocks(four, halved);
            const Pixels expected = AveragedInPixels(blocks);
            for (int k = 0; k < kBlockPositions; ++k)
                ASSERT_NEAR(halved[k], expected[k], 1e-3)
                    << c.name << " trial " << trial << " " << k;
        }
    }
    // The quantised form: dequantised by the stored steps, requantised by the
    // output's, as the pixel-domain average would be quantised within rounding.
    const Steps stored = StandardTable(90, 1), output = StandardTable(60, 1);
    const ChromaSteps steps = MakeChromaSteps(stored.data(), output.data());
    for (int trial = 0; trial < 200; ++trial) {
        std::array<Block, 4> quantised{};
        std::array<std::array<float, kBlockPositions>, 4> dequantised{};
        std::uniform_int_distribution<int> value(-40, 40);
        for (int b = 0; b < 4; ++b) {
            for (int k = 0; k < kBlockPositions; ++k) {
                quantised[b][k] = static_cast<std::int16_t>(k < 20 ? value(random) : 0);
                dequantised[b][k] = static_cast<float>(quantised[b][k] * stored[k]);
            }
        }
        const std::int16_t* const four[4] = {quantised[0].data(), quantised[1].data(),
                                             quantised[2].data(), quantised[3].data()};
        Block out{};
        HalveChromaBlocks(steps, four, out.data());
        const Pixels expected = AveragedInPixels(dequantised);
        for (int k = 0; k < kBlockPositions; ++k) {
            const double exact = std::clamp(expected[k] / output[k], -1023.0, 1023.0);
            ASSERT_LE(std::abs(out[k] - exact), 0.5 + 1e-3) << "trial " << trial << " " << k;
        }
    }
}

// The matrix is the DCT's: the average of a constant stays that constant
// (row 0 takes half of each run's DC), and it is shared by every run pair
// up to sign, the second run's weights those of the first with sign
// (-1)^(k+j).
TEST(ChromaHalvingTest, MatrixHasTheDctsSymmetry) {
    const HalvingMatrix& m = ChromaHalvingMatrix();
    EXPECT_FLOAT_EQ(m[0][0], 0.5f);
    EXPECT_FLOAT_EQ(m[0][8], 0.5f);
    for (int k = 0; k < 8; ++k) {
        for (int j = 0; j < 8; ++j) {
            const float sign = (k + j) % 2 == 0 ? 1.0f : -1.0f;
            EXPECT_NEAR(m[k][8 + j], sign * m[k][j], 1e-6) << k << " " << j;
        }
    }
}

}  // namespace
}  // namespace nvx::pyramid
