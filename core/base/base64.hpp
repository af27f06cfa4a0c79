// Standard Base64, as the writer's one argument is given: the application encodes the request,
// the writer decodes it strictly.
//
// The decoder accepts only the standard alphabet with padding ('=' only at the end, length a
// multiple of 4), no line breaks or other characters, and only the canonical encoding (unused bits
// zero). Pure; safe from any thread.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace korvex {

// Standard alphabet, with padding, without line breaks.
std::string encodeBase64(std::string_view bytes);

// The decoded bytes, or nullopt when `text` is not strict Base64 or would decode to more than
// `maxDecoded` bytes (checked before anything is decoded).
std::optional<std::string> decodeBase64(std::string_view text, std::size_t maxDecoded);

}  // namespace korvex
