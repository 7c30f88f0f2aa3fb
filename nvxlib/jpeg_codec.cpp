/*
 * jpeg_codec.cpp - TurboJPEG decode with a fresh decompressor per stream,
 * encode with compressors kept for reuse. A failed or warned decode is a
 * failure: a tile that decodes only with "corrupt data" warnings must not be
 * passed on as if it were good.
 */
#include "nvxlib/jpeg_codec.h"

#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include <turbojpeg.h>

namespace nvx {
namespace {

// Instances of one kind, lent to one caller at a time and taken back after
// the call. Not thread_local: the threads that call the library are its
// caller's, and the Windows run-time cannot safely destroy a library's
// thread_local objects when such a thread ends.
class TjPool {
public:
    explicit TjPool(tjhandle (*make)()) : make_(make) {}

    class Lent {
    public:
        Lent(TjPool& pool, TurboJpegHandle handle) : pool_(pool), handle_(std::move(handle)) {}
        Lent(const Lent&) = delete;
        Lent& operator=(const Lent&) = delete;
        ~Lent() { pool_.GiveBack(std::move(handle_)); }
        tjhandle get() const { return handle_.get(); }

    private:
        TjPool& pool_;
        TurboJpegHandle handle_;
    };

    Lent Lend() {
        {
            std::lock_guard lock(mutex_);
            if (!free_.empty()) {
                TurboJpegHandle handle = std::move(free_.back());
                free_.pop_back();
                return Lent(*this, std::move(handle));
            }
        }
        return Lent(*this, TurboJpegHandle(make_()));
    }

private:
    void GiveBack(TurboJpegHandle handle) {
        if (!handle) return;
        std::lock_guard lock(mutex_);
        try {
            free_.push_back(std::move(handle));
        } catch (...) {
            // No memory to keep it: it is destroyed here instead.
        }
    }

    tjhandle (*make_)();
    std::mutex mutex_;
    std::vector<TurboJpegHandle> free_;
};

// A decompressor that has read no stream, so holds no tables.
TurboJpegHandle FreshDecompressor() { return TurboJpegHandle(tjInitDecompress()); }

TjPool::Lent Compressor() {
    static TjPool pool(tjInitCompress);
    return pool.Lend();
}

struct TjFree {
    void operator()(unsigned char* p) const noexcept { tjFree(p); }
};

bool ReadHeader(tjhandle tj, std::span<const uint8_t> stream, JpegSize& size) {
    return ReadJpegHeader(tj, stream.data(), stream.size(), &size);
}

bool DecodeInto(tjhandle tj, std::span<const uint8_t> stream, JpegSize size, uint8_t* out) {
    return DecodeJpegRgb(tj, stream.data(), stream.size(), size, out, TJFLAG_STOPONWARNING);
}

// A call on `tj` failed: for want of memory it throws, for the stream it is false.
bool FailedOn(tjhandle tj) {
    if (TurboJpegRanOutOfMemory(tj)) throw std::bad_alloc();
    return false;
}

}  // namespace

std::optional<JpegSize> JpegFrameSize(std::span<const uint8_t> stream) {
    JpegSize size;
    const TurboJpegHandle tj = FreshDecompressor();
    if (!tj) throw std::bad_alloc();
    if (!ReadHeader(tj.get(), stream, size)) {
        FailedOn(tj.get());
        return std::nullopt;
    }
    return size;
}

bool DecodeJpegExact(std::span<const uint8_t> stream, JpegSize expected, uint8_t* out) {
    const TurboJpegHandle tj = FreshDecompressor();
    if (!tj) throw std::bad_alloc();
    JpegSize size;
    if (!ReadHeader(tj.get(), stream, size)) return FailedOn(tj.get());
    if (size.width != expected.width || size.height != expected.height) return false;
    return DecodeInto(tj.get(), stream, size, out) || FailedOn(tj.get());
}

std::optional<std::vector<uint8_t>> DecodeJpeg(std::span<const uint8_t> stream, JpegSize& size,
                                               uint64_t maxPixels) {
    const TurboJpegHandle owned = FreshDecompressor();
    tjhandle tj = owned.get();
    if (!ReadHeader(tj, stream, size)) return std::nullopt;
    if (uint64_t(size.width) * uint64_t(size.height) > maxPixels) return std::nullopt;
    std::vector<uint8_t> rgb(size_t(size.width) * size_t(size.height) * 3);
    if (!DecodeInto(tj, stream, size, rgb.data())) return std::nullopt;
    return rgb;
}

bool DecodesWhole(std::span<const uint8_t> stream, JpegSize& size) {
    const TurboJpegHandle owned = FreshDecompressor();
    tjhandle tj = owned.get();
    if (!ReadHeader(tj, stream, size)) return false;
    const JpegSize eighth{(size.width + 7) / 8, (size.height + 7) / 8};
    std::vector<uint8_t> rgb(size_t(eighth.width) * size_t(eighth.height) * 3);
    return DecodeInto(tj, stream, eighth, rgb.data());
}

MallocBuffer EncodeJpeg(const uint8_t* rgb, int width, int height, int quality) {
    MallocBuffer out;
    const TjPool::Lent lent = Compressor();
    tjhandle tj = lent.get();
    if (tj == nullptr || width <= 0 || height <= 0) return out;
    unsigned char* jpeg = nullptr;
    unsigned long jpegSize = 0;
    const int rc =
        tjCompress2(tj, rgb, width, 0, height, TJPF_RGB, &jpeg, &jpegSize, TJSAMP_444, quality, 0);
    std::unique_ptr<unsigned char, TjFree> owned(jpeg);
    if (rc != 0 || jpeg == nullptr || jpegSize == 0) return out;
    out = AllocateBuffer(jpegSize);
    if (out) std::memcpy(out.data.get(), jpeg, jpegSize);
    return out;
}

}  // namespace nvx
