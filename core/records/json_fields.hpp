// Strict typed access to the fields of a decoded JSON object.
//
// Each function throws DecodeError when the key is missing, the value has the wrong JSON type, or
// a number does not fit the requested type exactly (negative, fractional or out of range).
// nlohmann's own lenient conversions (float to int, signed to unsigned) are never used.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace korvex::json {

using Json = nlohmann::json;

// Deepest nesting of arrays and objects that parse() accepts. Every document of the system needs
// fewer than ten levels; the limit keeps a hostile document of brackets from costing memory.
constexpr int kMaxDepth = 32;

// Parses the whole of `text` as one JSON value: only white space may follow it, and a NUL byte
// anywhere is an error. Nesting deeper than kMaxDepth is refused while parsing, before the
// deeper levels cost anything. Every refusal is a DecodeError.
Json parse(std::string_view text);

// The value at `key` of `object`; DecodeError when `object` is not an object or lacks the key.
const Json& field(const Json& object, std::string_view key);

std::string string(const Json& object, std::string_view key);
std::int64_t int64(const Json& object, std::string_view key);
std::uint64_t uint64(const Json& object, std::string_view key);
std::uint32_t uint32(const Json& object, std::string_view key);
bool boolean(const Json& object, std::string_view key);

// Absent key (or, when `nullAsAbsent`, a null value) gives nullopt; a present value of the wrong
// type still throws.
std::optional<std::string> optionalString(const Json& object, std::string_view key,
                                          bool nullAsAbsent = false);
std::optional<bool> optionalBoolean(const Json& object, std::string_view key,
                                    bool nullAsAbsent = false);

// Lenient access, for facts where a missing value or one of another type means the fact does not
// hold: nullptr or nullopt instead of an exception.
const Json* member(const Json& object, std::string_view key);
std::optional<std::string> textMember(const Json& object, std::string_view key);
std::optional<bool> booleanMember(const Json& object, std::string_view key);

// Conversions of one value, for arrays and nested use.
std::string asString(const Json& value, std::string_view what);
std::int64_t asInt64(const Json& value, std::string_view what);
std::uint64_t asUint64(const Json& value, std::string_view what);

}  // namespace korvex::json
