// The images the benchmark measures, made once in a work folder and reused by later runs.
//
// - a 512 MiB ext4 file system holding about 430 MiB of real files copied from /usr/lib and
//   /usr/share (libraries, programs, text, already-compressed documentation), so compressors
//   and hashes see realistic data; made with mkfs.ext4 -d, no mount needed;
// - its .gz (gzip -6), .xz (xz -6 -T2: several blocks, as release images are usually built;
//   xz 5.4 still decompresses single-threaded unless asked), .zip (zip -6, one entry) and .zst
//   (zstd at its default level 3);
// - a 4 GiB ext4 file system with the same files, the rest left empty and stored sparse: for the
//   memory measurement, where only the size matters.
// Every file is made under a temporary name and renamed when complete, so an interrupted run
// leaves nothing that a later run would take for finished. Throws BenchError.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>

namespace korvex::bench {

struct BenchImages {
    std::string raw;    // the 512 MiB image
    std::string gz;     // raw, gzip
    std::string xz;     // raw, xz
    std::string zip;    // raw, zip
    std::string zst;    // raw, zstd
    std::string large;  // the 4 GiB image
};

// Makes whatever is missing under `workdir` (created if needed), telling `log` what it does.
BenchImages prepareImages(const std::string& workdir, std::ostream& log);

// Reads the whole file once, so that what follows finds it in the page cache.
void warmPageCache(const std::string& path);

// Size of a file in bytes.
std::int64_t fileSize(const std::string& path);

}  // namespace korvex::bench
