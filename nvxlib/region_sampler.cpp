/*
 * region_sampler.cpp - row-streaming region assembly. Output rows are built
 * one at a time from level rows, and level rows from one row of decoded
 * tiles at a time, so memory stays proportional to the region's width (plus
 * the tile cache), however tall the region is.
 */
#include "nvxlib/region_sampler.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "common/jpeg_stream_check.h"

namespace nvx {
namespace {

// Level rows of the column range [x0, x1), taken from decoded tiles.
class LevelRows {
public:
    LevelRows(const SlideFile& file, TileCache& cache, uint32_t level, int64_t x0, int64_t x1)
        : file_(file),
          cache_(cache),
          level_(level),
          x0_(x0),
          x1_(x1),
          tile_(file.header().tileSize),
          row_(std::max<size_t>(size_t(std::max<int64_t>(x1 - x0, 1)) * 3, 3)) {}

    // Row y of the level (0 <= y < level height), or nullptr on a bad tile.
    const uint8_t* Row(int64_t y) {
        if (x1_ <= x0_) return row_.data();
        const auto tileRow = static_cast<uint32_t>(y / tile_);
        if (tileRow != loadedRow_) {
            tiles_.clear();
            loadedRow_ = kNone;
            for (int64_t c = x0_ / tile_; c <= (x1_ - 1) / tile_; ++c) {
                DecodedTilePtr t =
                    CachedDecodedTile(file_, cache_, level_, static_cast<uint32_t>(c), tileRow);
                if (!t) return nullptr;
                tiles_.push_back(std::move(t));
            }
            loadedRow_ = tileRow;
        }
        const int64_t inTile = y - int64_t{tileRow} * tile_;
        const int64_t firstColumn = x0_ / tile_;
        for (int64_t x = x0_; x < x1_;) {
            const int64_t c = x / tile_;
            const DecodedTile& t = *tiles_[size_t(c - firstColumn)];
            const int64_t tx = x - c * tile_;
            const int64_t n = std::min<int64_t>(x1_ - x, t.size.width - tx);
            std::memcpy(&row_[size_t(x - x0_) * 3], &t.rgb[size_t(inTile * t.size.width + tx) * 3],
                        size_t(n) * 3);
            x += n;
        }
        return row_.data();
    }

private:
    static constexpr uint32_t kNone = UINT32_MAX;
    const SlideFile& file_;
    TileCache& cache_;
    uint32_t level_;
    int64_t x0_, x1_;
    int64_t tile_;
    uint32_t loadedRow_ = kNone;
    std::vector<DecodedTilePtr> tiles_;
    std::vector<uint8_t> row_;
};

// Coverage of output pixel i by level pixels: weights of pixels inside the
// level [0, limit), and the part of it lying outside (counts as white).
struct Span {
    int64_t first = 0;  // first level pixel inside the level
    std::vector<float> weights;
    float white = 0;
};

Span Coverage(int64_t outPixel, double ratio, int64_t limit) {
    const double a = double(outPixel) * ratio;
    const double b = a + ratio;
    Span s;
    // Clamped in floating point: at tiny scales a and b exceed any int64_t.
    const int64_t lo = int64_t(std::clamp(std::floor(a), 0.0, double(limit)));
    const int64_t hi = int64_t(std::clamp(std::ceil(b), 0.0, double(limit)));
    double inside = 0;
    s.first = lo;
    for (int64_t p = lo; p < hi; ++p) {
        const double overlap = std::min(b, double(p + 1)) - std::max(a, double(p));
        s.weights.push_back(float(overlap / ratio));
        inside += overlap;
    }
    s.white = float(std::max(0.0, ratio - inside) / ratio);
    return s;
}

// Output columns averaged at once; the region's own buffer aside, each costs
// about 60 bytes while its strip is built.
constexpr int64_t kStripWidth = 4096;

uint8_t ToByte(float v) { return static_cast<uint8_t>(std::clamp(v + 0.5f, 0.0f, 255.0f)); }

// The area average of (x, y, w, h) into rows `outStride` bytes apart.
bool SampleAveraged(const SlideFile& file, TileCache& cache, uint32_t level, double ratio,
                    int64_t x, int64_t y, int64_t w, int64_t h, uint8_t* out, size_t outStride) {
    const LevelShape& shape = file.levels()[level].shape;
    const int64_t lw = shape.width, lh = shape.height;
    std::vector<Span> columns;
    columns.reserve(size_t(w));
    for (int64_t i = 0; i < w; ++i) columns.push_back(Coverage(x + i, ratio, lw));
    // The level columns to assemble are exactly those the spans use: a span
    // summed from its left edge may end a rounding error past (x + w) * ratio.
    int64_t x0 = lw, x1 = 0;
    for (const Span& c : columns) {
        if (c.weights.empty()) continue;
        x0 = std::min(x0, c.first);
        x1 = std::max(x1, c.first + int64_t(c.weights.size()));
    }
    if (x1 <= x0) x0 = x1 = 0;
    LevelRows rows(file, cache, level, x0, x1);

    std::vector<float> across(size_t(w) * 3);  // one level row reduced across
    std::vector<float> sum(size_t(w) * 3);
    for (int64_t j = 0; j < h; ++j) {
        const Span down = Coverage(y + j, ratio, lh);
        std::fill(sum.begin(), sum.end(), 255.0f * down.white);
        for (size_t k = 0; k < down.weights.size(); ++k) {
            const uint8_t* src = rows.Row(down.first + int64_t(k));
            if (src == nullptr) return false;
            for (int64_t i = 0; i < w; ++i) {
                const Span& c = columns[size_t(i)];
                float r = 255.0f * c.white, g = r, b = r;
                const uint8_t* p = c.weights.empty() ? src : src + size_t(c.first - x0) * 3;
                for (float wt : c.weights) {
                    r += wt * p[0];
                    g += wt * p[1];
                    b += wt * p[2];
                    p += 3;
                }
                across[size_t(i) * 3] = r;
                across[size_t(i) * 3 + 1] = g;
                across[size_t(i) * 3 + 2] = b;
            }
            const float wt = down.weights[k];
            for (size_t i = 0; i < across.size(); ++i) sum[i] += wt * across[i];
        }
        uint8_t* dst = out + size_t(j) * outStride;
        for (size_t i = 0; i < sum.size(); ++i) dst[i] = ToByte(sum[i]);
    }
    return true;
}

}  // namespace

DecodedTilePtr CachedDecodedTile(const SlideFile& file, TileCache& cache, uint32_t level,
                                 uint32_t column, uint32_t row) {
    const JpegSize size = file.TilePixels(level, column, row);
    const size_t bytes = size_t(size.width) * size_t(size.height) * 3;
    const uint64_t key = (uint64_t{level} << 54) | (uint64_t{row} << 27) | column;
    return cache.Get(key, bytes, [&]() -> DecodedTilePtr {
        MallocBuffer stream = file.ReadTile(level, column, row);
        if (!stream) return nullptr;
        // Decoded without its own tables, a stream would take those of
        // whatever the decoder read before: that is not the stored tile.
        if (CheckStreamCompleteness(stream.data.get(), stream.size) !=
            StreamCompleteness::kComplete)
            return nullptr;
        auto tile = std::make_shared<DecodedTile>();
        tile->size = size;
        tile->rgb.resize(bytes);
        if (!DecodeJpegExact({stream.data.get(), stream.size}, size, tile->rgb.data()))
            return nullptr;
        return tile;
    });
}

bool SampleRegion(const SlideFile& file, TileCache& cache, uint32_t level, double ratio, int64_t x,
                  int64_t y, int64_t w, int64_t h, uint8_t* out) {
    const LevelShape& shape = file.levels()[level].shape;
    const int64_t lw = shape.width, lh = shape.height;
    const size_t outRow = size_t(w) * 3;

    if (ratio == 1) {  // the level's own pixels: copy, white outside
        const int64_t x0 = std::clamp<int64_t>(x, 0, lw), x1 = std::clamp<int64_t>(x + w, 0, lw);
        LevelRows rows(file, cache, level, x0, x1);
        for (int64_t j = 0; j < h; ++j) {
            uint8_t* dst = out + size_t(j) * outRow;
            const int64_t ly = y + j;
            if (ly < 0 || ly >= lh || x1 <= x0) {
                std::memset(dst, 255, outRow);
                continue;
            }
            const uint8_t* src = rows.Row(ly);
            if (src == nullptr) return false;
            std::memset(dst, 255, size_t(x0 - x) * 3);
            std::memcpy(dst + size_t(x0 - x) * 3, src, size_t(x1 - x0) * 3);
            std::memset(dst + size_t(x1 - x) * 3, 255, size_t(x + w - x1) * 3);
        }
        return true;
    }

    // In strips of output columns, so that the per-column state stays small
    // however wide the region is; every pixel is computed from its absolute
    // position, so the strips join seamlessly.
    for (int64_t i = 0; i < w; i += kStripWidth) {
        if (!SampleAveraged(file, cache, level, ratio, x + i, y, std::min(kStripWidth, w - i), h,
                            out + size_t(i) * 3, outRow))
            return false;
    }
    return true;
}

}  // namespace nvx
