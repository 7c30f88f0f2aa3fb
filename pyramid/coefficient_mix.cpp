/*
 * coefficient_mix.cpp - fixed-point weights, and the mix of a block on SSE2
 * (pmaddwd takes a pair of components at a time) or on plain integers.
 */
#include "pyramid/coefficient_mix.h"

#include <algorithm>
#include <cmath>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define NVX_MIX_SSE2 1
#endif

namespace nvx::pyramid {

namespace {

// JFIF's YCbCr-to-RGB conversion on level-shifted signals: R = Y + 1.402
// Cr, G = Y - 0.344136 Cb - 0.714136 Cr, B = Y + 1.772 Cb.
constexpr double kRedFromCr = 1.402;
constexpr double kGreenFromCb = -0.344136;
constexpr double kGreenFromCr = -0.714136;
constexpr double kBlueFromCb = 1.772;

// The largest weight, once scaled, stays within 14 bits: a product with a
// 16-bit coefficient fits 30 bits, and three of them and the rounding 32.
constexpr double kLargestScaledWeight = 16383.0;
constexpr int kMostShift = 14;

// Baseline Huffman coding takes AC coefficients of at most ten bits (and DC
// differences of eleven); larger ones only come from pixels far out of
// range, which the pixel route clamps as well.
constexpr std::int32_t kLargestCoefficient = 1023;

constexpr int kRow = 8;

}  // namespace

bool MakeCoefficientMix(const std::uint16_t* lumaSteps, const std::uint16_t* cbSteps,
                        const std::uint16_t* crSteps, const std::uint16_t* outputSteps,
                        CoefficientMix* mix) {
    struct Weights {
        double luma, redFromCr, greenFromCb, greenFromCr, blueFromCb;
    };
    Weights weights[kBlockPositions];
    double largest = 0;
    for (int k = 0; k < kBlockPositions; ++k) {
        const double to = std::max<std::uint16_t>(outputSteps[k], 1);
        const double cb = cbSteps[k] / to;
        const double cr = crSteps[k] / to;
        Weights& w = weights[k];
        w = {lumaSteps[k] / to, kRedFromCr * cr, kGreenFromCb * cb, kGreenFromCr * cr,
             kBlueFromCb * cb};
        largest =
            std::max({largest, w.luma, w.redFromCr, -w.greenFromCb, -w.greenFromCr, w.blueFromCb});
    }
    int shift = kMostShift;
    while (shift > 1 && std::ldexp(largest, shift) > kLargestScaledWeight) --shift;
    if (std::ldexp(largest, shift) > kLargestScaledWeight) return false;

    const auto scaled = [shift](double weight) {
        return static_cast<std::int16_t>(std::lround(std::ldexp(weight, shift)));
    };
    for (int k = 0; k < kBlockPositions; ++k) {
        const Weights& w = weights[k];
        const std::int16_t luma = scaled(w.luma);
        mix->redOfLumaCr[2 * k] = luma;
        mix->redOfLumaCr[2 * k + 1] = scaled(w.redFromCr);
        mix->greenOfLumaCb[2 * k] = luma;
        mix->greenOfLumaCb[2 * k + 1] = scaled(w.greenFromCb);
        mix->greenOfLumaCr[2 * k] = 0;
        mix->greenOfLumaCr[2 * k + 1] = scaled(w.greenFromCr);
        mix->blueOfLumaCb[2 * k] = luma;
        mix->blueOfLumaCb[2 * k + 1] = scaled(w.blueFromCb);
    }
    mix->shift = shift;
    mix->half = std::int32_t{1} << (shift - 1);
    return true;
}

void MixBlockPortable(const CoefficientMix& mix, std::int16_t* y, std::int16_t* cb,
                      std::int16_t* cr) {
    const auto pair = [](const std::int16_t* weights, int k, std::int32_t first,
                         std::int32_t second) {
        return first * weights[2 * k] + second * weights[2 * k + 1];
    };
    const auto quantised = [&mix](std::int32_t sum) {
        const std::int32_t value = (sum + mix.half) >> mix.shift;
        return static_cast<std::int16_t>(
            std::clamp(value, -kLargestCoefficient, kLargestCoefficient));
    };
    for (int k = 0; k < kBlockPositions; ++k) {
        const std::int32_t luma = y[k], blue = cb[k], red = cr[k];
        y[k] = quantised(pair(mix.redOfLumaCr, k, luma, red));
        cb[k] = quantised(pair(mix.greenOfLumaCb, k, luma, blue) +
                          pair(mix.greenOfLumaCr, k, luma, red));
        cr[k] = quantised(pair(mix.blueOfLumaCb, k, luma, blue));
    }
}

#if defined(NVX_MIX_SSE2)

namespace {

inline __m128i Load(const std::int16_t* at) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
}

inline __m128i Weights(const std::int16_t* table, int k) {
    return _mm_load_si128(reinterpret_cast<const __m128i*>(table + 2 * k));
}

// Two halves of four sums each, rounded, shifted, packed and clamped.
inline __m128i Quantised(__m128i low, __m128i high, __m128i half, __m128i shift) {
    const __m128i largest = _mm_set1_epi16(kLargestCoefficient);
    const __m128i least = _mm_set1_epi16(-kLargestCoefficient);
    low = _mm_sra_epi32(_mm_add_epi32(low, half), shift);
    high = _mm_sra_epi32(_mm_add_epi32(high, half), shift);
    return _mm_max_epi16(_mm_min_epi16(_mm_packs_epi32(low, high), largest), least);
}

}  // namespace

