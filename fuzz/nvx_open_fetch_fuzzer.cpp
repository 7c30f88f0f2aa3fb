/*
 * nvx_open_fetch_fuzzer.cpp - libFuzzer target for the slide library's
 * open-and-fetch path: the input is an nvx file; it is opened through the C
 * interface and, when it opens, queried and fetched the way the converter
 * does (stored and built tiles, regions in both formats, both pictures).
 *
 * The four reserved header bytes (offset 120), which the library ignores,
 * steer one extra tile and region fetch (scale divisor, position, size), so
 * mutations there explore scales and edges without breaking the file.
 *
 * The input lives in a memfd and is opened by its /proc path, so the library
 * reads it through its ordinary open/pread code. Built with
 * FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION, which turns off the checksum
 * comparisons so mutated files get past them to the bounds checks and the
 * JPEG decoding behind them.
 */
#include <cstdint>
#include <cstdio>
#include <string>

#include <sys/mman.h>
#include <unistd.h>

#include "NvxSlideLib.h"
#include "nvxlib/file_descriptor.h"

namespace {

void Release(uint8_t* buffer, int32_t length, int32_t expected) {
    // A buffer handed out must be as long as promised; touching its last
    // byte lets AddressSanitizer check that it really is.
    if (buffer != nullptr && length > 0) {
        volatile uint8_t last = buffer[length - 1];
        (void)last;
        if (expected > 0 && length != expected) __builtin_trap();
    }
    NvxReleaseBuffer(buffer);
}

void Tile(NvxSlideHandle h, float scale, int32_t x, int32_t y) {
    uint8_t* b = nullptr;
    int32_t n = 0;
    NvxFetchTile(&h, scale, x, y, &n, &b);
    Release(b, n, 0);
}

void Region(NvxSlideHandle h, float scale, int32_t x, int32_t y, int32_t w, int32_t hh,
            int32_t format) {
    uint8_t* b = nullptr;
    int32_t n = 0;
    NvxFetchRegion(h, scale, x, y, w, hh, &b, &n, format);
    Release(b, n, format == 0 ? w * hh * 3 : 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    nvx::FileDescriptor fd(memfd_create("nvx-fuzz", MFD_CLOEXEC));
    if (!fd.Valid()) return 0;
    if (size > 0 && write(fd.get(), data, size) != static_cast<ssize_t>(size)) return 0;
    const std::string path = "/proc/self/fd/" + std::to_string(fd.get());

    NvxSlideHandle h = 0;
    if (!NvxOpenSlide(&h, path.c_str())) return 0;
    int32_t width = 0, height = 0, mag = 0, tileSize = 0;
    float auxF = 0, mpp = 0;
    double auxD = 0;
    NvxQuerySlide(h, &height, &width, &mag, &auxF, &auxD, &mpp, &tileSize);
    const float m = static_cast<float>(mag);

    Tile(h, m, 0, 0);
    Tile(h, m / 2, 0, 0);
    Tile(h, m, (width - 1) / tileSize * tileSize, (height - 1) / tileSize * tileSize);
    Tile(h, m / 3, 0, 0);     // built from level 1
    Tile(h, m / 1024, 0, 0);  // built from the last level
    Region(h, m, -5, -7, 40, 30, 0);
    Region(h, m, width - 20, height - 10, 48, 24, 1);
    Region(h, m / 1.5f, 3, 3, 50, 20, 0);
    Region(h, m / 8, 0, 0, 64, 64, 1);

    if (size >= 124) {
        static constexpr float kDivisors[] = {1, 1.5f, 2, 3, 4, 6, 8, 16, 64, 1000, 0.5f, -1};
        const uint8_t* p = data + 120;
        const float scale = m / kDivisors[p[0] % 12];
        const int32_t x = static_cast<int8_t>(p[1]) * 8, y = static_cast<int8_t>(p[2]) * 8;
        Tile(h, scale, x < 0 ? 0 : x / tileSize * tileSize, y < 0 ? 0 : y / tileSize * tileSize);
        Region(h, scale, x, y, 1 + p[3] % 97, 1 + p[3] / 3 % 61, p[0] >> 7);
    }

    for (auto fetch : {NvxFetchLabel, NvxFetchPreview}) {
        uint8_t* b = nullptr;
        int32_t n = 0, w = 0, hh = 0;
        fetch(h, &b, &n, &w, &hh);
        Release(b, n, 0);
    }
    if (!NvxCloseSlide(&h)) __builtin_trap();
    return 0;
}
