/*
 * coefficient_mix.cpp - fixed-point weights, and the mix of a block on SSE2
 * (pmaddwd takes a pair of components at a time) or on plain integers.
 */
#include "pyramid/coefficient_mix.h"

#include <algorithm>
#include <cmath>
#include <numbers>

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

namespace nvx::pyramid {

namespace {

constexpr int kSide = 8;

// Eight floats: a row of a block. Two SSE2 registers where there is SSE2,
// plain floats elsewhere; the arithmetic is the same.
#if defined(NVX_MIX_SSE2)
struct Row {
    __m128 low, high;
};
inline Row Zero() { return {_mm_setzero_ps(), _mm_setzero_ps()}; }
inline Row LoadRow(const float* at) { return {_mm_loadu_ps(at), _mm_loadu_ps(at + 4)}; }
inline void StoreRow(float* at, Row row) {
    _mm_storeu_ps(at, row.low);
    _mm_storeu_ps(at + 4, row.high);
}
inline Row Times(Row a, Row b) { return {_mm_mul_ps(a.low, b.low), _mm_mul_ps(a.high, b.high)}; }
inline Row Sum(Row a, Row b) { return {_mm_add_ps(a.low, b.low), _mm_add_ps(a.high, b.high)}; }
inline Row Difference(Row a, Row b) {
    return {_mm_sub_ps(a.low, b.low), _mm_sub_ps(a.high, b.high)};
}
// acc + a * w
inline Row Plus(Row acc, Row a, float w) {
    const __m128 weight = _mm_set1_ps(w);
    return {_mm_add_ps(acc.low, _mm_mul_ps(a.low, weight)),
            _mm_add_ps(acc.high, _mm_mul_ps(a.high, weight))};
}
inline Row LoadCoefficients(const std::int16_t* at) {
    const __m128i values = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
    // Sign-extended to 32 bits: each value in the high half, shifted down.
    return {_mm_cvtepi32_ps(_mm_srai_epi32(_mm_unpacklo_epi16(values, values), 16)),
            _mm_cvtepi32_ps(_mm_srai_epi32(_mm_unpackhi_epi16(values, values), 16))};
}
inline bool AllZero(const std::int16_t* at) {
    const __m128i values = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
    return _mm_movemask_epi8(_mm_cmpeq_epi16(values, _mm_setzero_si128())) == 0xFFFF;
}
#else
struct Row {
    float v[kSide];
};
inline Row Zero() { return {}; }
inline Row LoadRow(const float* at) {
    Row row;
    std::copy(at, at + kSide, row.v);
    return row;
}
inline void StoreRow(float* at, Row row) { std::copy(row.v, row.v + kSide, at); }
inline Row Times(Row a, Row b) {
    for (int i = 0; i < kSide; ++i) a.v[i] *= b.v[i];
    return a;
}
inline Row Sum(Row a, Row b) {
    for (int i = 0; i < kSide; ++i) a.v[i] += b.v[i];
    return a;
}
inline Row Difference(Row a, Row b) {
    for (int i = 0; i < kSide; ++i) a.v[i] -= b.v[i];
    return a;
}
inline Row Plus(Row acc, Row a, float w) {
    for (int i = 0; i < kSide; ++i) acc.v[i] += a.v[i] * w;
    return acc;
}
inline Row LoadCoefficients(const std::int16_t* at) {
    Row row;
    for (int i = 0; i < kSide; ++i) row.v[i] = at[i];
    return row;
}
inline bool AllZero(const std::int16_t* at) {
    return std::all_of(at, at + kSide, [](std::int16_t v) { return v == 0; });
}
#endif

// Rounded to the nearest whole step, a tie toward zero, and clamped. Ties
// are common: a stored step half the output's puts every odd coefficient
// on one. The coefficient the stored one stands for lies more likely
// nearer zero (their spread falls off away from it), and the pixel route,
// which sees it through rounded pixels, breaks such ties either way; away
// from zero they would all cost bits and accuracy. A tie computed in float
// is off by far less than kTie, and a value that is not one lies at least
// 1/510 (half an output step of 255) from it.
constexpr float kTie = 1e-3f;

#if defined(NVX_MIX_SSE2)
inline __m128i QuantisedHalf(__m128 value) {
    const __m128 sign = _mm_and_ps(value, _mm_set1_ps(-0.0f));
    const __m128 magnitude =
        _mm_min_ps(_mm_add_ps(_mm_andnot_ps(_mm_set1_ps(-0.0f), value), _mm_set1_ps(0.5f - kTie)),
                   _mm_set1_ps(static_cast<float>(kLargestCoefficient)));
    // Truncated, then given the value's sign: -0 truncates to 0.
    const __m128i whole = _mm_cvttps_epi32(magnitude);
    const __m128i negative = _mm_srai_epi32(_mm_castps_si128(sign), 31);
    return _mm_sub_epi32(_mm_xor_si128(whole, negative), negative);
}
inline void StoreQuantised(std::int16_t* at, Row row) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(at),
                     _mm_packs_epi32(QuantisedHalf(row.low), QuantisedHalf(row.high)));
}
#else
inline void StoreQuantised(std::int16_t* at, Row row) {
    const float limit = static_cast<float>(kLargestCoefficient);
    for (int i = 0; i < kSide; ++i) {
        const float magnitude = std::min(std::abs(row.v[i]) + (0.5f - kTie), limit);
        const auto whole = static_cast<std::int16_t>(static_cast<int>(magnitude));
        at[i] = row.v[i] < 0.0f ? static_cast<std::int16_t>(-whole) : whole;
    }
}
#endif

