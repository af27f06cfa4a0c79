// Catalogue signing for publishers: Ed25519 key pairs and signed catalogue envelopes.
//
// An envelope is {"keyId", "payload" (Base64 of the catalogue's exact bytes), "schemaVersion": 1,
// "signature" (Base64 of the Ed25519 signature over those bytes)}. Public keys are written as
// PEM SubjectPublicKeyInfo blocks, the form the application's configuration expects.
//
// SigningKey owns its OpenSSL key; movable, not copyable; const operations may run on several
// threads at once. Failures throw std::runtime_error with OpenSSL's text.
#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace korvex::signing {

class SigningKey {
  public:
    // A fresh random key pair.
    static SigningKey generate();
    // A private key read from PKCS#8 PEM text (as privatePem() writes it).
    static SigningKey fromPrivatePem(std::string_view pem);

    std::string privatePem() const;
    // "-----BEGIN PUBLIC KEY-----" block of the 44-byte SubjectPublicKeyInfo.
    std::string publicPem() const;
    // The 64-byte signature of `message`.
    std::string sign(std::string_view message) const;

  private:
    struct Key;
    struct Deleter {
        void operator()(Key* key) const;
    };
    explicit SigningKey(std::unique_ptr<Key, Deleter> key) : key_(std::move(key)) {}
    std::unique_ptr<Key, Deleter> key_;
};

// The envelope JSON (compact, one line feed at the end) for `payload` signed by `key`.
std::string envelope(std::string_view payload, std::string_view keyId, const SigningKey& key);

}  // namespace korvex::signing
