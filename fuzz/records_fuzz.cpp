// Arbitrary bytes as a write request and as a write event: decoding either succeeds or throws
// DecodeError, validation either passes or throws ImagerError, and what decodes re-encodes to
// something that decodes to the same value.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "core/records/decode_error.hpp"
#include "core/records/imager_error.hpp"
#include "core/records/records.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    try {
        korvex::WriteRequest request = korvex::decodeWriteRequest(text);
        try {
            request.validate();
        } catch (const korvex::ImagerError&) {
        }
        if (korvex::decodeWriteRequest(korvex::encode(request)) != request) std::abort();
    } catch (const korvex::DecodeError&) {
    }
    try {
        korvex::WriteEvent event = korvex::decodeWriteEvent(text);
        if (korvex::decodeWriteEvent(korvex::encode(event)) != event) std::abort();
    } catch (const korvex::DecodeError&) {
    }
    return 0;
}
