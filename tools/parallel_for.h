/*
 * parallel_for.h - run f(i) for i in [0, n) on a few threads. Work items are
 * handed out one by one from an atomic counter, since tiles differ widely in
 * cost (blank tiles are almost free).
 */
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <thread>
#include <vector>

namespace nvxmake {

template <typename F>
void ParallelFor(size_t n, unsigned threads, F&& f) {
    threads = std::max(1u, std::min<unsigned>(threads, static_cast<unsigned>(n)));
    if (threads <= 1) {
        for (size_t i = 0; i < n; ++i) f(i);
        return;
    }
    std::atomic<size_t> next{0};
    auto work = [&] {
        for (size_t i = next++; i < n; i = next++) f(i);
    };
    std::vector<std::jthread> pool;
    for (unsigned t = 1; t < threads; ++t) pool.emplace_back(work);
    work();
}

}  // namespace nvxmake
