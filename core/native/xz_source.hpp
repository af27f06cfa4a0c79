// XzSource: the expanded bytes of an XZ file made of several blocks, decoded by liblzma's
// multi-threaded decoder and handed to libarchive as an uncompressed stream.
//
// libarchive's XZ filter expands on one core; an image packed with `xz -T` is a row of blocks that
// record their sizes, which liblzma can expand side by side, one thread per core. Only such files
// come here (see Suits): a single-block file gains nothing and stays with libarchive, and so does
// a file whose blocks are too large for two threads to expand within kThreadingMemory. The
// decoder is set up as libarchive sets up its own (concatenated streams, padding, every check, no
// memory limit that would refuse a file), and its failures carry libarchive's words for the same
// liblzma status, so a file reads the same, byte for byte and failure for failure, whichever
// decoder expands it. Memory: threads are started only while the decoder's estimate stays within
// kThreadingMemory; past it the decoder expands in fewer threads rather than failing.
//
// Reads the descriptor from its current offset; the descriptor stays the caller's and must outlive
// the source, which must outlive the archive handle it was opened on. Destroying the source stops
// its threads within the block they expand. Not copyable; one thread at a time.
#pragma once

#include <lzma.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

struct archive;

namespace korvex::imager {

class XzSource {
  public:
    // The decoder's memory for all its threads: their blocks' input and output and dictionaries.
    // With the writer's own buffers and the threads' allocator arenas, the writer's peak stays
    // within 64 MiB.
    static constexpr std::uint64_t kThreadingMemory = 32u << 20;

    explicit XzSource(int fd);
    ~XzSource();
    XzSource(const XzSource&) = delete;
    XzSource& operator=(const XzSource&) = delete;

    // True when the descriptor (from its current offset to its end, read without moving the
    // offset) is an XZ file whose last stream's index records more than one block, two blocks of
    // its average size fit kThreadingMemory, and the machine has more than one core. False for
    // anything it cannot tell, which libarchive reads.
    static bool Suits(int fd);

    // archive_read_open on `handle` with this source as its only data; libarchive's status.
    int OpenArchive(struct archive* handle);

  private:
    static ssize_t Callback(struct archive* handle, void* self, const void** buffer);
    // Fills the output buffer: its length, 0 at the end of the file, -1 with `error_` set.
    ssize_t fill();

    int fd_;
    lzma_stream stream_ = LZMA_STREAM_INIT;
    lzma_ret initialised_ = LZMA_PROG_ERROR;
    bool inputEnded_ = false;
    bool finished_ = false;
    std::unique_ptr<std::uint8_t[]> input_;
    std::unique_ptr<std::uint8_t[]> output_;
    std::string error_;
};

}  // namespace korvex::imager
