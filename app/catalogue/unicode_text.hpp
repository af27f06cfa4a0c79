// Unicode text helpers over ICU: compatibility normalisation, case mapping and user-perceived
// character counts.
//
// Pure functions; safe from any thread; never throw except std::bad_alloc.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace korvex::unicode {

// Number of user-perceived characters (extended grapheme clusters) of UTF-8 `text`; invalid
// sequences count as U+FFFD. Stops counting at `cap` when `cap` is not zero, so a caller that only
// needs to know "more than N" pays for N + 1 characters at most.
std::size_t characterCount(std::string_view text, std::size_t cap = 0);

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
