// XzSource: the expanded bytes of an XZ file made of several blocks, expanded two blocks at a time
// and handed to libarchive as an uncompressed stream.
//
// libarchive's XZ filter expands on one core; an image packed with `xz -T` is a row of blocks whose
// places and sizes the file's index records, so two decoders can expand them side by side. The
// caller's thread expands some blocks in small pieces, as libarchive's filter would; one worker
// thread expands the others whole into a buffer, ahead of the caller. When the caller reaches a
// worker's block it hands it out from that buffer as it comes, without copying it, and once the
// block is complete the worker fills its next one into the part already handed out. So the worker
// may start a block only once the caller has reached its previous one: the two advance in steps,
// each lasting about as long as the longer of the caller's blocks in it and the worker's block that
// ends it. Blocks differ much in cost (a block of zeros expands in a blink, one of packed software
// slowly), so strictly alternating blocks would leave one thread waiting for the other; the steps
// are instead planned from the index before the first byte is expanded, each block's cost
// estimated from its packed and expanded sizes (see plan). And where the caller still reaches a
// worker's block before it is complete, it expands the start of its own next block into the part
// of the buffer already handed out, as far as that goes, rather than wait; it hands that out from
// the buffer after the worker's block and streams the rest.
// Memory is two decoders' dictionaries, one block and a few small buffers, whatever the file's
// size: unlike liblzma's multi-threaded decoder, which holds every block in flight whole, packed
// and expanded, this fits the usual `xz -6` blocks (24 MiB, 8 MiB dictionary) within kMemory.
//
// Only files that suit come here (see ForFile): a single-block file, one whose layout cannot be
// read (truncated, a damaged index) or one whose largest block does not fit kMemory stays with
// libarchive. Each block is checked as liblzma's stream decoder checks it (its header against the
// index, its sizes, its check field), and failures carry libarchive's words for the same liblzma
// status. A fault the worker meets in a block is reported only once the caller has handed out the
// blocks before it and the bytes of it before the fault, so a file reads the same, byte for byte
// and failure for failure, whichever decoder expands which block.
//
// Reads the descriptor by offset (pread) from the offset it had when the source was made, never
// moving it; the descriptor stays the caller's and must outlive the source, which must outlive the
// archive handle it was opened on. Destroying the source stops the worker between two of its
// 1 MiB pieces and joins it. Not copyable; one thread at a time.
#pragma once

#include <lzma.h>
#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

struct archive;

namespace korvex::imager {

class XzSource {
  public:
    // What the expansion may hold: the largest block expanded, plus the two decoders' own memory
    // (chiefly their dictionaries). With the writer's own ~15 MiB and the small buffers here, the
    // writer's peak stays within 64 MiB; `xz -6` blocks (24 MiB, 8 MiB dictionary) fit.
    static constexpr std::uint64_t kMemory = 42u << 20;

    ~XzSource();
    XzSource(const XzSource&) = delete;
    XzSource& operator=(const XzSource&) = delete;

    // A source for the descriptor (from its current offset to its end) when it is an XZ file whose
    // layout reads, of more than one block, whose largest block and two decoders fit kMemory, on a
    // machine of more than one core. Null for anything else, which libarchive reads; never
    // throws but std::bad_alloc.
    static std::unique_ptr<XzSource> ForFile(int fd);

    // archive_read_open on `handle` with this source as its only data; libarchive's status.
    int OpenArchive(struct archive* handle);

    // Tests only: called by the worker between two pieces of a block, with the flag that stops it.
    static inline void (*pieceHook)(const std::atomic<bool>& stopping) = nullptr;
    // Tests only: called by the caller before each piece it expands ahead of the worker's block.
    static inline void (*aheadHook)() = nullptr;
    // Tests only: called by ForFile with the plan of a source it makes (true: the worker's block).
    static inline void (*planHook)(const std::vector<bool>& byWorker) = nullptr;

  private:
    struct Block {
        std::uint64_t offset;    // of its header, from the start of the file
        std::uint64_t unpadded;  // header, packed data and check field
        std::uint64_t expanded;
        lzma_check check;
    };
    // A mapping of its own, so that nothing freed stays in malloc's arenas between two expansions.
    class Buffer {
      public:
        explicit Buffer(std::size_t size);
        ~Buffer();
        Buffer(const Buffer&) = delete;
        Buffer& operator=(const Buffer&) = delete;
        std::uint8_t* data() const { return data_; }
        std::size_t size() const { return size_; }

