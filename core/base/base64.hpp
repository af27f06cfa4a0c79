// Standard Base64: the writer's one argument (the application encodes the request, the writer
// decodes it strictly) and the signed catalogue's envelope and keys.
//
// The decoder accepts only the standard alphabet with padding ('=' only at the end, length a
// multiple of 4), no line breaks or other characters. Pure; safe from any thread.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace korvex {

// Standard alphabet, with padding, without line breaks.
std::string encodeBase64(std::string_view bytes);

// What the decoder makes of a last group whose unused low bits are not zero ("QR==" beside the
// canonical "QQ==" for "A"). The writer's argument has one spelling only; a catalogue takes what
// any encoder wrote, as the platform decoders it is also read with do: its signature, not its
// spelling, makes it trusted.
enum class Base64UnusedBits { mustBeZero, ignored };

// The decoded bytes, or nullopt when `text` is not strict Base64 or would decode to more than
// `maxDecoded` bytes (checked before anything is decoded).
std::optional<std::string> decodeBase64(std::string_view text, std::size_t maxDecoded,
                                        Base64UnusedBits unusedBits = Base64UnusedBits::mustBeZero);

}  // namespace korvex