void MixBlock(const CoefficientMix& mix, std::int16_t* y, std::int16_t* cb, std::int16_t* cr) {
    const __m128i half = _mm_set1_epi32(mix.half);
    const __m128i shift = _mm_cvtsi32_si128(mix.shift);
    const __m128i zero = _mm_setzero_si128();
    for (int k = 0; k < kBlockPositions; k += kRow) {
        const __m128i luma = Load(y + k);
        const __m128i blue = Load(cb + k);
        const __m128i red = Load(cr + k);
        const __m128i any = _mm_or_si128(_mm_or_si128(luma, blue), red);
        if (_mm_movemask_epi8(_mm_cmpeq_epi16(any, zero)) == 0xFFFF) continue;
        // Pairs (Y, Cr) and (Y, Cb) of positions k..k+3 and k+4..k+7.
        const __m128i lumaRedLow = _mm_unpacklo_epi16(luma, red);
        const __m128i lumaRedHigh = _mm_unpackhi_epi16(luma, red);
        const __m128i lumaBlueLow = _mm_unpacklo_epi16(luma, blue);
        const __m128i lumaBlueHigh = _mm_unpackhi_epi16(luma, blue);
        const __m128i r =
            Quantised(_mm_madd_epi16(lumaRedLow, Weights(mix.redOfLumaCr, k)),
                      _mm_madd_epi16(lumaRedHigh, Weights(mix.redOfLumaCr, k + 4)), half, shift);
        const __m128i g =
            Quantised(_mm_add_epi32(_mm_madd_epi16(lumaBlueLow, Weights(mix.greenOfLumaCb, k)),
                                    _mm_madd_epi16(lumaRedLow, Weights(mix.greenOfLumaCr, k))),
                      _mm_add_epi32(_mm_madd_epi16(lumaBlueHigh, Weights(mix.greenOfLumaCb, k + 4)),
                                    _mm_madd_epi16(lumaRedHigh, Weights(mix.greenOfLumaCr, k + 4))),
                      half, shift);
        const __m128i b =
            Quantised(_mm_madd_epi16(lumaBlueLow, Weights(mix.blueOfLumaCb, k)),
                      _mm_madd_epi16(lumaBlueHigh, Weights(mix.blueOfLumaCb, k + 4)), half, shift);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(y + k), r);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(cb + k), g);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(cr + k), b);
    }
}

#else

void MixBlock(const CoefficientMix& mix, std::int16_t* y, std::int16_t* cb, std::int16_t* cr) {
    MixBlockPortable(mix, y, cb, cr);
}

#endif

}  // namespace nvx::pyramid