// The second run's weights are the first's with sign (-1)^(k+i) (the
// DCT's basis is even or odd about the middle of the 16 samples), so
// output k takes first + second of input i where k + i is even and first -
// second where it is odd: one weight instead of two. Of those 64 weights
// 29 are zero (row 0 takes only the DC); each input keeps a list of the
// others.
struct Weight {
    int output;
    float weight;
    bool sum;  // of the two runs' input, else their difference
};
struct Halving {
    HalvingMatrix weights;                   // [output k][input i]
    float alongRows[kHalvingInputs][kSide];  // transposed: [input i][output k]
    Weight down[kSide][kSide];               // [input i]: its non-zero weights
    int downCount[kSide] = {};
};

// JPEG's 8-point DCT basis (orthonormal): basis[k][n] is sample n's weight
// in coefficient k, and coefficient k's weight in sample n.
double Basis(int k, int n) {
    const double scale = k == 0 ? std::sqrt(1.0 / kSide) : std::sqrt(2.0 / kSide);
    return scale * std::cos((2 * n + 1) * k * std::numbers::pi / (2 * kSide));
}

// Below this a weight is rounding of a zero (the largest are about 0.5).
constexpr double kZeroWeight = 1e-9;

Halving MakeHalving() {
    Halving h{};
    for (int k = 0; k < kSide; ++k) {
        for (int i = 0; i < kHalvingInputs; ++i) {
            // Input coefficient i alone: its run's samples, the other run's
            // zero; averaged in pairs, then transformed.
            const int run = i / kSide;
            const int j = i % kSide;
            double sum = 0.0;
            for (int n = 0; n < kSide; ++n) {
                double average = 0.0;
                for (int m = 2 * n; m <= 2 * n + 1; ++m) {
                    if (m / kSide == run) average += 0.5 * Basis(j, m % kSide);
                }
                sum += Basis(k, n) * average;
            }
            if (std::abs(sum) < kZeroWeight) sum = 0.0;
            h.weights[k][i] = static_cast<float>(sum);
            h.alongRows[i][k] = static_cast<float>(sum);
            if (run == 0 && sum != 0.0) {
                h.down[i][h.downCount[i]++] = {k, static_cast<float>(sum), (k + i) % 2 == 0};
            }
        }
    }
    return h;
}

const Halving kHalving = MakeHalving();

