// ProcessorInventory: the shipped table of known processors ("processors.tsv"), which turns what a
// user typed, or what the probe found, into one known processor, and offers completions while the
// user types.
//
// Table format: UTF-8 text; lines end at a line feed (a carriage return directly before a line
// feed belongs to the line, the pair does not end it); empty lines are skipped; each line is split
// at tabs with empty fields dropped; a line with two or more fields is one entry (name, model;
// further fields ignored); fields are not trimmed and there is no header line.
//
// An immutable value once built: copies share the precomputed table; every member may be called
// from several threads at once. Lookups never throw except std::bad_alloc.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvex {

// One row of the processor table.
struct ProcessorName {
    std::string name;   // full name as shown to the user, such as "Intel Core i5-1135G7"
    std::string model;  // short model searched for in free text, such as "i5-1135G7"

    friend bool operator==(const ProcessorName&, const ProcessorName&) = default;
};

class ProcessorInventory {
  public:
    // No entries.
    ProcessorInventory();

    // Parses `text` in the table format; invalid UTF-8 is read with U+FFFD in its place.
    explicit ProcessorInventory(std::string_view text);

    // Reads "processors.tsv" from `resourceFolder`; no entries when the file cannot be read or is
    // not valid UTF-8.
    static ProcessorInventory load(const std::filesystem::path& resourceFolder);

    // load() from the application's resource folder (AppPaths::resourceFolder); no entries when
    // that folder cannot be found.
    static ProcessorInventory load();

    // The entries in file order, duplicates kept.
    const std::vector<ProcessorName>& entries() const;

    // The single known processor that `text` names, or nullopt: first an exact comparison of
    // normal forms with every name and model; when that finds none or several, a search of `text`
    // for each model as a whole word (a hyphen in the model may be a blank or missing), accepted
    // only when every entry found carries the same name.
    std::optional<ProcessorName> canonical(std::string_view text) const;

    // At most 6 completions, best first: the entries whose normal name or model contains the
    // normal form of `text`, an exact model first, then by name, then in table order. Empty for
    // fewer than 2 or more than 160 characters.
    std::vector<ProcessorName> suggestions(std::string_view text) const;

    // The comparison key: NFKC, upper case, without the marks "(R)", "(TM)", "®", "™", and
    // without white space, underscores, hyphens, minus signs and en dashes.
    static std::string normal(std::string_view text);

  private:
    struct Table;
    const Table& table() const;

    std::shared_ptr<const Table> table_;
};

}  // namespace korvex
