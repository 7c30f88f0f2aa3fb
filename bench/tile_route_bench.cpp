/*
 * tile_route_bench.cpp - the per-tile cost of the two ways a stored tile
 * becomes an output tile, on one thread: the pixel route (TurboJPEG decodes
 * the stored stream, the tile encoder encodes its pixels) and the
 * coefficient route (the DCT transcoder). The tiles are the real scan's,
 * stored as nvxmake stores them (baseline 4:4:4, quality 85 by default);
 * each route keeps its encoder or transcoder across tiles and decodes each
 * stream with a decompressor of its own, as a worker does. Prints the
 * thread's CPU milliseconds per tile for output qualities 60 and 75, and
 * the microseconds per tile of the check every stored stream passes first
 * (that it carries its own tables).
 *
 * usage: tile_route_bench SCAN.svs [STORED_QUALITY] [ROUNDS]
 */
#include <tiffio.h>
#include <turbojpeg.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

#include "common/jpeg_stream_check.h"
#include "common/turbo_jpeg.h"
#include "pyramid/dct_transcoder.h"
#include "pyramid/tile_encoder.h"
#include "slide/jpeg_decode.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

struct Tiles {
    int side = 0;
    std::vector<Bytes> stored;
};

// Every whole tile of the scan's first directory, re-encoded as nvxmake would.
Tiles StoredTiles(const char* path, int quality) {
    Tiles tiles;
    TIFF* tiff = TIFFOpen(path, "r");
    if (tiff == nullptr) return tiles;
    std::uint32_t width = 0, height = 0, side = 0;
    TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &height);
    TIFFGetField(tiff, TIFFTAG_TILEWIDTH, &side);
    nvx::TurboJpegHandle compressor(tjInitCompress());
    Bytes rgb(static_cast<std::size_t>(TIFFTileSize(tiff)));
    for (std::uint32_t y = 0; side > 0 && y + side <= height; y += side) {
        for (std::uint32_t x = 0; x + side <= width; x += side) {
            if (TIFFReadTile(tiff, rgb.data(), x, y, 0, 0) < 0) continue;
            unsigned char* jpeg = nullptr;
            unsigned long size = 0;
            if (tjCompress2(compressor.get(), rgb.data(), static_cast<int>(side), 0,
                            static_cast<int>(side), TJPF_RGB, &jpeg, &size, TJSAMP_444, quality,
                            0) == 0) {
                tiles.stored.emplace_back(jpeg, jpeg + size);
            }
            tjFree(jpeg);
        }
    }
    TIFFClose(tiff);
    tiles.side = static_cast<int>(side);
    return tiles;
}

// CPU time of this thread, so that other work on a shared machine counts
// less than it would in wall time.
double ThreadSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

double MillisecondsPerTile(double start, std::size_t tiles) {
    return (ThreadSeconds() - start) * 1000.0 / static_cast<double>(tiles);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: tile_route_bench SCAN.svs [STORED_QUALITY] [ROUNDS]\n");
        return 2;
    }
    const int storedQuality = argc > 2 ? std::atoi(argv[2]) : 85;
    const int rounds = argc > 3 ? std::atoi(argv[3]) : 5;
    const Tiles tiles = StoredTiles(argv[1], storedQuality);
    if (tiles.stored.empty()) {
        std::fprintf(stderr, "tile_route_bench: no tiles read from %s\n", argv[1]);
        return 1;
    }
    const std::size_t count = tiles.stored.size() * static_cast<std::size_t>(rounds);
    const int side = tiles.side;
    std::printf("%zu tiles of %d x %d, stored at quality %d, %d rounds\n", tiles.stored.size(),
                side, side, storedQuality, rounds);
    std::size_t incomplete = 0;
    double start = ThreadSeconds();
    for (int round = 0; round < rounds; ++round) {
        for (const Bytes& stored : tiles.stored) {
            if (nvx::CheckStreamCompleteness(stored.data(), stored.size()) !=
                nvx::StreamCompleteness::kComplete) {
                ++incomplete;
            }
        }
    }
    std::printf("tables check: %.2f us/tile%s\n", MillisecondsPerTile(start, count) * 1000.0,
                incomplete != 0 ? ", SOME STREAMS REFUSED" : "");
    for (const int quality : {60, 75}) {
        nvx::pyramid::TileEncoder encoder(quality);
        Bytes pixels(static_cast<std::size_t>(side) * side * 3);
        Bytes out;
        std::size_t failures = 0;
        start = ThreadSeconds();
        for (int round = 0; round < rounds; ++round) {
            for (const Bytes& stored : tiles.stored) {
                nvx::JpegSize size;
                if (!nvx::slide::DecodeJpegToRgb(stored.data(), stored.size(), pixels.data(),
                                                 pixels.size(), &size) ||
                    !encoder.Encode(pixels.data(), side, side, &out)) {
                    ++failures;
                }
            }
        }
        const double pixelRoute = MillisecondsPerTile(start, count);

        nvx::pyramid::DctTranscoder transcoder(quality);
        start = ThreadSeconds();
        for (int round = 0; round < rounds; ++round) {
            for (const Bytes& stored : tiles.stored) {
                if (transcoder.Transcode(stored.data(), stored.size(), side, side, &out) !=
                    nvx::pyramid::TranscodeResult::kTranscoded) {
                    ++failures;
                }
            }
        }
        const double coefficientRoute = MillisecondsPerTile(start, count);
        std::printf(
            "quality %d: pixel route %.3f ms/tile, coefficient route %.3f ms/tile (%.2fx)%s\n",
            quality, pixelRoute, coefficientRoute, coefficientRoute / pixelRoute,
            failures != 0 ? ", SOME TILES FAILED" : "");
    }
    return 0;
}
