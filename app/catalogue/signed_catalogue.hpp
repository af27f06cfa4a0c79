// SignedCatalogue: the only way a catalogue reaches the application.
//
// A catalogue travels inside a signed envelope: {"schemaVersion":1, "keyId", "payload" (Base64 of
// the catalogue's JSON bytes), "signature" (Base64 of an Ed25519 signature over those bytes)}.
// verify() checks the envelope against the keys of the shipped configuration, then the catalogue's
// own rules, in a fixed order, and returns the catalogue only when every check passed. bundled()
// and refresh() never hand out a catalogue that did not pass verify(); the kept copy
// "catalogue.json" in the application folder is written only with bytes that passed it, and read
// back through it every time.
//
// Stateless; every operation may run on any thread. verify() reads no file and no clock.
// Failures: ImagerError with the check's message, DecodeError for JSON that does not decode,
// CryptoError when the crypto library cannot build a key; refresh() adds std::system_error when
// the kept copy cannot be written.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "app/catalogue/catalogue_model.hpp"
#include "core/net/secure_network.hpp"

namespace korvex {

// A failure of the crypto library itself, passed on with its own text.
class CryptoError : public std::runtime_error {
  public:
    explicit CryptoError(const std::string& what) : std::runtime_error(what) {}
};

// Where refresh() keeps its copy and how it reaches the network.
struct CatalogueRefreshOptions {
    // Folder of the kept copy; the application folder when absent.
    std::optional<std::string> folder;
    NetworkOptions network = SecureNetwork::catalogueOptions();
};

struct SignedCatalogue {
    struct Envelope {
        std::int64_t schemaVersion = 0;
        std::string keyId;
        std::string payload;    // standard Base64
        std::string signature;  // standard Base64
    };

    static constexpr std::size_t kMaxEnvelope = 3'145'728;
    static constexpr std::size_t kMaxPayload = 2'097'152;
    static constexpr std::size_t kSignatureBytes = 64;
    static constexpr std::chrono::seconds kClockTolerance{900};
    static constexpr std::size_t kMaxImages = 256;
    static constexpr std::size_t kMaxRules = 4096;
    static constexpr const char* kKeptCopyName = "catalogue.json";

    // Envelope bytes to a checked catalogue; `now` judges `generatedAt`.
    static Catalogue verify(std::string_view data, const CatalogueConfig& config,
                            CatalogueTime now);

    // The shipped configuration and catalogue from `resourceFolder` ("catalogue-config.json",
    // "catalogue-bundled.json"), the catalogue verified against the current time.
    static std::pair<Catalogue, CatalogueConfig> bundled(const std::string& resourceFolder);
    // The same from the application's resource folder (AppPaths::resourceFolder).
    static std::pair<Catalogue, CatalogueConfig> bundled();

    using RefreshOptions = CatalogueRefreshOptions;

    // The newest valid catalogue among `current`, the kept copy and a fresh download from
    // `config.url` (ties keep the earlier one, in that order). A fresh download that wins is
    // written, unchanged, over the kept copy, atomically. Fails only when that write fails.
    static Catalogue refresh(const Catalogue& current, const CatalogueConfig& config,
                             const RefreshOptions& options = {});

    // Standard Base64 as the envelope and key texts carry it (padded, no blanks or line breaks;
    // unused bits of the last group ignored); nullopt when `text` is not that.
    static std::optional<std::string> decodeBase64(std::string_view text);
};

}  // namespace korvex
