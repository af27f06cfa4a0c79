// Counting and cutting UTF-8 text by user-perceived characters (extended grapheme clusters, as
// ICU's character break iterator finds them). Ill-formed sequences count as U+FFFD.
//
// Safe from any thread (each thread walks with its own iterator); never throw except
// std::bad_alloc.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace korvex {

// Number of user-perceived characters of `utf8`. Stops counting at `cap` when `cap` is not zero,
// so a caller that only needs to know "more than N" pays for N + 1 characters at most.
std::size_t graphemeCount(std::string_view utf8, std::size_t cap = 0);

// The first `limit` user-perceived characters of `utf8`, as well-formed UTF-8.
std::string firstGraphemes(std::string_view utf8, std::size_t limit);

}  // namespace korvex
