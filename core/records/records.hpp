// The records that cross between the application and the writer, and their JSON encoding.
//
// Plain immutable values: copy freely, share between threads without locking. Encoding is compact
// JSON (no spaces, no line breaks), so an encoded record never holds a raw line feed. Decoding
// accepts any key order, ignores unknown keys, and throws DecodeError on a missing key, a wrong
// JSON type or a number that does not fit its field.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace korvex {

// Bounds every image meets: a stored file and its expanded image are each at most
// kMaxImageBytes (inclusive), and the expanded image is a non-empty multiple of kSectorBytes.
inline constexpr std::int64_t kMaxImageBytes = std::int64_t{1} << 37;
inline constexpr std::int64_t kSectorBytes = 512;

// Facts about one image file.
struct Inspection {
    std::int64_t bytes = 0;      // size of the file as stored (compressed or not)
    std::int64_t expanded = 0;   // size of the disk image inside it
    std::string sha256;          // SHA-256 of the stored file, hexadecimal
    std::string expandedSHA256;  // SHA-256 of the expanded disk image, hexadecimal

    friend bool operator==(const Inspection&, const Inspection&) = default;
};

// One candidate drive as the disk inventory lists it.
struct TargetDisk {
    std::string bsd;               // whole disk's device identifier, such as sdb
    std::string name;              // medium's name as the system reports it
    std::uint64_t capacity = 0;    // size of the whole disk in bytes
    std::uint64_t registryID = 0;  // the disk's identity across renumbering (kernel diskseq)
    std::string bus;               // bus protocol as the system reports it

    // "bsd-registryID-capacity": identifies a target in lists and selections.
    std::string id() const;
    // "name · 31.9 GB · bsd", capacity in decimal gigabytes with one decimal.
    std::string label() const;

    friend bool operator==(const TargetDisk&, const TargetDisk&) = default;
};

// Everything the writer needs for one write.
struct WriteRequest {
    std::int64_t version = 1;  // request format version; always 1
    std::string source;        // absolute path of the image file
    Inspection inspection;     // what the user approved for that file
    TargetDisk target;         // the drive the user confirmed
    std::uint32_t uid = 0;     // the application's user id (owner of image and channel)
    std::string socket;        // path of the channel socket
    std::string nonce;         // a fresh UUID for each write, canonical text form

    // Checks the request's own fields in a fixed order; throws ImagerError with the first
    // failure's text. Touches no file or device.
    void validate() const;

    friend bool operator==(const WriteRequest&, const WriteRequest&) = default;
};

// One progress or result report.
struct WriteEvent {
    std::string stage;                   // "connected", "checking", ..., "complete", "error"
    std::int64_t completed = 0;          // units done (bytes unless stated otherwise)
    std::int64_t total = 0;              // units expected; 0 when unknown
    std::optional<std::string> message;  // free text; absent when there is none

    friend bool operator==(const WriteEvent&, const WriteEvent&) = default;
};

std::string encode(const Inspection& value);
std::string encode(const TargetDisk& value);
std::string encode(const WriteRequest& value);
std::string encode(const WriteEvent& value);

Inspection decodeInspection(std::string_view json);
TargetDisk decodeTargetDisk(std::string_view json);
WriteRequest decodeWriteRequest(std::string_view json);
WriteEvent decodeWriteEvent(std::string_view json);

// True when `text` is a UUID in canonical form: 8-4-4-4-12 hexadecimal digits, either case.
bool isCanonicalUUID(std::string_view text);

}  // namespace korvex
