// Fuzzes the strict catalogue decoder and the values derived from a decoded catalogue. A
// catalogue that decodes must survive an encode and decode round trip unchanged; its seeds include
// a NUL with junk after a valid payload and brackets nested far past the parser's depth limit.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

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
    // The whole input was parsed, and JSON text never holds a raw NUL.
    if (text.find('\0') != std::string_view::npos) std::abort();
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
