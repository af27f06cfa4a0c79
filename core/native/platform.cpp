#include "core/native/platform.hpp"

#include <cstddef>

namespace korvex::platform {
namespace {

bool isAsciiLetter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool isAsciiDigit(char c) {
    return c >= '0' && c <= '9';
}

// Case-insensitive test that `text` starts with the lower-case ASCII `prefix`.
bool startsWithCaseless(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != prefix[i]) return false;
    }
    return true;
}

template <typename Pred>
bool allOf(std::string_view text, Pred pred) {
    for (char c : text)
        if (!pred(c)) return false;
    return true;
}

}  // namespace

bool isListedWholeDiskName(std::string_view name) {
    if (startsWithCaseless(name, "mmcblk")) {
        std::string_view rest = name.substr(6);
        return rest.size() >= 1 && rest.size() <= 3 && allOf(rest, isAsciiDigit);
    }
    if (startsWithCaseless(name, "sd")) {
        std::string_view rest = name.substr(2);
        return rest.size() >= 1 && rest.size() <= 3 && allOf(rest, isAsciiLetter);
    }
    return false;
}

bool isAnyWholeDiskName(std::string_view name) {
    if (name.empty() || name.size() > 32 || !isAsciiLetter(name[0])) return false;
    return allOf(name.substr(1), [](char c) { return isAsciiLetter(c) || isAsciiDigit(c); });
}

}  // namespace korvex::platform
