/*
 * slide_reader.cpp - fetches for one open slide. Stored tiles go out as
 * stored (their checksum, their tables and their JPEG frame size checked,
 * never re-encoded); everything else is assembled through the region
 * sampler.
 */
#include "nvxlib/slide_reader.h"

#include <limits>
#include <new>

#include "common/jpeg_stream_check.h"

#include "nvxlib/region_sampler.h"
#include "nvxlib/scale_mapping.h"

namespace nvx {
namespace {
constexpr uint64_t kMaxOutputBytes = std::numeric_limits<int32_t>::max();

// Pixels the library holds itself fail to encode only for want of memory.
MallocBuffer EncodedOrThrow(const MallocBuffer& rgb, int32_t width, int32_t height) {
    MallocBuffer jpeg = EncodeJpeg(rgb.data.get(), width, height, kLibraryJpegQuality);
    if (!jpeg) throw std::bad_alloc();
    return jpeg;
}
}  // namespace

MallocBuffer SlideReader::FetchTile(float scale, int32_t x, int32_t y) const {
    const Header& h = header();
    const auto m = MapScale(h.width, h.height, h.scanMagnification,
                            static_cast<uint32_t>(file_->levels().size()), scale);
    if (!m || x < 0 || y < 0) return {};
    const uint32_t t = h.tileSize;
    if (uint32_t(x) % t != 0 || uint32_t(y) % t != 0) return {};
    if (uint32_t(x) >= m->width || uint32_t(y) >= m->height) return {};

    if (m->stored) {
        const uint32_t column = uint32_t(x) / t, row = uint32_t(y) / t;
        MallocBuffer stream = file_->ReadTile(m->level, column, row);
        if (!stream) return {};
        // The checksum only proves the bytes are the ones written. A stream
        // without its own tables would decode with whatever tables the
        // caller's decoder last read; one whose frame is not the tile's size
        // would break callers that size their buffers from the tile size.
        if (CheckStreamCompleteness(stream.data.get(), stream.size) !=
            StreamCompleteness::kComplete)
            return {};
        const auto size = JpegFrameSize({stream.data.get(), stream.size});
        const JpegSize want = file_->TilePixels(m->level, column, row);
        if (!size || size->width != want.width || size->height != want.height) return {};
        return stream;
    }

    const int32_t w = int32_t(std::min<uint32_t>(t, m->width - uint32_t(x)));
    const int32_t hgt = int32_t(std::min<uint32_t>(t, m->height - uint32_t(y)));
    MallocBuffer rgb = RegionRgb(scale, x, y, w, hgt);
    if (!rgb) return {};
    return EncodedOrThrow(rgb, w, hgt);
}

MallocBuffer SlideReader::RegionRgb(float scale, int32_t x, int32_t y, int32_t width,
                                    int32_t height) const {
    const Header& h = header();
    const auto m = MapScale(h.width, h.height, h.scanMagnification,
                            static_cast<uint32_t>(file_->levels().size()), scale);
    if (!m || width <= 0 || height <= 0) return {};
    const uint64_t bytes = uint64_t(width) * uint64_t(height) * 3;
    if (bytes > kMaxOutputBytes) return {};
    MallocBuffer out = AllocateBuffer(bytes);
    if (!out) throw std::bad_alloc();
    if (!SampleRegion(*file_, cache_, m->level, m->ratio, x, y, width, height, out.data.get()))
        return {};
    return out;
}

MallocBuffer SlideReader::FetchRegion(float scale, int32_t x, int32_t y, int32_t width,
                                      int32_t height, int32_t format) const {
    if (format != 0 && format != 1) return {};
    MallocBuffer rgb = RegionRgb(scale, x, y, width, height);
    if (!rgb || format == 0) return rgb;
    return EncodedOrThrow(rgb, width, height);
}

Picture SlideReader::FetchPicture(const PictureRef& ref) const {
    Picture p;
    p.recorded = ref.length != 0;
    if (!p.recorded) return p;
    p.stream = file_->ReadPicture(ref);
    if (!p.stream) return p;
    // The stored size is what callers size their buffers from and what they
    // report: the stream's frame must be exactly that size.
    const auto size = JpegFrameSize({p.stream.data.get(), p.stream.size});
    if (!size || uint32_t(size->width) != ref.width || uint32_t(size->height) != ref.height) {
        p.stream = {};
        return p;
    }
    p.width = ref.width;
    p.height = ref.height;
    return p;
}

}  // namespace nvx
