// Unicode text helpers over ICU: compatibility normalisation and case mapping (user-perceived
// characters are counted in core/base/graphemes.hpp).
//
// Pure functions; safe from any thread; never throw except std::bad_alloc.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace korvex::unicode {

// Unicode compatibility composition (NFKC) followed by full upper-case mapping (not locale
// dependent: "ß" becomes "SS").
std::string nfkcUpper(std::string_view text);

// Full upper-case mapping only.
std::string upper(std::string_view text);

// Full case folding, for comparisons that ignore letter case ("Straße" and "STRASSE" fold alike).
std::string foldCase(std::string_view text);

// True for white space in the regular-expression sense (\s with Unicode properties): tab, line
// feed, vertical tab, form feed, carriage return and every separator (Zs, Zl, Zp).
bool isRegexSpace(char32_t c);

}  // namespace korvex::unicode
