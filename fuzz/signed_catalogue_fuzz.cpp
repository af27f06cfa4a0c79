// Fuzzes SignedCatalogue::verify with arbitrary envelope bytes against a valid configuration.
// Inputs whose first byte is odd are taken as a catalogue payload instead and signed with a key
// of the configuration first, so the catalogue checks behind the signature are reached too.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "app/catalogue/signed_catalogue.hpp"
#include "core/records/decode_error.hpp"
#include "core/records/imager_error.hpp"
#include "tools/catalogue_signing.hpp"

namespace {

using namespace korvex;

struct Setup {
    signing::SigningKey key = signing::SigningKey::generate();
    CatalogueConfig config;
    CatalogueTime now = *parseInternetDateTime("2026-12-01T00:00:00Z", false);

    Setup() {
        config.url = "https://catalogue.korvex.example/v1/catalogue.json";
        // The development key of the shipped configuration, so the shipped catalogue is a seed.
        config.publicKeys["korvex-dev-2026"] =
            "-----BEGIN PUBLIC KEY-----\n"
            "MCowBQYDK2VwAyEA1bXLCx8atSA7D/ZZVPwDC/AA2cPxJbBA9RLhyc7z0bY=\n"
            "-----END PUBLIC KEY-----\n";
        config.publicKeys["fuzz"] = key.publicPem();
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const Setup setup;
    if (size == 0) return 0;
    std::string rest(reinterpret_cast<const char*>(data) + 1, size - 1);
    std::string envelope = (data[0] & 1) ? signing::envelope(rest, "fuzz", setup.key) : rest;
    try {
        Catalogue catalogue = SignedCatalogue::verify(envelope, setup.config, setup.now);
        // Whatever passed must hold what the checks promise; JSON text never holds a raw NUL.
        if (envelope.find('\0') != std::string::npos || catalogue.images.empty() ||
            catalogue.images.size() > SignedCatalogue::kMaxImages ||
            catalogue.rules.size() > SignedCatalogue::kMaxRules ||
            !(catalogue.date() < setup.now + SignedCatalogue::kClockTolerance))
            std::abort();
        for (const ImageVariant& image : catalogue.images) {
            SecureNetwork::https(image.downloadUrl);
            (void)image.label();
            (void)image.releaseDetails(true);
        }
    } catch (const ImagerError&) {
    } catch (const DecodeError&) {
    } catch (const CryptoError&) {
    }
    return 0;
}
