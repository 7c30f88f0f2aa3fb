/*
 * sha256.h - SHA-256 (FIPS 180-4): the slide library's digest of a slide's
 * content, and the DICOM UIDs, where a digest of what makes the output is
 * hashed with each UID's role. Fed in pieces of any size; the same bytes
 * give the same digest however they are cut.
 */
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace nvx {

class Sha256 {
public:
    using Digest = std::array<std::uint8_t, 32>;

    Sha256();
    void Update(std::span<const std::uint8_t> bytes);
    void Update(std::string_view text);
    // The digest of everything given; the object is spent after it.
    Digest Finish();

private:
    void Block(const std::uint8_t* block);

    std::array<std::uint32_t, 8> state_;
    std::array<std::uint8_t, 64> pending_{};
    std::size_t pendingBytes_ = 0;
    std::uint64_t totalBytes_ = 0;
};

}  // namespace nvx