// HalveBlocks knowing that rows from `rows` and columns from `columns` on
// are zero in all four blocks.
void HalveWithin(const float* const blocks[4], int rows, int columns, float* out) {
    // Down the columns, the left and the right pair apart: halves[s][k] is
    // row k (vertical output frequency) over the horizontal input frequencies.
    Row halves[2][kSide];
    for (int side = 0; side < 2; ++side) {
        Row* half = halves[side];
        for (int k = 0; k < kSide; ++k) half[k] = Zero();
        for (int i = 0; i < rows; ++i) {
            const Row top = LoadRow(blocks[side] + i * kSide);
            const Row bottom = LoadRow(blocks[2 + side] + i * kSide);
            const Row sum = Sum(top, bottom);
            const Row difference = Difference(top, bottom);
            for (int n = 0; n < kHalving.downCount[i]; ++n) {
                const Weight& w = kHalving.down[i][n];
                half[w.output] = Plus(half[w.output], w.sum ? sum : difference, w.weight);
            }
        }
    }
    alignas(16) float left[kBlockPositions];
    alignas(16) float right[kBlockPositions];
    for (int k = 0; k < kSide; ++k) {
        StoreRow(left + k * kSide, halves[0][k]);
        StoreRow(right + k * kSide, halves[1][k]);
    }
    // Along the rows, the left half's columns the first run, the right's the second.
    const auto& t = kHalving.alongRows;
    for (int k = 0; k < kSide; ++k) {
        Row row = Zero();
        for (int j = 0; j < columns; ++j) {
            row = Plus(row, LoadRow(t[j]), left[k * kSide + j]);
            row = Plus(row, LoadRow(t[kSide + j]), right[k * kSide + j]);
        }
        StoreRow(out + k * kSide, row);
    }
}

}  // namespace

const HalvingMatrix& ChromaHalvingMatrix() { return kHalving.weights; }

void HalveBlocks(const float* const blocks[4], float* out) {
    int rows = 0;
    int columns = 0;
    for (int b = 0; b < 4; ++b) {
        for (int r = 0; r < kSide; ++r) {
            for (int c = 0; c < kSide; ++c) {
                if (blocks[b][r * kSide + c] == 0.0f) continue;
                rows = std::max(rows, r + 1);
                columns = std::max(columns, c + 1);
            }
        }
    }
    HalveWithin(blocks, rows, columns, out);
}

ChromaSteps MakeChromaSteps(const std::uint16_t* storedSteps, const std::uint16_t* outputSteps) {
    ChromaSteps steps{};
    for (int k = 0; k < kBlockPositions; ++k) {
        steps.stored[k] = storedSteps[k];
        steps.inverseOutput[k] = 1.0f / std::max<std::uint16_t>(outputSteps[k], 1);
    }
    return steps;
}

void HalveChromaBlocks(const ChromaSteps& steps, const std::int16_t* const blocks[4],
                       std::int16_t* out) {
    alignas(16) float dequantised[4][kBlockPositions];
    // The last row and column that hold anything, over all four blocks.
    int rows = 0;
    std::int16_t anyInColumn[kSide] = {};
    for (int b = 0; b < 4; ++b) {
        for (int r = 0; r < kSide; ++r) {
            const std::int16_t* row = blocks[b] + r * kSide;
            if (AllZero(row)) {
                StoreRow(dequantised[b] + r * kSide, Zero());
                continue;
            }
            rows = r + 1 > rows ? r + 1 : rows;
            for (int c = 0; c < kSide; ++c) anyInColumn[c] |= row[c];
            StoreRow(dequantised[b] + r * kSide,
                     Times(LoadCoefficients(row), LoadRow(steps.stored + r * kSide)));
        }
    }
    int columns = kSide;
    while (columns > 0 && anyInColumn[columns - 1] == 0) --columns;
    const float* const halved[4] = {dequantised[0], dequantised[1], dequantised[2], dequantised[3]};
    alignas(16) float result[kBlockPositions];
    HalveWithin(halved, rows, columns, result);
    for (int r = 0; r < kSide; ++r) {
        StoreQuantised(out + r * kSide, Times(LoadRow(result + r * kSide),
                                              LoadRow(steps.inverseOutput + r * kSide)));
    }
}

void RequantiseBlock(const float* ratios, const std::int16_t* block, std::int16_t* out) {
    for (int r = 0; r < kSide; ++r) {
        StoreQuantised(out + r * kSide,
                       Times(LoadCoefficients(block + r * kSide), LoadRow(ratios + r * kSide)));
    }
}

}  // namespace nvx::pyramid
