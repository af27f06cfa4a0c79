// Sha256: an incremental SHA-256 over OpenSSL's EVP interface (hardware-accelerated where the
// processor offers it).
//
// Owns its EVP context; not copyable; one thread at a time (it may be handed from one thread to
// another with proper synchronisation). Throws ImagerError "SHA-256 is unavailable." if OpenSSL
// cannot provide the digest, std::bad_alloc when memory runs out.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

struct evp_md_ctx_st;

namespace korvex {

class Sha256 {
  public:
    static constexpr std::size_t kDigestSize = 32;

    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void update(std::span<const std::uint8_t> data);
    // Ends the hash. REQUIRES: called once; update() is not called afterwards.
    std::array<std::uint8_t, kDigestSize> finish();

  private:
    evp_md_ctx_st* context_ = nullptr;
};

}  // namespace korvex
