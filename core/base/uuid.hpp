// Random UUIDs, for names and nonces that must not repeat or be guessed.
#pragma once

#include <string>

namespace korvex {

// A fresh random (version 4) UUID in canonical upper-case text form, from the kernel's random
// source. Throws std::system_error when that source fails. Safe from any thread.
std::string randomUUID();

}  // namespace korvex
