/*
 * sha256_libcrypto.cpp - SHA-256 through OpenSSL's EVP interface.
 */
#include <openssl/evp.h>

#include <new>

#include "common/sha256.h"

namespace nvx {

struct Sha256::Context {
    struct Free {
        void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
    };
    std::unique_ptr<EVP_MD_CTX, Free> context;
};

Sha256::Sha256() : context_(std::make_unique<Context>()) {
    context_->context.reset(EVP_MD_CTX_new());
    if (!context_->context ||
        EVP_DigestInit_ex(context_->context.get(), EVP_sha256(), nullptr) != 1)
        throw std::bad_alloc();
}

Sha256::~Sha256() = default;

void Sha256::Update(std::span<const std::uint8_t> bytes) {
    if (bytes.empty()) return;
    if (EVP_DigestUpdate(context_->context.get(), bytes.data(), bytes.size()) != 1)
        throw std::bad_alloc();
}

void Sha256::Update(std::string_view text) {
    Update({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
}

Sha256::Digest Sha256::Finish() {
    Digest digest{};
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context_->context.get(), digest.data(), &length) != 1 ||
        length != digest.size())
        throw std::bad_alloc();
    return digest;
}

Sha256::Digest Sha256::Of(std::span<const std::uint8_t> bytes) {
    Digest digest{};
    unsigned int length = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), digest.data(), &length, EVP_sha256(), nullptr) !=
            1 ||
        length != digest.size())
        throw std::bad_alloc();
    return digest;
}

}  // namespace nvx
