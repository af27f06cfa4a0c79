// The strict catalogue decoder and what derives from a decoded catalogue: whatever decodes must
// survive an encode and decode round trip unchanged.
#include <cstdint>
#include <cstdlib>

#include "app/catalogue/catalogue_model.hpp"
#include "core/records/decode_error.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace korvex;
    std::string_view text(reinterpret_cast<const char*>(data), size);
    Catalogue catalogue;
    try {
        catalogue = decodeCatalogue(text);
    } catch (const DecodeError&) {
        return 0;
    }
    if (text.find('\0') != std::string_view::npos) std::abort();  // JSON text never holds a NUL
    (void)catalogue.date();
    (void)catalogue.active();
    for (const ImageVariant& image : catalogue.images) {
        (void)image.label();
        (void)image.releaseDetails(false);
        if (image.changelogPath) (void)ImageVariant::safeChangelogPath(*image.changelogPath);
    }
    if (decodeCatalogue(encode(catalogue)) != catalogue) std::abort();
    return 0;
}
