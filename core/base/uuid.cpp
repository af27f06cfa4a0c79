#include "core/base/uuid.hpp"

#include <sys/random.h>
#include <sys/types.h>

#include <cerrno>
#include <system_error>

namespace korvex {

std::string randomUUID() {
    unsigned char b[16];
    if (getrandom(b, sizeof b, 0) != static_cast<ssize_t>(sizeof b))
        throw std::system_error(errno, std::generic_category(), "getrandom");
    b[6] = static_cast<unsigned char>((b[6] & 0x0F) | 0x40);  // version 4
    b[8] = static_cast<unsigned char>((b[8] & 0x3F) | 0x80);  // RFC 4122 variant
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
        text += digits[b[i] >> 4];
        text += digits[b[i] & 0x0F];
    }
    return text;
}

}  // namespace korvex
