// Arbitrary envelope bytes to SignedCatalogue::verify; an odd first byte makes the rest a payload
// signed with a configured key first, so the checks behind the signature are reached too.
#include <cstdint>
#include <cstdlib>

#include "app/catalogue/signed_catalogue.hpp"
#include "core/records/decode_error.hpp"
#include "core/records/imager_error.hpp"
#include "tools/catalogue_signing.hpp"

using namespace korvex;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const signing::SigningKey key = signing::SigningKey::generate();
    // The shipped development key too, so the shipped catalogue is a seed.
    static const CatalogueConfig config{
        "https://catalogue.korvex.example/v1/catalogue.json",
        {{"fuzz", key.publicPem()},
         {"korvex-dev-2026",
          "-----BEGIN PUBLIC KEY-----\n"
          "MCowBQYDK2VwAyEA1bXLCx8atSA7D/ZZVPwDC/AA2cPxJbBA9RLhyc7z0bY=\n"
          "-----END PUBLIC KEY-----\n"}}};
    static const CatalogueTime now = *parseInternetDateTime("2026-12-01T00:00:00Z", false);
    if (size == 0) return 0;
    std::string rest(reinterpret_cast<const char*>(data) + 1, size - 1);
    std::string envelope = (data[0] & 1) ? signing::envelope(rest, "fuzz", key) : rest;
    try {
        Catalogue catalogue = SignedCatalogue::verify(envelope, config, now);
        // Whatever passed holds what the checks promise; JSON text never holds a raw NUL.
        if (envelope.find('\0') != std::string::npos || catalogue.images.empty() ||
            catalogue.images.size() > SignedCatalogue::kMaxImages ||
            catalogue.rules.size() > SignedCatalogue::kMaxRules ||
            !(catalogue.date() < now + SignedCatalogue::kClockTolerance))
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
