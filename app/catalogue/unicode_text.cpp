#include "app/catalogue/unicode_text.hpp"

#include <unicode/locid.h>
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

namespace korvex::unicode {
namespace {

std::string toUtf8(const icu::UnicodeString& s) {
    std::string out;
    s.toUTF8String(out);
    return out;
}

icu::UnicodeString fromUtf8(std::string_view bytes) {
    // ICU's converter substitutes U+FFFD for every ill-formed sequence.
    return icu::UnicodeString::fromUTF8(
        icu::StringPiece(bytes.data(), static_cast<std::int32_t>(bytes.size())));
}

}  // namespace

std::string nfkcUpper(std::string_view text) {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* nfkc = icu::Normalizer2::getNFKCInstance(status);
    icu::UnicodeString s = fromUtf8(text);
    if (U_SUCCESS(status)) {
        icu::UnicodeString normalized = nfkc->normalize(s, status);
        if (U_SUCCESS(status)) s = std::move(normalized);
    }
    s.toUpper(icu::Locale::getRoot());
    return toUtf8(s);
}

std::string upper(std::string_view text) {
    icu::UnicodeString s = fromUtf8(text);
    s.toUpper(icu::Locale::getRoot());
    return toUtf8(s);
}

std::string foldCase(std::string_view text) {
    icu::UnicodeString s = fromUtf8(text);
    s.foldCase(U_FOLD_CASE_DEFAULT);
    return toUtf8(s);
}

bool isRegexSpace(char32_t c) {
    if (c == U'\t' || c == U'\n' || c == U'\v' || c == U'\f' || c == U'\r') return true;
    switch (u_charType(static_cast<UChar32>(c))) {
        case U_SPACE_SEPARATOR:
        case U_LINE_SEPARATOR:
        case U_PARAGRAPH_SEPARATOR:
            return true;
        default:
            return false;
    }
}

}  // namespace korvex::unicode
