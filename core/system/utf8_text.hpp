// Turning arbitrary bytes into well-formed UTF-8 text, for quoting what a tool printed.
//
// Pure function; safe from any thread. Never throws except std::bad_alloc.
#pragma once

#include <string>
#include <string_view>

namespace korvex {

// Returns `bytes` with every maximal ill-formed subsequence replaced by U+FFFD (the Unicode
// "substitution of maximal subparts" practice), so a sequence cut short at the end of the input
// becomes one replacement character. Well-formed input comes back unchanged.
std::string repairUtf8(std::string_view bytes);

}  // namespace korvex
