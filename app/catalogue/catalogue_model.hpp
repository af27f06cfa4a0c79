// The catalogue records: the payload of a signed catalogue (its images and hardware rules), the
// catalogue configuration, and the few values derived from them that the application shows.
//
// Plain immutable values: copy freely and share between threads without locking; none refers to
// anything else. Decoding is strict: each JSON key is exactly the field name, unknown keys are
// ignored, a missing required key or a value of the wrong JSON type throws DecodeError for the
// whole document, and an optional key that is absent or null leaves its field empty. Encoding uses
// the same keys and omits empty optional fields. Range and consistency checks (schema version,
// sizes, patterns, unique ids) belong to the signed-catalogue check, not to decoding.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/catalogue/internet_date.hpp"

namespace korvex {

// One label and value row shown under an image.
struct ReleaseDetail {
    std::string id;     // stable row identity: "version", "date", "platform", "codename"
    std::string label;  // in the interface language
    std::string value;

    friend bool operator==(const ReleaseDetail&, const ReleaseDetail&) = default;
};

// One downloadable image.
struct ImageVariant {
    std::string id;                            // identity in lists
    std::string name;                          // display name
    std::string version;                       // version text
    std::string releaseDate;                   // display text; compared as text, never parsed
    std::optional<std::string> platform;       // platform version such as "23-0601"
    std::optional<std::string> changelogPath;  // release-notes path on the vendor web site
    std::string downloadUrl;                   // HTTPS address of the file
    std::string compression;                   // "none", "gz", "xz" or "zip"
    std::int64_t compressedSize = 0;           // bytes as downloaded
    std::int64_t expandedSize = 0;             // bytes of the disk image after expansion
    std::string sha256;                        // of the downloaded file, hexadecimal, either case
    std::optional<std::string> product;        // edition key: "tower", "nomad" or "boards"
    std::optional<std::string> board;          // hardware family, such as "amd64-korvex_iris"
    std::optional<std::string> architecture;   // such as "x86_64"; carried, not interpreted
    std::optional<std::string> device;         // device name for device-specific images
    std::optional<std::string> description;    // free text; carried, not interpreted
    std::optional<std::string> fileName;       // preferred file name for the download
    std::optional<bool> retired;               // true when no longer offered

    // The display label: the name with the board's label, or with the device when the name does
    // not already contain it (case-sensitive), or the name alone.
    std::string label() const;

    // Always four rows: version, date, platform, codename; absent values show the language's
    // "not provided" text.
    std::vector<ReleaseDetail> releaseDetails(bool chinese) const;

    // True only for a path of at most 300 user-perceived characters of the form
    // "/release/.../" or "/blog/.../" (either case) without "//", "." or ".." components.
    static bool safeChangelogPath(std::string_view path);

    friend bool operator==(const ImageVariant&, const ImageVariant&) = default;
};

// One recommendation rule: when every condition holds for the host, the rule names an image.
struct HardwareRule {
    struct Condition {
        std::string field;      // "manufacturer", "model", "board", "cpu" or "gpuPciIds"
        std::string operator_;  // JSON key "operator": "equals", "contains" or "matches"
        std::string value;      // text or regular expression to test against

        friend bool operator==(const Condition&, const Condition&) = default;
    };

    std::string id;              // the rule's name; not used for matching
    std::string imageId;         // id of the recommended image in the same catalogue
    std::int64_t priority = 0;   // higher wins
    std::string confidence;      // "exact" or "likely"
    std::vector<Condition> all;  // every one must hold

    friend bool operator==(const HardwareRule&, const HardwareRule&) = default;
};

// The payload of a signed catalogue. The order of images and rules is the publisher's and is
// never changed (the recommender's tie-breaks depend on it).
struct Catalogue {
    std::int64_t schemaVersion = 0;
    std::string catalogueVersion;
    std::string generatedAt;  // RFC 3339 date-time text as published
    std::vector<ImageVariant> images;
    std::vector<HardwareRule> rules;

    // `generatedAt` as a point in time: parsed first without, then with fractional seconds; the
    // distant past (first instant of year 1, UTC) when both fail.
    CatalogueTime date() const;

    // The images that are not retired, in catalogue order.
    std::vector<ImageVariant> active() const;

    friend bool operator==(const Catalogue&, const Catalogue&) = default;
};

// Where the catalogue is fetched from and which keys may sign it ("catalogue-config.json").
struct CatalogueConfig {
    std::string url;                                // HTTPS address of the signed catalogue
    std::map<std::string, std::string> publicKeys;  // key id -> public-key text

    friend bool operator==(const CatalogueConfig&, const CatalogueConfig&) = default;
};

// Strict decoding of one JSON document; throws DecodeError (core/records/decode_error.hpp).
Catalogue decodeCatalogue(std::string_view json);
ImageVariant decodeImageVariant(std::string_view json);
HardwareRule decodeHardwareRule(std::string_view json);
CatalogueConfig decodeCatalogueConfig(std::string_view json);

// Compact JSON with the decoding keys; empty optional fields are omitted.
std::string encode(const Catalogue& value);
std::string encode(const ImageVariant& value);
std::string encode(const HardwareRule& value);
std::string encode(const CatalogueConfig& value);

}  // namespace korvex
