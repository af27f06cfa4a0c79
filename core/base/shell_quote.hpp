// Quoting a value for the POSIX shell, for scripts the programs build and hand to /bin/sh.
// Pure; safe from any thread.
#pragma once

#include <string>

namespace korvex {

// `value` in single quotes, each single quote inside written as '\''.
std::string shellQuote(const std::string& value);

}  // namespace korvex
