// DecodeError: the JSON decoder's own failure (malformed text, a missing key, a wrong type, a
// number that does not fit its field). Kept apart from ImagerError on purpose: callers decide
// what a decoding failure means to the user.
#pragma once

#include <stdexcept>
#include <string>

namespace korvex {

class DecodeError : public std::runtime_error {
  public:
    explicit DecodeError(const std::string& what) : std::runtime_error(what) {}
};

}  // namespace korvex
