// GzipSource: the expanded bytes of a GZip file, decoded with zlib and handed to libarchive as an
// uncompressed stream.
//
// libarchive's own gzip filter never compares a member's trailer with what it expanded, so a .gz
// with a wrong CRC-32 or length would pass as an image. Here every member's CRC-32 and ISIZE are
// checked against the bytes it expanded to; members follow one another as gzip concatenates them,
// and only zero bytes (padding) may follow the last one. zlib inflates and parses the framing;
// the CRC-32 is libdeflate's, which folds with carry-less multiplication at several times the
// speed of zlib's own, so the check costs the inflating thread little. A failure is set on the
// archive handle as its error text and ends the stream.
//
// Reads the descriptor from its current offset; the descriptor stays the caller's and must outlive
// the source, which must outlive the archive handle it was opened on. Not copyable; one thread at
// a time.
#pragma once

#include <sys/types.h>
#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

struct archive;

namespace korvex::imager {

class GzipSource {
  public:
    explicit GzipSource(int fd);
    ~GzipSource();
    GzipSource(const GzipSource&) = delete;
    GzipSource& operator=(const GzipSource&) = delete;

    // True when the descriptor's next bytes (read without moving its offset) open a GZip member:
    // the magic, the deflate method and no reserved flag, as libarchive's own test demands first.
    static bool Starts(int fd);

    // archive_read_open on `handle` with this source as its only data; libarchive's status.
    int OpenArchive(struct archive* handle);

  private:
    static ssize_t Callback(struct archive* handle, void* self, const void** buffer);
    // Fills the output buffer: its length, 0 at the end of the file, -1 with `error_` set.
    ssize_t fill();
    // Reads the next block of the stored file; false with `error_` set on a read error.
    bool readInput();
    // After a member: true when only zero bytes remain, false with `error_` set otherwise.
    bool onlyZerosRemain();
    // Compares the trailer that zlib has just consumed with the member's bytes; sets `error_`.
    bool trailerMatches();
    void startMember();

    int fd_;
    z_stream stream_{};
    bool initialised_ = false;
    bool inputEnded_ = false;   // the descriptor reported its end
    bool memberEnded_ = false;  // the last member's trailer has been checked
    bool finished_ = false;     // nothing more to produce
    std::unique_ptr<std::uint8_t[]> input_;
    std::unique_ptr<std::uint8_t[]> output_;
    std::string error_;
    // The current member's CRC-32 and length modulo 2^32 so far.
    std::uint32_t crc_ = 0;
    std::uint32_t length_ = 0;
    // The last bytes of the input blocks before the current one: a trailer may straddle blocks.
    static constexpr std::size_t kTrailerSize = 8;
    std::uint8_t earlier_[kTrailerSize] = {};
};

}  // namespace korvex::imager
