// Turning arbitrary bytes into well-formed UTF-8 text, for quoting what a tool printed, and
// cutting such text to a number of characters.
//
// Pure functions; safe from any thread. Never throw except std::bad_alloc.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace korvex {

// Returns `bytes` with every maximal ill-formed subsequence replaced by U+FFFD (the Unicode
// "substitution of maximal subparts" practice), so a sequence cut short at the end of the input
// becomes one replacement character. Well-formed input comes back unchanged.
std::string repairUtf8(std::string_view bytes);

// The first `limit` characters (code points) of well-formed UTF-8 text; all of it when it has no
// more. Counts lead bytes only, so ill-formed input must go through repairUtf8 first.
std::string firstCodePoints(std::string_view utf8, std::size_t limit);

}  // namespace korvex
