#define PCRE2_CODE_UNIT_WIDTH 8
#include "app/catalogue/pattern.hpp"

#include <pcre2.h>

#include <cstdio>
#include <stdexcept>

namespace korvex {
namespace {

// Ample for every pattern a catalogue or the processor table holds, small enough that a
// pathological one gives up in well under a millisecond.
constexpr std::uint32_t kMatchLimit = 100'000;
constexpr std::uint32_t kDepthLimit = 1'000;
constexpr std::uint32_t kHeapLimitKiB = 1'024;

struct MatchContext {
    pcre2_match_context* context = pcre2_match_context_create(nullptr);
    MatchContext() {
        if (context == nullptr) throw std::bad_alloc();
        pcre2_set_match_limit(context, kMatchLimit);
        pcre2_set_depth_limit(context, kDepthLimit);
        pcre2_set_heap_limit(context, kHeapLimitKiB);
    }
    ~MatchContext() { pcre2_match_context_free(context); }
};

pcre2_match_context* matchContext() {
    static MatchContext shared;
    return shared.context;
}

}  // namespace

struct Pattern::Code {
    pcre2_code* code = nullptr;
};

void Pattern::Deleter::operator()(Code* code) const {
    pcre2_code_free(code->code);
    delete code;
}

std::unique_ptr<Pattern::Code, Pattern::Deleter> Pattern::build(std::string_view expression,
                                                                bool often) {
    int error = 0;
    PCRE2_SIZE offset = 0;
    pcre2_code* code = pcre2_compile(
        reinterpret_cast<PCRE2_SPTR>(expression.data()), expression.size(),
        PCRE2_CASELESS | PCRE2_UTF | PCRE2_UCP | PCRE2_MATCH_INVALID_UTF | PCRE2_DOLLAR_ENDONLY,
        &error, &offset, nullptr);
    if (code == nullptr) return nullptr;
    // The JIT is an optimisation only: it honours the match limit, and the interpreter runs
    // whenever it is unavailable.
    if (often) pcre2_jit_compile(code, PCRE2_JIT_COMPLETE);
    return std::unique_ptr<Code, Deleter>(new Code{code});
}

std::optional<Pattern> Pattern::compile(std::string_view expression, bool often) {
    auto code = build(expression, often);
    if (!code) return std::nullopt;
    return Pattern(std::move(code));
}

Pattern::Pattern(std::string_view expression) : code_(build(expression, true)) {
    if (!code_) throw std::logic_error("invalid built-in pattern: " + std::string(expression));
}

bool Pattern::search(std::string_view text) const {
    // One pair of offsets is all a yes-or-no search needs, for any pattern; one block per thread
    // spares an allocation on each of the many searches of a lookup.
    thread_local std::unique_ptr<pcre2_match_data, decltype(&pcre2_match_data_free)> data(
        pcre2_match_data_create(1, nullptr), &pcre2_match_data_free);
    if (!data) throw std::bad_alloc();
    int rc = pcre2_match(code_->code, reinterpret_cast<PCRE2_SPTR>(text.data()), text.size(), 0, 0,
                         data.get(), matchContext());
    // Negative results are "no match", a limit reached, or another failure: all "not found".
    return rc >= 0;
}

std::string Pattern::escape(std::string_view text) {
    // \Q...\E would end early at a literal "\E"; escaping each character cannot.
    std::string out;
    out.reserve(text.size() * 2);
    for (char c : text) {
        unsigned char u = static_cast<unsigned char>(c);
        bool asciiWord =
            (u >= '0' && u <= '9') || (u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z') || u == '_';
        // Bytes of multibyte characters and word characters stand for themselves; every other
        // ASCII character is escaped (PCRE2 treats "\" before any non-alphanumeric as literal).
        if (u < 0x80 && !asciiWord) {
            if (u == 0) {
                out += "\\x{0}";
                continue;
            }
            if (u < 0x20 || u == 0x7F) {
                char hex[8];
                std::snprintf(hex, sizeof hex, "\\x{%x}", u);
                out += hex;
                continue;
            }
            out += '\\';
        }
        out += c;
    }
    return out;
}

}  // namespace korvex
