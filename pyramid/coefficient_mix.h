/*
 * coefficient_mix.h - the arithmetic of the coefficient route: a stored
 * block's Y, Cb and Cr coefficients turned into the output block's R, G and
 * B ones, re-quantised with the output table.
 *
 * At block position k, output component c is the sum over stored
 * components j of the stored coefficient times the conversion's factor of j
 * in c times the stored step of j over the output step: five weights per
 * position (Y adds the same to R, G and B). The weights are held in fixed
 * point, as 16-bit integers scaled by 2^shift, with the shift chosen per
 * pair of tables so that the largest weight keeps 14 bits: every product
 * fits 30 bits and every sum 32, so the sums never overflow, whatever the
 * coefficients. The result is rounded (halves up), clamped to what baseline
 * Huffman coding takes, and written over the stored coefficients.
 *
 * MixBlock runs on SSE2 where the compiler has it (every x86-64) and on
 * plain integers elsewhere; both give the same coefficients.
 */
#pragma once

#include <cstdint>

namespace nvx::pyramid {

inline constexpr int kBlockPositions = 64;

// The weights of one pair of stored and output tables, in pairs of 16-bit
// integers: for each position k, weights[2k] applies to the first and
// weights[2k + 1] to the second component of the pair named.
struct CoefficientMix {
    alignas(16) std::int16_t redOfLumaCr[2 * kBlockPositions];
    alignas(16) std::int16_t greenOfLumaCb[2 * kBlockPositions];
    alignas(16) std::int16_t greenOfLumaCr[2 * kBlockPositions];  // the luma weight is 0
    alignas(16) std::int16_t blueOfLumaCb[2 * kBlockPositions];
    int shift = 0;
    std::int32_t half = 0;  // 2^(shift - 1): adds before the shift to round
};

// Makes the weights from the stored Y, Cb and Cr steps and the output
// steps, 64 each in natural order; an output step of 0 is taken as 1.
// False when a weight does not fit 14 bits (a stored step some 9000 times
// the output's; baseline tables hold steps of at most 255).
bool MakeCoefficientMix(const std::uint16_t* lumaSteps, const std::uint16_t* cbSteps,
                        const std::uint16_t* crSteps, const std::uint16_t* outputSteps,
                        CoefficientMix* mix);

// Turns one block's Y, Cb and Cr coefficients (natural order) into the
// output's R, G and B ones, in place. Rows of eight positions that are zero
// in all three blocks stay zero and are skipped.
void MixBlock(const CoefficientMix& mix, std::int16_t* y, std::int16_t* cb, std::int16_t* cr);

// The same on plain integers: what MixBlock does where there is no SSE2,
// and what it is checked against where there is.
void MixBlockPortable(const CoefficientMix& mix, std::int16_t* y, std::int16_t* cb,
                      std::int16_t* cr);

// --chroma 420 on the coefficient route. A 4:2:0 tile's chroma block
// stands for a 16 x 16 area of the stored tile: four stored blocks, whose
// samples libjpeg's encoder would average two by two. The 8-point DCT of
// the pairwise average of two adjacent 8-sample runs is linear in their
// two DCTs: an 8 x 16 matrix (kHalvingInputs columns), derived once from
// the DCT's cosines. Applied down the columns and then along the rows it
// gives the DCT of the 2 x 2 average, at most some 1600 multiply-adds a
// block (3072 as two plain matrix passes; the matrix's symmetry and zeros
// save the rest) where a 64 x 256 matrix would take 16384, and far fewer
// when the blocks' high frequencies are zero, as most stored chroma's are.
inline constexpr int kHalvingInputs = 16;
using HalvingMatrix = float[8][kHalvingInputs];
// Row k: output coefficient k; columns 0..7: the first run's coefficients,
// 8..15: the second's. JPEG's DCT is orthonormal, so are these.
const HalvingMatrix& ChromaHalvingMatrix();

// The DCT of the 2 x 2 box average of the 16 x 16 area of `blocks` (top
// left, top right, bottom left, bottom right; dequantised coefficients,
// natural order) into `out`.
void HalveBlocks(const float* const blocks[4], float* out);

// The steps of one stored chroma table and the output chroma table.
struct ChromaSteps {
    float stored[kBlockPositions];
    float inverseOutput[kBlockPositions];
};
ChromaSteps MakeChromaSteps(const std::uint16_t* storedSteps, const std::uint16_t* outputSteps);

// Four stored chroma blocks (quantised, natural order) into the output's
// one: dequantised, halved, requantised, rounded to the nearest step with
// a tie toward zero (ties are common where the stored steps divide the
// output ones; coefficient_mix.cpp says why toward zero) and clamped as
// MixBlock clamps.
void HalveChromaBlocks(const ChromaSteps& steps, const std::int16_t* const blocks[4],
                       std::int16_t* out);

// A stored luminance block requantised into `out` with `ratios` (stored
// step over output step), rounded and clamped alike.
void RequantiseBlock(const float* ratios, const std::int16_t* block, std::int16_t* out);

}  // namespace nvx::pyramid
