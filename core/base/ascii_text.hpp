// ASCII text helpers, for the machine-readable texts of tools, protocol headers and records,
// where letter case and blanks are ASCII's whatever the locale.
//
// Pure; safe from any thread.
#pragma once

#include <string>
#include <string_view>

namespace korvex {

// `text` without its leading and trailing ASCII white space (space, \t, \n, \v, \f, \r).
std::string_view trimAscii(std::string_view text);

// `text` with A-Z as a-z; every other byte unchanged.
std::string lowerAscii(std::string text);

// True when `a` and `b` are equal once A-Z and a-z are taken as one.
bool equalsIgnoringAsciiCase(std::string_view a, std::string_view b);

// 0-9, a-f or A-F.
bool isHexDigit(char c);

// True when `text` is non-empty and holds hexadecimal digits only.
bool isHexText(std::string_view text);

}  // namespace korvex
