#include "core/base/graphemes.hpp"

#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/unistr.h>

#include <cstdint>
#include <memory>
#include <utility>

namespace korvex {
namespace {

icu::UnicodeString fromUtf8(std::string_view bytes) {
    // ICU's converter substitutes U+FFFD for every ill-formed sequence.
    return icu::UnicodeString::fromUTF8(
        icu::StringPiece(bytes.data(), static_cast<std::int32_t>(bytes.size())));
}

// One per thread: a break iterator is costly to create and not thread-safe.
struct Walker {
    // The iterator refers to the text it walks, so the text is declared first, destroyed last.
    icu::UnicodeString text;
    std::unique_ptr<icu::BreakIterator> iterator;

    Walker() {
        UErrorCode status = U_ZERO_ERROR;
        iterator.reset(icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
        if (U_FAILURE(status)) iterator.reset();
    }

    // Walks at most `limit` characters of `utf8` (all of them when `limit` is zero): how many, and
    // the UTF-16 offset in `text` where they end. Without an iterator (ICU's data missing) every
    // code point is one character.
    std::pair<std::size_t, std::int32_t> walk(std::string_view utf8, std::size_t limit) {
        text = fromUtf8(utf8);
        if (!iterator) {
            const auto points = static_cast<std::size_t>(text.countChar32());
            if (limit == 0 || limit >= points) return {points, text.length()};
            return {limit, text.moveIndex32(0, static_cast<std::int32_t>(limit))};
        }
        iterator->setText(text);
        std::size_t characters = 0;
        std::int32_t end = iterator->first();
        while (limit == 0 || characters < limit) {
            const std::int32_t next = iterator->next();
            if (next == icu::BreakIterator::DONE) break;
            ++characters;
            end = next;
        }
        return {characters, end};
    }
};

Walker& walker() {
    thread_local Walker instance;
    return instance;
}

}  // namespace

std::size_t graphemeCount(std::string_view utf8, std::size_t cap) {
    if (utf8.empty()) return 0;
    return walker().walk(utf8, cap).first;
}

std::string firstGraphemes(std::string_view utf8, std::size_t limit) {
    std::string out;
    if (limit == 0) return out;
    Walker& w = walker();
    const std::int32_t end = w.walk(utf8, limit).second;
    w.text.tempSubString(0, end).toUTF8String(out);
    return out;
}

}  // namespace korvex
