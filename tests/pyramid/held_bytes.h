/*
 * held_bytes.h - counts what the pyramid tests' binary holds in large
 * blocks: every block of at least kCountedBlockBytes that malloc or its kin
 * hand out, from its allocation to its free, whoever asks (libjpeg's
 * coefficient arrays, TurboJPEG's and the workers' pixel buffers, the fake
 * slide library's regions), and the most held since the count restarted.
 * Plain builds replace malloc and its kin in the binary (held_bytes.cpp);
 * sanitizer builds, whose allocator is the sanitizer's, count through its
 * hooks.
 */
#pragma once

#include <cstddef>

namespace nvx::pyramid::testing {

// Smaller blocks (libjpeg's pools, the streams of small tiles, the codecs'
// buffers kept between tiles) are not counted.
inline constexpr std::size_t kCountedBlockBytes = 100 * 1024;

// The bytes held now.
std::size_t HeldBytes();
// The most held since the last RestartPeak (or the start).
std::size_t PeakHeldBytes();
// Starts the peak again from what is held now.
void RestartPeak();

}  // namespace nvx::pyramid::testing
