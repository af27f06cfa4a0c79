#include "core/records/json_fields.hpp"

#include <limits>
#include <string>

#include "core/records/decode_error.hpp"

namespace korvex::json {
namespace {

[[noreturn]] void fail(std::string_view what, std::string_view problem) {
    throw DecodeError(std::string(what) + ": " + std::string(problem));
}

}  // namespace

Json parse(std::string_view text) {
    // The parser takes a NUL byte for the end of its input, so a valid value followed by "\0"
    // and anything at all would pass. JSON text never holds a raw NUL (inside a string it must
    // be escaped), so one anywhere is refused before parsing.
    if (std::size_t at = text.find('\0'); at != std::string_view::npos)
        fail("JSON text", "NUL byte at offset " + std::to_string(at));
    // Asked before each array or object is opened, with the number of levels already open.
    auto limitDepth = [](int depth, Json::parse_event_t event, Json&) {
        if ((event == Json::parse_event_t::array_start ||
             event == Json::parse_event_t::object_start) &&
            depth >= kMaxDepth)
            fail("JSON text", "nested deeper than " + std::to_string(kMaxDepth) + " levels");
        return true;
    };
    try {
        return Json::parse(text.begin(), text.end(), limitDepth);
    } catch (const Json::exception& e) {
        throw DecodeError(e.what());
    }
}

const Json& field(const Json& object, std::string_view key) {
    if (!object.is_object()) fail(key, "enclosing value is not an object");
    auto it = object.find(key);
    if (it == object.end()) fail(key, "missing key");
    return *it;
}

const Json* member(const Json& object, std::string_view key) {
    if (!object.is_object()) return nullptr;
    auto it = object.find(key);
    return it == object.end() ? nullptr : &*it;
}

std::optional<std::string> textMember(const Json& object, std::string_view key) {
    const Json* value = member(object, key);
    if (value == nullptr || !value->is_string()) return std::nullopt;
    return value->get<std::string>();
}

std::optional<bool> booleanMember(const Json& object, std::string_view key) {
    const Json* value = member(object, key);
    if (value == nullptr || !value->is_boolean()) return std::nullopt;
    return value->get<bool>();
}

std::string asString(const Json& value, std::string_view what) {
    if (!value.is_string()) fail(what, "expected a string");
    return value.get<std::string>();
}

std::int64_t asInt64(const Json& value, std::string_view what) {
    if (value.is_number_unsigned()) {
        auto v = value.get<std::uint64_t>();
        if (v > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
            fail(what, "number out of range");
        return static_cast<std::int64_t>(v);
    }
    if (value.is_number_integer()) return value.get<std::int64_t>();
    fail(what, "expected an integer");
}

std::uint64_t asUint64(const Json& value, std::string_view what) {
    if (value.is_number_unsigned()) return value.get<std::uint64_t>();
    if (value.is_number_integer()) {
        if (value.get<std::int64_t>() == 0) return 0;  // "-0"
        fail(what, "number out of range");
    }
    fail(what, "expected an unsigned integer");
}

std::string string(const Json& object, std::string_view key) {
    return asString(field(object, key), key);
}

std::int64_t int64(const Json& object, std::string_view key) {
    return asInt64(field(object, key), key);
}

std::uint64_t uint64(const Json& object, std::string_view key) {
    return asUint64(field(object, key), key);
}

std::uint32_t uint32(const Json& object, std::string_view key) {
    std::uint64_t v = uint64(object, key);
    if (v > std::numeric_limits<std::uint32_t>::max()) fail(key, "number out of range");
    return static_cast<std::uint32_t>(v);
}

bool boolean(const Json& object, std::string_view key) {
    const Json& v = field(object, key);
    if (!v.is_boolean()) fail(key, "expected a boolean");
    return v.get<bool>();
}

std::optional<std::string> optionalString(const Json& object, std::string_view key,
                                          bool nullAsAbsent) {
    if (!object.is_object()) fail(key, "enclosing value is not an object");
    auto it = object.find(key);
    if (it == object.end() || (nullAsAbsent && it->is_null())) return std::nullopt;
    return asString(*it, key);
}

std::optional<bool> optionalBoolean(const Json& object, std::string_view key, bool nullAsAbsent) {
    if (!object.is_object()) fail(key, "enclosing value is not an object");
    auto it = object.find(key);
    if (it == object.end() || (nullAsAbsent && it->is_null())) return std::nullopt;
    if (!it->is_boolean()) fail(key, "expected a boolean");
    return it->get<bool>();
}

}  // namespace korvex::json
