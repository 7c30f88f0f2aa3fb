/*
 * pyramid_builder.cpp - the level cascade. Tile size must be even so that
 * every 2x2 block of a level lies inside one tile of it: level k+1 tile c
 * covers exactly level k tiles 2c and 2c+1.
 */
#include "tools/pyramid_builder.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <stdexcept>

#include "nvxlib/jpeg_codec.h"
#include "tools/parallel_for.h"

namespace nvxmake {
namespace {

struct Tile {
    uint32_t width = 0;
    uint32_t height = 0;
    std::vector<uint8_t> rgb;  // empty: plain white
    bool Blank() const { return rgb.empty(); }
};
using TileRow = std::vector<Tile>;

bool AllWhite(const std::vector<uint8_t>& rgb) {
    return std::all_of(rgb.begin(), rgb.end(), [](uint8_t v) { return v == 255; });
}

class Builder {
public:
    Builder(const TileSource& source, uint32_t tileSize, int quality, unsigned threads,
            NvxFileWriter& writer)
        : source_(source),
          tile_(tileSize),
          quality_(quality),
          threads_(threads),
          writer_(writer),
          shapes_(nvx::LevelShapes(source.width(), source.height(), tileSize)),
          pending_(shapes_.size()) {
        result_.levels.resize(shapes_.size());
    }

    PyramidResult Run() {
        uint64_t work = 0;
        for (const auto& s : shapes_) work += s.rows;
        ProgressBar progress("nvxmake", work);
        progress_ = &progress;
        for (uint32_t r = 0; r < shapes_[0].rows; ++r) FinishRow(0, r, ReadRow(r));
        progress_ = nullptr;
        return std::move(result_);
    }

private:
    Tile MakeTile(uint32_t level, uint32_t column, uint32_t row) const {
        const nvx::LevelShape& s = shapes_[level];
        Tile t;
        t.width = std::min(tile_, s.width - column * tile_);
        t.height = std::min(tile_, s.height - row * tile_);
        return t;
    }

    TileRow ReadRow(uint32_t r) {
        TileRow row(shapes_[0].columns);
        std::atomic<bool> failed{false};
        ParallelFor(row.size(), threads_, [&](size_t c) {
            Tile t = MakeTile(0, uint32_t(c), r);
            const uint32_t x = uint32_t(c) * tile_, y = r * tile_;
            if (!source_.KnownBlank(x, y, t.width, t.height)) {
                t.rgb.resize(size_t(t.width) * t.height * 3);
                if (!source_.Read(x, y, t.width, t.height, t.rgb.data())) failed = true;
                if (AllWhite(t.rgb)) t.rgb.clear();
            }
            row[c] = std::move(t);
        });
        if (failed) throw std::runtime_error("cannot read the source's pixels");
        return row;
    }

    // Level k+1 tile from the 2x2 block of level k tiles below it.
    Tile Reduce(uint32_t level, uint32_t column, uint32_t row, const TileRow& top,
                const TileRow* bottom) const {
        Tile out = MakeTile(level + 1, column, row);
        const Tile* src[2][2] = {};
        bool any = false;
        for (int dy = 0; dy < 2; ++dy) {
            const TileRow* r = dy == 0 ? &top : bottom;
            for (int dx = 0; dx < 2; ++dx) {
                const size_t c = size_t(column) * 2 + size_t(dx);
                if (r != nullptr && c < r->size()) {
                    src[dy][dx] = &(*r)[c];
                    any = any || !(*r)[c].Blank();
                }
            }
        }
        if (!any) return out;
        out.rgb.assign(size_t(out.width) * out.height * 3, 255);
        const uint32_t half = tile_ / 2;
        for (uint32_t y = 0; y < out.height; ++y) {
            const Tile* left = src[y / half][0];
            const Tile* right = src[y / half][1];
            const uint32_t sy = (y % half) * 2;
            uint8_t* dst = &out.rgb[size_t(y) * out.width * 3];
            for (uint32_t x = 0; x < out.width; ++x) {
                const Tile* t = x < half ? left : right;
                if (t == nullptr || t->Blank()) continue;  // stays white
                const uint32_t sx = (x % half) * 2;
                const uint8_t* a = &t->rgb[(size_t(sy) * t->width + sx) * 3];
                const uint8_t* b = a + size_t(t->width) * 3;
                for (int ch = 0; ch < 3; ++ch)
                    dst[x * 3 + ch] = uint8_t((a[ch] + a[ch + 3] + b[ch] + b[ch + 3] + 2) / 4);
            }
        }
        if (AllWhite(out.rgb)) out.rgb.clear();
        return out;
    }

