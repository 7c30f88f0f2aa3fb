/*
 * sha256_windows.cpp - SHA-256 through the system's CNG (bcrypt.dll): one
 * algorithm provider for the process, opened at first use, and a hash
 * object for each digest.
 */
// clang-format off
#include <windows.h>
#include <bcrypt.h>
// clang-format on

#include <new>

#include "common/sha256.h"

namespace nvx {

namespace {

BCRYPT_ALG_HANDLE Provider() {
    // Opened once and kept for the process: the system closes it at exit.
    static const BCRYPT_ALG_HANDLE provider = [] {
        BCRYPT_ALG_HANDLE opened = nullptr;
        if (BCryptOpenAlgorithmProvider(&opened, BCRYPT_SHA256_ALGORITHM, nullptr, 0) != 0)
            return BCRYPT_ALG_HANDLE{nullptr};
        return opened;
    }();
    if (provider == nullptr) throw std::bad_alloc();
    return provider;
}

}  // namespace

struct Sha256::Context {
    struct Destroy {
        void operator()(void* hash) const {
            BCryptDestroyHash(static_cast<BCRYPT_HASH_HANDLE>(hash));
        }
    };
    std::unique_ptr<void, Destroy> hash;
};

Sha256::Sha256() : context_(std::make_unique<Context>()) {
    BCRYPT_HASH_HANDLE hash = nullptr;
    if (BCryptCreateHash(Provider(), &hash, nullptr, 0, nullptr, 0, 0) != 0) throw std::bad_alloc();
    context_->hash.reset(hash);
}

Sha256::~Sha256() = default;

void Sha256::Update(std::span<const std::uint8_t> bytes) {
    // BCryptHashData takes at most 4 GiB - 1 at once.
    constexpr std::size_t kLargest = std::size_t{1} << 30;
    while (!bytes.empty()) {
        const std::size_t piece = bytes.size() < kLargest ? bytes.size() : kLargest;
        if (BCryptHashData(static_cast<BCRYPT_HASH_HANDLE>(context_->hash.get()),
                           const_cast<PUCHAR>(bytes.data()), static_cast<ULONG>(piece), 0) != 0)
            throw std::bad_alloc();
        bytes = bytes.subspan(piece);
    }
}

void Sha256::Update(std::string_view text) {
    Update({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
}

Sha256::Digest Sha256::Finish() {
    Digest digest{};
    if (BCryptFinishHash(static_cast<BCRYPT_HASH_HANDLE>(context_->hash.get()), digest.data(),
                         static_cast<ULONG>(digest.size()), 0) != 0)
        throw std::bad_alloc();
    return digest;
}

Sha256::Digest Sha256::Of(std::span<const std::uint8_t> bytes) {
    Sha256 hash;
    hash.Update(bytes);
    return hash.Finish();
}

}  // namespace nvx
