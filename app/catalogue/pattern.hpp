// Pattern: one compiled regular expression (Perl syntax, PCRE2), searched without regard to case,
// with Unicode character properties, over UTF-8 text.
//
// Every search is bounded: a match limit, a depth limit and a heap limit stop a pattern that
// would backtrack without end, and such a search counts as "not found". Text that is not valid
// UTF-8 is searched as far as it is valid (never an error). "$" matches only at the very end of
// the text, never before a final line feed.
//
// Immutable after construction; search() may be called from several threads at once.
// Move-only owner of the compiled code.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace korvex {

class Pattern {
  public:
    // Compiles `expression`; nullopt when it is not a valid expression. `often` asks for machine
    // code (PCRE2's JIT), which costs more to build and pays off only over many searches.
    static std::optional<Pattern> compile(std::string_view expression, bool often = false);

    // For patterns fixed in the program (compiled for frequent use): throws std::logic_error when
    // `expression` is invalid.
    explicit Pattern(std::string_view expression);

    // True when the pattern is found anywhere in `text`.
    bool search(std::string_view text) const;

    // `text` with every regular-expression metacharacter escaped, so that it matches itself.
    static std::string escape(std::string_view text);

  private:
    struct Code;
    struct Deleter {
        void operator()(Code* code) const;
    };
    explicit Pattern(std::unique_ptr<Code, Deleter> code) : code_(std::move(code)) {}
    static std::unique_ptr<Code, Deleter> build(std::string_view expression, bool often);

    std::unique_ptr<Code, Deleter> code_;
};

}  // namespace korvex