    const std::vector<uint8_t>& WhiteStream(uint32_t w, uint32_t h) {
        auto& s = whiteStreams_[{w, h}];
        if (s.empty()) {
            std::vector<uint8_t> white(size_t(w) * h * 3, 255);
            nvx::MallocBuffer jpeg = nvx::EncodeJpeg(white.data(), int(w), int(h), quality_);
            if (!jpeg) throw std::runtime_error("JPEG encoding failed");
            s.assign(jpeg.data.get(), jpeg.data.get() + jpeg.size);
        }
        return s;
    }

    // Encode and store one finished row of level k, then feed level k+1.
    void FinishRow(uint32_t level, uint32_t r, TileRow row) {
        std::vector<nvx::MallocBuffer> streams(row.size());
        ParallelFor(row.size(), threads_, [&](size_t c) {
            const Tile& t = row[c];
            if (!t.Blank())
                streams[c] = nvx::EncodeJpeg(t.rgb.data(), int(t.width), int(t.height), quality_);
        });
        auto& entries = result_.levels[level];
        for (size_t c = 0; c < row.size(); ++c) {
            if (row[c].Blank()) {
                entries.push_back(writer_.AddStream(WhiteStream(row[c].width, row[c].height)));
            } else {
                if (!streams[c]) throw std::runtime_error("JPEG encoding failed");
                entries.push_back(writer_.AddStream({streams[c].data.get(), streams[c].size}));
            }
        }
        if (progress_) progress_->Advance();

        if (level + 1 == shapes_.size()) {
            if (row.size() == 1 && shapes_[level].rows == 1) KeepSmallest(row[0]);
            return;
        }
        const uint32_t next = level + 1;
        const nvx::LevelShape& down = shapes_[next];
        const uint32_t j = r / 2;
        if (j >= down.rows) return;  // a last odd row that no coarser pixel needs
        // Row j of the next level needs this level's rows 2j and, if its pixels
        // reach that far, 2j+1.
        const uint64_t lastNeeded =
            (std::min<uint64_t>(uint64_t(j + 1) * tile_, down.height) * 2 - 1) / tile_;
        if (lastNeeded < r) return;  // a last pixel row that no coarser pixel needs
        if (r % 2 == 0 && lastNeeded > r) {
            pending_[level] = std::move(row);
            return;
        }
        const TileRow* top = r % 2 == 0 ? &row : &pending_[level];
        const TileRow* bottom = r % 2 == 0 ? nullptr : &row;
        TileRow reduced(down.columns);
        ParallelFor(reduced.size(), threads_,
                    [&](size_t c) { reduced[c] = Reduce(level, uint32_t(c), j, *top, bottom); });
        pending_[level].clear();
        FinishRow(next, j, std::move(reduced));
    }

    void KeepSmallest(const Tile& t) {
        result_.smallest.width = t.width;
        result_.smallest.height = t.height;
        result_.smallest.rgb =
            t.Blank() ? std::vector<uint8_t>(size_t(t.width) * t.height * 3, 255) : t.rgb;
    }

    const TileSource& source_;
    uint32_t tile_;
    int quality_;
    unsigned threads_;
    NvxFileWriter& writer_;
    std::vector<nvx::LevelShape> shapes_;
    std::vector<TileRow> pending_;  // per level: an even row waiting for its partner
    std::map<std::pair<uint32_t, uint32_t>, std::vector<uint8_t>> whiteStreams_;
    PyramidResult result_;
    ProgressBar* progress_ = nullptr;
};

}  // namespace

PyramidResult BuildPyramid(const TileSource& source, uint32_t tileSize, int quality,
                           unsigned threads, NvxFileWriter& writer) {
    if (!nvx::IsSupportedTileSize(tileSize))
        throw std::runtime_error("tile size must be a multiple of 16 from 16 to 4096");
    return Builder(source, tileSize, quality, threads, writer).Run();
}

}  // namespace nvxmake
