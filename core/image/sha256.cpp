#include "core/image/sha256.hpp"

#include <openssl/evp.h>

#include <new>

#include "core/records/imager_error.hpp"

namespace korvex {
namespace {

[[noreturn]] void unavailable() {
    throw ImagerError("SHA-256 is unavailable.");
}

}  // namespace

Sha256::Sha256() : context_(EVP_MD_CTX_new()) {
    if (context_ == nullptr) throw std::bad_alloc();
    if (EVP_DigestInit_ex(context_, EVP_sha256(), nullptr) != 1) {
        EVP_MD_CTX_free(context_);
        unavailable();
    }
}

Sha256::~Sha256() {
    EVP_MD_CTX_free(context_);
}

void Sha256::update(std::span<const std::uint8_t> data) {
    if (!data.empty() && EVP_DigestUpdate(context_, data.data(), data.size()) != 1) unavailable();
}

std::array<std::uint8_t, Sha256::kDigestSize> Sha256::finish() {
    std::array<std::uint8_t, kDigestSize> digest{};
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context_, digest.data(), &length) != 1 || length != kDigestSize) {
        unavailable();
    }
    return digest;
}

}  // namespace korvex
