#include "app/catalogue/internet_date.hpp"

namespace korvex {
namespace {

using namespace std::chrono;

// Reads exactly `n` decimal digits at `pos`; advances `pos`.
std::optional<int> digits(std::string_view text, std::size_t& pos, int n) {
    if (text.size() - pos < static_cast<std::size_t>(n)) return std::nullopt;
    int value = 0;
    for (int i = 0; i < n; ++i) {
        char c = text[pos + i];
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
    }
    pos += n;
    return value;
}

bool expect(std::string_view text, std::size_t& pos, char c) {
    if (pos >= text.size() || text[pos] != c) return false;
    ++pos;
    return true;
}

}  // namespace

CatalogueTime distantPast() {
    return CatalogueTime(sys_days(year(1) / January / 1));
}

CatalogueTime currentTime() {
    return std::chrono::time_point_cast<std::chrono::microseconds>(
        std::chrono::system_clock::now());
}

std::optional<CatalogueTime> parseInternetDateTime(std::string_view text, bool fractionalSeconds) {
    std::size_t pos = 0;
    auto y = digits(text, pos, 4);
    if (!y || !expect(text, pos, '-')) return std::nullopt;
    auto mo = digits(text, pos, 2);
    if (!mo || !expect(text, pos, '-')) return std::nullopt;
    auto d = digits(text, pos, 2);
    if (!d || !expect(text, pos, 'T')) return std::nullopt;
    auto h = digits(text, pos, 2);
    if (!h || !expect(text, pos, ':')) return std::nullopt;
    auto mi = digits(text, pos, 2);
    if (!mi || !expect(text, pos, ':')) return std::nullopt;
    auto s = digits(text, pos, 2);
    if (!s) return std::nullopt;

    microseconds fraction{0};
    if (fractionalSeconds) {
        if (!expect(text, pos, '.')) return std::nullopt;
        std::size_t start = pos;
        std::int64_t micros = 0;
        while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
            if (pos - start < 6) micros = micros * 10 + (text[pos] - '0');
            ++pos;
        }
        if (pos == start) return std::nullopt;
        for (std::size_t used = pos - start; used < 6; ++used) micros *= 10;
        fraction = microseconds(micros);
    }

    minutes offset{0};
    if (expect(text, pos, 'Z')) {
    } else if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
        int sign = text[pos] == '-' ? -1 : 1;
        ++pos;
        auto oh = digits(text, pos, 2);
        if (!oh || !expect(text, pos, ':')) return std::nullopt;
        auto om = digits(text, pos, 2);
        if (!om || *oh > 23 || *om > 59) return std::nullopt;
        offset = minutes(sign * (*oh * 60 + *om));
    } else {
        return std::nullopt;
    }
    if (pos != text.size()) return std::nullopt;

    year_month_day date{year(*y), month(static_cast<unsigned>(*mo)),
                        day(static_cast<unsigned>(*d))};
    if (!date.ok() || *h > 23 || *mi > 59 || *s > 59) return std::nullopt;
    return CatalogueTime(sys_days(date)) + hours(*h) + minutes(*mi) + seconds(*s) + fraction -
           offset;
}

}  // namespace korvex
