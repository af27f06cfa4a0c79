#include "tools/catalogue_signing.hpp"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <stdexcept>

#include <nlohmann/json.hpp>

#include "core/base/base64.hpp"

namespace korvex::signing {
namespace {

[[noreturn]] void fail(const std::string& what) {
    unsigned long code = ERR_get_error();
    ERR_clear_error();
    char text[256] = "";
    if (code != 0) ERR_error_string_n(code, text, sizeof text);
    throw std::runtime_error(what + (code != 0 ? std::string(": ") + text : std::string()));
}

struct BioDeleter {
    void operator()(BIO* b) const { BIO_free(b); }
};
using Bio = std::unique_ptr<BIO, BioDeleter>;

std::string drain(BIO* bio) {
    char* data = nullptr;
    long n = BIO_get_mem_data(bio, &data);
    return std::string(data, static_cast<std::size_t>(n));
}

}  // namespace

struct SigningKey::Key {
    EVP_PKEY* pkey;
};

void SigningKey::Deleter::operator()(Key* key) const {
    EVP_PKEY_free(key->pkey);
    delete key;
}

SigningKey SigningKey::generate() {
    EVP_PKEY* pkey = EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519");
    if (pkey == nullptr) fail("Cannot generate an Ed25519 key");
    return SigningKey(std::unique_ptr<Key, Deleter>(new Key{pkey}));
}

SigningKey SigningKey::fromPrivatePem(std::string_view pem) {
    Bio bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    if (!bio) fail("Cannot read the private key");
    EVP_PKEY* pkey = PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr);
    if (pkey == nullptr) fail("Cannot read the private key");
    if (EVP_PKEY_get_id(pkey) != EVP_PKEY_ED25519) {
        EVP_PKEY_free(pkey);
        throw std::runtime_error("The private key is not an Ed25519 key");
    }
    return SigningKey(std::unique_ptr<Key, Deleter>(new Key{pkey}));
}

std::string SigningKey::privatePem() const {
    Bio bio(BIO_new(BIO_s_mem()));
    if (!bio ||
        PEM_write_bio_PrivateKey(bio.get(), key_->pkey, nullptr, nullptr, 0, nullptr, nullptr) != 1)
        fail("Cannot write the private key");
    return drain(bio.get());
}

std::string SigningKey::publicPem() const {
    Bio bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_PUBKEY(bio.get(), key_->pkey) != 1)
        fail("Cannot write the public key");
    return drain(bio.get());
}

std::string SigningKey::sign(std::string_view message) const {
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    std::string signature(64, '\0');
    std::size_t length = signature.size();
    if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, key_->pkey) != 1 ||
        EVP_DigestSign(ctx.get(), reinterpret_cast<unsigned char*>(signature.data()), &length,
                       reinterpret_cast<const unsigned char*>(message.data()),
                       message.size()) != 1 ||
        length != 64)
        fail("Cannot sign");
    return signature;
}

std::string envelope(std::string_view payload, std::string_view keyId, const SigningKey& key) {
    nlohmann::ordered_json j;
    j["keyId"] = std::string(keyId);
    j["payload"] = encodeBase64(payload);
    j["schemaVersion"] = 1;
    j["signature"] = encodeBase64(key.sign(payload));
    return j.dump() + "\n";
}

}  // namespace korvex::signing
