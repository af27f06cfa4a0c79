#include "core/native/platform.hpp"

#include <cstddef>

#include "core/base/ascii_text.hpp"

namespace korvex::platform {
namespace {

bool isAsciiLetter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool isAsciiDigit(char c) {
    return c >= '0' && c <= '9';
}

bool startsWithCaseless(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() &&
           equalsIgnoringAsciiCase(text.substr(0, prefix.size()), prefix);
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
