/*
 * slide_fetch_bench.cpp - throughput of the slide library as the converter
 * uses it: every stored tile of a level fetched with NvxFetchTile (whole
 * slide mode), and the whole slide fetched as tile-sized RGB regions with
 * NvxFetchRegion (region mode), by 1 and by 64 threads on one handle.
 * Each run opens the slide afresh so the decoded-tile cache starts cold,
 * as in one conversion. Prints tiles/s, megapixels/s and peak memory.
 *
 * usage: slide_fetch_bench SLIDE.nvx [THREADS...]
 */
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <sys/resource.h>

#include "NvxSlideLib.h"

namespace {

struct Job {
    int32_t x, y, w, h;
};

struct Slide {
    int32_t width = 0, height = 0, mag = 0, tile = 0;
};

double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// Runs `jobs` on `threads` threads against a freshly opened slide.
// Returns {seconds, failures}.
template <typename F>
std::pair<double, int> RunOnce(const char* path, const std::vector<Job>& jobs, int threads,
                               F fetch) {
    NvxSlideHandle h = 0;
    if (!NvxOpenSlide(&h, path)) {
        std::fprintf(stderr, "cannot open %s\n", path);
        std::exit(1);
    }
    std::atomic<size_t> next{0};
    std::atomic<int> failures{0};
    const auto start = std::chrono::steady_clock::now();
    {
        std::vector<std::jthread> pool;
        for (int t = 0; t < threads; ++t)
            pool.emplace_back([&] {
                NvxSlideHandle own = h;
                for (size_t i = next++; i < jobs.size(); i = next++)
                    if (!fetch(own, jobs[i])) ++failures;
            });
    }
    const double s = Seconds(start);
    NvxCloseSlide(&h);
    return {s, failures.load()};
}

// Repeats RunOnce (each time with a cold cache) until a second has passed,
// so short runs still give steady figures. Returns {passes, seconds, failures}.
struct Timing {
    int passes = 0;
    double seconds = 0;
    int failures = 0;
};
template <typename F>
Timing Run(const char* path, const std::vector<Job>& jobs, int threads, F fetch) {
    Timing t;
    while (t.seconds < 1.0 && t.passes < 1000) {
        auto [sec, fails] = RunOnce(path, jobs, threads, fetch);
        t.seconds += sec;
        t.failures += fails;
        ++t.passes;
    }
    return t;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s SLIDE.nvx [THREADS...]\n", argv[0]);
        return 2;
    }
    const char* path = argv[1];
    std::vector<int> threadCounts;
    for (int i = 2; i < argc; ++i) threadCounts.push_back(std::atoi(argv[i]));
    if (threadCounts.empty()) threadCounts = {1, 64};

    Slide s;
    {
        NvxSlideHandle h = 0;
        if (!NvxOpenSlide(&h, path)) return 1;
        NvxQuerySlide(h, &s.height, &s.width, &s.mag, nullptr, nullptr, nullptr, &s.tile);
        NvxCloseSlide(&h);
    }
    std::printf("slide %s: %d x %d, %dx, tile %d\n", path, s.width, s.height, s.mag, s.tile);

    // Level factors the converter asks for: 1 (stored), 4 (stored), 3 (built).
    for (int factor : {1, 4, 3}) {
        const int32_t lw = s.width / factor, lh = s.height / factor;
        std::vector<Job> tiles;
        for (int32_t y = 0; y < lh; y += s.tile)
            for (int32_t x = 0; x < lw; x += s.tile) tiles.push_back({x, y, 0, 0});
        const float scale = float(s.mag) / float(factor);
        for (int threads : threadCounts) {
            const Timing t = Run(path, tiles, threads, [&](NvxSlideHandle h, const Job& j) {
                uint8_t* buf = nullptr;
                int32_t len = 0;
                NvxFetchTile(&h, scale, j.x, j.y, &len, &buf);
                NvxReleaseBuffer(buf);
                return buf != nullptr;
            });
            const double count = double(tiles.size()) * t.passes;
            std::printf(
                "tile fetch   scale %-6.3g (1/%d, %s) %2d threads: %8.0f tiles in %5.2f s = %8.0f "
                "tiles/s%s\n",
                double(scale), factor, factor == 3 ? "built " : "stored", threads, count, t.seconds,
                count / t.seconds, t.failures ? " (FAILURES)" : "");
        }
    }

    std::vector<Job> regions;
    for (int32_t y = 0; y < s.height; y += s.tile)
        for (int32_t x = 0; x < s.width; x += s.tile)
            regions.push_back(
                {x, y, std::min(s.tile, s.width - x), std::min(s.tile, s.height - y)});
    const double megapixels = double(s.width) * double(s.height) / 1e6;
    for (int factor : {1, 4}) {
        std::vector<Job> scaled;
        for (int32_t y = 0; y < s.height / factor; y += s.tile)
            for (int32_t x = 0; x < s.width / factor; x += s.tile)
                scaled.push_back({x, y, std::min(s.tile, s.width / factor - x),
                                  std::min(s.tile, s.height / factor - y)});
        const float scale = float(s.mag) / float(factor);
        const double mp = megapixels / (factor * factor);
        for (int threads : threadCounts) {
            const Timing t = Run(path, factor == 1 ? regions : scaled, threads,
                                 [&](NvxSlideHandle h, const Job& j) {
                                     uint8_t* buf = nullptr;
                                     int32_t len = 0;
                                     NvxFetchRegion(h, scale, j.x, j.y, j.w, j.h, &buf, &len, 0);
                                     NvxReleaseBuffer(buf);
                                     return buf != nullptr;
                                 });
            const double total = mp * t.passes;
            std::printf(
                "region fetch scale %-6.3g (RGB, tile-sized)  %2d threads: %8.1f MP in %5.2f s = "
                "%8.1f MP/s%s\n",
                double(scale), threads, total, t.seconds, total / t.seconds,
                t.failures ? " (FAILURES)" : "");
        }
    }
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    std::printf("peak resident memory: %.0f MiB\n", double(ru.ru_maxrss) / 1024.0);
    return 0;
}
