/*
 * sha256.h - SHA-256 from a well-kept cryptographic library, which uses the
 * processor's SHA instructions where it has them: OpenSSL's libcrypto, or
 * on Windows the system's own (CNG, bcrypt.dll), so that the Windows
 * package needs no DLL but the system's. The slide library's digest of a
 * slide's content, the digests of the frames the DICOM route writes and
 * the UIDs made from them. Fed in pieces of any size; the same bytes give
 * the same digest however they are cut.
 *
 * The library's own failures (no memory for its context) throw
 * std::bad_alloc, as every other allocation here does.
 */
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

namespace nvx {

class Sha256 {
public:
    using Digest = std::array<std::uint8_t, 32>;

    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void Update(std::span<const std::uint8_t> bytes);
    void Update(std::string_view text);
    // The digest of everything given; the object is spent after it.
    Digest Finish();

    // The digest of `bytes` alone.
    static Digest Of(std::span<const std::uint8_t> bytes);

private:
    struct Context;
    std::unique_ptr<Context> context_;
};

}  // namespace nvx
