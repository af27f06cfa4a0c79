#include "app/catalogue/processor_inventory.hpp"

#include <unicode/utf8.h>

#include <algorithm>
#include <fstream>
#include <iterator>

#include "app/catalogue/pattern.hpp"
#include "app/catalogue/unicode_text.hpp"
#include "app/model/app_paths.hpp"
#include "core/base/graphemes.hpp"
#include "core/base/utf8_text.hpp"
#include "core/records/imager_error.hpp"

namespace korvex {
namespace {

// Keys of 161 or more characters are refused: they bound the work done on every keystroke.
constexpr std::size_t kMaxKeyCharacters = 160;
constexpr std::size_t kMaxSuggestions = 6;

bool startsWith(std::string_view text, std::size_t at, std::string_view prefix) {
    return text.substr(at, prefix.size()) == prefix;
}

// Removes the trademark marks left to right, as one search-and-replace pass over the text would.
std::string withoutMarks(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size();) {
        std::size_t skip = 0;
        for (std::string_view mark : {"(R)", "(TM)", "\u00AE", "\u2122"}) {
            if (startsWith(s, i, mark)) {
                skip = mark.size();
                break;
            }
        }
        if (skip != 0) {
            i += skip;
        } else {
            out += s[i++];
        }
    }
    return out;
}

// Removes white space (Unicode separators included), underscores, hyphens, minus signs and en
// dashes: the ways one model number is written apart.
std::string withoutSeparators(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    std::size_t i = 0;
    while (i < s.size()) {
        std::size_t start = i;
        UChar32 c = 0;
        U8_NEXT(reinterpret_cast<const std::uint8_t*>(s.data()), i, s.size(), c);
        bool separator = c == U'_' || c == U'-' || c == 0x2212 || c == 0x2013 ||
                         (c >= 0 && unicode::isRegexSpace(static_cast<char32_t>(c)));
        if (!separator) out.append(s.substr(start, i - start));
    }
    return out;
}

// Lines end at a line feed unless a carriage return precedes it: the pair is one character.
std::vector<std::string_view> lines(std::string_view text) {
    std::vector<std::string_view> out;
    std::size_t start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n' && !(i > 0 && text[i - 1] == '\r')) {
            out.push_back(text.substr(start, i - start));
            start = i + 1;
        }
    }
    out.push_back(text.substr(start));
    return out;
}

std::vector<std::string_view> fields(std::string_view line) {
    std::vector<std::string_view> out;
    std::size_t start = 0;
    while (start <= line.size()) {
        std::size_t end = line.find('\t', start);
        if (end == std::string_view::npos) end = line.size();
        if (end > start) out.push_back(line.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

// The model as a whole word: every character literal except hyphens, which may be a hyphen, a
// blank or nothing; no letter or digit directly before or after.
std::string modelExpression(std::string_view model) {
    std::string expression = "(?<![A-Z0-9])";
    std::size_t start = 0;
    while (true) {
        std::size_t hyphen = model.find('-', start);
        expression += Pattern::escape(model.substr(start, hyphen - start));
        if (hyphen == std::string_view::npos) break;
        expression += "[- ]?";
        start = hyphen + 1;
    }
    return expression + "(?![A-Z0-9])";
}

}  // namespace

struct ProcessorInventory::Table {
    struct Entry {
        std::string normalName;
        std::string normalModel;
        std::optional<Pattern> pattern;
    };
    std::vector<ProcessorName> entries;
    std::vector<Entry> index;  // parallel to `entries`
};

ProcessorInventory::ProcessorInventory() = default;

// A moved-from or default inventory has no table of its own: it reads as empty.
const ProcessorInventory::Table& ProcessorInventory::table() const {
    static const Table empty;
    return table_ ? *table_ : empty;
}

ProcessorInventory::ProcessorInventory(std::string_view raw) {
    auto table = std::make_shared<Table>();
    const std::string text = repairUtf8(raw);
    for (std::string_view line : lines(text)) {
        auto parts = fields(line);
        if (parts.size() < 2) continue;
        ProcessorName entry{std::string(parts[0]), std::string(parts[1])};
        table->index.push_back({normal(entry.name), normal(entry.model),
                                Pattern::compile(modelExpression(entry.model), /*often=*/true)});
        table->entries.push_back(std::move(entry));
    }
    table_ = std::move(table);
}

ProcessorInventory ProcessorInventory::load(const std::filesystem::path& resourceFolder) {
    std::ifstream in(resourceFolder / "processors.tsv", std::ios::binary);
    if (!in) return ProcessorInventory();
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad() || repairUtf8(text) != text) return ProcessorInventory();
    return ProcessorInventory(text);
}

ProcessorInventory ProcessorInventory::load() {
    try {
        return load(AppPaths::resourceFolder());
    } catch (const ImagerError&) {
        return ProcessorInventory();
    }
}

const std::vector<ProcessorName>& ProcessorInventory::entries() const {
    return table().entries;
}

std::string ProcessorInventory::normal(std::string_view text) {
    return withoutSeparators(withoutMarks(unicode::nfkcUpper(text)));
}

std::optional<ProcessorName> ProcessorInventory::canonical(std::string_view text) const {
    const std::string key = normal(text);
    if (key.empty() || graphemeCount(key, kMaxKeyCharacters + 1) > kMaxKeyCharacters)
        return std::nullopt;

    const auto& entries = table().entries;
    const auto& index = table().index;
    std::optional<std::size_t> exact;
    std::size_t exactCount = 0;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (index[i].normalName == key || index[i].normalModel == key) {
            if (exactCount++ == 0) exact = i;
        }
    }
    if (exactCount == 1) return entries[*exact];

    std::optional<std::size_t> first;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (!index[i].pattern || !index[i].pattern->search(text)) continue;
        if (!first) {
            first = i;
        } else if (entries[i].name != entries[*first].name) {
            return std::nullopt;
        }
    }
    if (!first) return std::nullopt;
    return entries[*first];
}

std::vector<ProcessorName> ProcessorInventory::suggestions(std::string_view text) const {
    const std::string key = normal(text);
    std::size_t length = graphemeCount(key, kMaxKeyCharacters + 1);
    if (length < 2 || length > kMaxKeyCharacters) return {};

    const auto& entries = table().entries;
    const auto& index = table().index;
    struct Match {
        bool exact;
        std::size_t index;
    };
    std::vector<Match> found;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (index[i].normalName.find(key) != std::string::npos ||
            index[i].normalModel.find(key) != std::string::npos) {
            found.push_back({index[i].normalModel == key, i});
        }
    }
    // Only the first few are shown, so only they are put in order: exact model matches first,
    // then by name, ties kept in table order.
    const std::size_t shown = std::min(found.size(), kMaxSuggestions);
    std::partial_sort(found.begin(), found.begin() + static_cast<std::ptrdiff_t>(shown),
                      found.end(), [&](const Match& a, const Match& b) {
                          if (a.exact != b.exact) return a.exact;
                          if (int order = entries[a.index].name.compare(entries[b.index].name))
                              return order < 0;
                          return a.index < b.index;
                      });
    std::vector<ProcessorName> out;
    out.reserve(shown);
    for (std::size_t i = 0; i < shown; ++i) out.push_back(entries[found[i].index]);
    return out;
}

}  // namespace korvex