      private:
        std::uint8_t* data_ = nullptr;
        std::size_t size_ = 0;
    };
    // One block decoder over the file, reused from block to block (its dictionary with it).
    class Decoder {
      public:
        Decoder(int fd, off_t start);
        ~Decoder();
        Decoder(const Decoder&) = delete;
        Decoder& operator=(const Decoder&) = delete;
        // Reads the block's header and sets the decoder up for its data; null or the failure.
        const char* begin(const Block& block);
        // Expands into `out` up to `size` bytes, reading 1 MiB pieces as needed; `produced` counts
        // the bytes written. Null when `out` is full or the block has ended (then `ended`), or the
        // failure.
        const char* expand(std::uint8_t* out, std::size_t size, std::size_t& produced);
        bool ended() const { return ended_; }

      private:
        int fd_;
        off_t start_;
        lzma_stream stream_ = LZMA_STREAM_INIT;
        lzma_block block_{};
        Buffer input_;
        off_t inputAt_ = 0;
        std::uint64_t inputLeft_ = 0;
        bool ended_ = false;
    };

    XzSource(int fd, off_t start, std::vector<Block> blocks, std::size_t largest);
    // The file's blocks in order, when its layout reads and it suits; empty otherwise.
    static std::vector<Block> layout(int fd, off_t start, off_t size, std::size_t& largest);
    // Which blocks the worker expands (true) and which the caller streams, the steps chosen to
    // make the estimated whole the shortest.
    static std::vector<bool> plan(const std::vector<Block>& blocks);
    static ssize_t Callback(struct archive* handle, void* self, const void** buffer);
    // The next bytes for libarchive: their length, 0 at the end of the file, -1 with `error_` set.
    ssize_t next(const void** out);
    // The caller moves on to block `index`: streams it, or hands out the worker's as it comes.
    void advance(std::size_t index);
    // Takes what the worker has expanded of the block the caller hands out.
    void collect();
    // While the worker's block is still coming: expands a piece of the caller's block after it into
    // the part of the buffer handed out. False when there is nothing to do but wait.
    bool workAhead();
    // The first block at or after `index` that the worker expands; the count of blocks if none.
    std::size_t workerBlockFrom(std::size_t index) const;
    // Hands block `index` (if any) to the worker, with the first `released` bytes of the buffer.
    void post(std::size_t index, std::size_t released);
    // Gives the worker the first `released` bytes of the buffer.
    void release(std::size_t released);
    void work();

    // Streaming: the caller's block, expanded in pieces. Serving: the worker's, from the buffer.
    // Ahead: the start of the caller's next block, expanded into the buffer while it waited.
    enum class Phase { Streaming, Serving, Ahead, Ended, Failed };

    std::vector<Block> blocks_;
    std::vector<bool> byWorker_;
    Decoder caller_;
    Buffer output_;
    Phase phase_ = Phase::Streaming;
    bool started_ = false;
    std::size_t current_ = 0;  // the block the caller expands or hands out
    std::size_t ready_ = 0;    // of the worker's block, expanded
    bool complete_ = false;    // the worker is done with it
    const char* readyError_ = nullptr;  // what stopped the worker in it, if anything
    bool posted_ = false;      // the worker's next block is posted
    std::size_t served_ = 0;   // of the worker's block, or of ahead_, handed out
    bool aheadBegun_ = false;  // the caller has begun its next block while serving
    std::size_t ahead_ = 0;    // of it, expanded into the start of the buffer
    const char* aheadError_ = nullptr;
    const char* error_ = nullptr;

    // Shared with the worker, under mutex_ (stop_ is also read between pieces without it).
    Decoder worker_;
    Buffer block_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::atomic<bool> stop_{false};
    bool jobPending_ = false;
    bool jobDone_ = false;
    std::size_t job_ = 0;
    std::size_t released_ = 0;  // of the buffer, what the worker may fill
    std::size_t jobProduced_ = 0;
    const char* jobError_ = nullptr;
    std::thread thread_;
};

}  // namespace korvex::imager
