#include "core/native/xz_source.hpp"

#include <archive.h>

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <system_error>
#include <utility>

namespace korvex::imager {
namespace {

// The stored file is read in pieces as large as libarchive's own blocks of it; the worker looks at
// its stop flag between two pieces.
constexpr std::size_t kPieceSize = 1 << 20;
// The caller's expanded bytes go out in blocks that stay in the processor's cache until
// libarchive copies them out; the worker's block goes out in slices of a piece.
constexpr std::size_t kOutputSize = 1 << 18;
constexpr std::size_t kSliceSize = 1 << 20;
// The largest index the layout may take in memory: some sixteen bytes a block, so 1 MiB blocks of
// an image of the largest size. A file with a larger one is left to libarchive.
constexpr std::uint64_t kIndexLimit = 1 << 20;

constexpr const char* kReadFailure = "Cannot read the image file.";

// LZMA's time on a block follows the packed bytes it reads, plus some for each byte it writes out
// and checks: about a twenty-fourth of a packed byte's, on `xz -6` images of disks.
constexpr std::uint64_t kExpandedPerPacked = 24;
// The longest step the plan considers, in blocks: planning stays linear in the file's blocks, and
// a longer run of the caller's blocks beside one of the worker's would have to be very uneven.
constexpr std::size_t kLongestStep = 16;

// libarchive's words for the status its own XZ filter met, so a failure reads the same whichever
// decoder expanded the file.
const char* describe(lzma_ret status) {
    switch (status) {
        case LZMA_MEM_ERROR:
            return "Lzma library error: Cannot allocate memory";
        case LZMA_MEMLIMIT_ERROR:
            return "Lzma library error: Out of memory";
        case LZMA_FORMAT_ERROR:
            return "Lzma library error: format not recognized";
        case LZMA_OPTIONS_ERROR:
            return "Lzma library error: Invalid options";
        case LZMA_DATA_ERROR:
            return "Lzma library error: Corrupted input data";
        case LZMA_BUF_ERROR:
            return "Lzma library error:  No progress is possible";
        default:
            return "Lzma decompression failed:  Unknown error";
    }
}

// The decoders' dictionaries, some MiB each, are mapped and unmapped on their own. Through malloc
// they would raise its mapping threshold once freed, and the next ones would stay in its arenas
// after use: the dictionaries of the writer's second expansion would come on top of the first's.
constexpr std::size_t kMappedFrom = 1 << 20;
constexpr std::size_t kHeader = 64;  // keeps the caller's memory aligned as malloc's is

void* allocate(void*, std::size_t count, std::size_t size) {
    if (size != 0 && count > SIZE_MAX / size) return nullptr;
    const std::size_t bytes = count * size;
    if (bytes > SIZE_MAX - kHeader) return nullptr;
    void* start = nullptr;
    if (bytes < kMappedFrom) {
        start = std::malloc(bytes + kHeader);
        if (start == nullptr) return nullptr;
    } else {
        start = ::mmap(nullptr, bytes + kHeader, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (start == MAP_FAILED) return nullptr;
    }
    std::memcpy(start, &bytes, sizeof bytes);
    return static_cast<std::uint8_t*>(start) + kHeader;
}

void release(void*, void* pointer) {
    if (pointer == nullptr) return;
    void* start = static_cast<std::uint8_t*>(pointer) - kHeader;
    std::size_t bytes = 0;
    std::memcpy(&bytes, start, sizeof bytes);
    if (bytes < kMappedFrom) {
        std::free(start);
    } else {
        ::munmap(start, bytes + kHeader);
    }
}

const lzma_allocator kAllocator = {allocate, release, nullptr};

// Up to `size` bytes at `offset`, fewer only at the end of the file; -1 when reading fails.
ssize_t readAt(int fd, std::uint8_t* buffer, std::size_t size, off_t offset) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::pread(fd, buffer + done, size - done, offset + static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) break;
        done += static_cast<std::size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

bool readWhole(int fd, std::uint8_t* buffer, std::size_t size, off_t offset) {
    return readAt(fd, buffer, size, offset) == static_cast<ssize_t>(size);
}

// The block's header read and checked against what the index records of the block, as liblzma's
// stream decoder checks it: `block` is ready for lzma_block_decoder and `filters` hold options
// to free with kAllocator. Null, or the failure (then nothing is held).
const char* decodeHeader(int fd, off_t start, std::uint64_t offset, std::uint64_t unpadded,
                         std::uint64_t expanded, lzma_check check, lzma_block& block,
                         lzma_filter* filters) {
    std::uint8_t header[LZMA_BLOCK_HEADER_SIZE_MAX];
    const off_t at = start + static_cast<off_t>(offset);
    if (!readWhole(fd, header, 1, at)) return kReadFailure;
    // A zero is where an index begins, not a block.
    if (header[0] == 0) return describe(LZMA_DATA_ERROR);
    block = lzma_block{};
    block.version = 1;
    block.check = check;
    block.filters = filters;
    block.header_size = lzma_block_header_size_decode(header[0]);
    if (!readWhole(fd, header + 1, block.header_size - 1, at + 1)) return kReadFailure;
    lzma_ret status = lzma_block_header_decode(&block, &kAllocator, header);
    if (status != LZMA_OK) return describe(status);
    status = lzma_block_compressed_size(&block, unpadded);
    if (status == LZMA_OK && block.uncompressed_size != LZMA_VLI_UNKNOWN &&
        block.uncompressed_size != expanded) {
        status = LZMA_DATA_ERROR;
    }
    if (status != LZMA_OK) {
        lzma_filters_free(filters, &kAllocator);
        return describe(status);
    }
    block.uncompressed_size = expanded;
    return nullptr;
}

}  // namespace

XzSource::Buffer::Buffer(std::size_t size) : size_(size) {
    if (size == 0) return;
    void* start =
        ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (start == MAP_FAILED) throw std::bad_alloc();
    data_ = static_cast<std::uint8_t*>(start);
}

XzSource::Buffer::~Buffer() {
    if (data_ != nullptr) ::munmap(data_, size_);
}

XzSource::Decoder::Decoder(int fd, off_t start) : fd_(fd), start_(start), input_(kPieceSize) {
    stream_.allocator = &kAllocator;
}

XzSource::Decoder::~Decoder() {
    lzma_end(&stream_);
}

const char* XzSource::Decoder::begin(const Block& block) {
    ended_ = false;
    stream_.avail_in = 0;
    inputLeft_ = 0;
    lzma_filter filters[LZMA_FILTERS_MAX + 1];
    const char* failure = decodeHeader(fd_, start_, block.offset, block.unpadded, block.expanded,
                                       block.check, block_, filters);
    if (failure != nullptr) return failure;
    // The decoder keeps what it needs of the options (and its dictionary, when the next block's
    // is as large); the block's sizes it checks at its end.
    const lzma_ret status = lzma_block_decoder(&stream_, &block_);
    lzma_filters_free(filters, &kAllocator);
    block_.filters = nullptr;
    if (status != LZMA_OK) return describe(status);
    inputAt_ = start_ + static_cast<off_t>(block.offset + block_.header_size);
    // Block padding rounds the block up to four bytes.
    inputLeft_ = ((block.unpadded + 3) & ~std::uint64_t{3}) - block_.header_size;
    return nullptr;
}

const char* XzSource::Decoder::expand(std::uint8_t* out, std::size_t size,
                                      std::size_t& produced) {
    stream_.next_out = out;
    stream_.avail_out = size;
    const char* failure = nullptr;
    while (!ended_) {
        if (stream_.avail_in == 0 && inputLeft_ != 0) {
            const std::size_t piece = static_cast<std::size_t>(
                std::min<std::uint64_t>(kPieceSize, inputLeft_));
            const ssize_t n = readAt(fd_, input_.data(), piece, inputAt_);
            if (n < 0) {
                failure = kReadFailure;
                break;
            }
            // A file cut short since its layout was read ends here, and the decoder says so.
            inputLeft_ = static_cast<std::size_t>(n) < piece ? 0 : inputLeft_ - piece;
            inputAt_ += n;
            stream_.next_in = input_.data();
            stream_.avail_in = static_cast<std::size_t>(n);
        }
        const lzma_ret status =
            lzma_code(&stream_, stream_.avail_in == 0 && inputLeft_ == 0 ? LZMA_FINISH : LZMA_RUN);
        if (status == LZMA_STREAM_END) {
            ended_ = true;
        } else if (status != LZMA_OK) {
            failure = describe(status);
            break;
        } else if (stream_.avail_out == 0) {
            break;
        }
    }
    produced = size - stream_.avail_out;
    return failure;
}

std::vector<XzSource::Block> XzSource::layout(int fd, off_t start, off_t size,
                                              std::size_t& largest) {
    lzma_stream info = LZMA_STREAM_INIT;
    info.allocator = &kAllocator;
    lzma_index* index = nullptr;
    if (lzma_file_info_decoder(&info, &index, kIndexLimit, static_cast<std::uint64_t>(size)) !=
        LZMA_OK) {
        lzma_end(&info);
        return {};
    }
    // The decoder reads the stream header, then asks for the footers and indexes from the end.
    Buffer input(kPieceSize);
    std::uint64_t at = 0;
    lzma_ret status = LZMA_OK;
    for (;;) {
        lzma_action action = LZMA_RUN;
        if (info.avail_in == 0) {
            const std::size_t piece =
                static_cast<std::size_t>(std::min<std::uint64_t>(kPieceSize, size - at));
            if (piece == 0) {
                action = LZMA_FINISH;
            } else if (!readWhole(fd, input.data(), piece, start + static_cast<off_t>(at))) {
                status = LZMA_PROG_ERROR;
                break;
            }
            info.next_in = input.data();
            info.avail_in = piece;
            at += piece;
        }
        status = lzma_code(&info, action);
        if (status == LZMA_SEEK_NEEDED) {
            if (info.seek_pos > static_cast<std::uint64_t>(size)) break;
            at = info.seek_pos;
            info.avail_in = 0;
            continue;
        }
        if (status != LZMA_OK || action == LZMA_FINISH) break;
    }
    lzma_end(&info);
    if (status != LZMA_STREAM_END) {
        if (index != nullptr) lzma_index_end(index, &kAllocator);
        return {};
    }

    std::vector<Block> blocks;
    lzma_index_iter iter;
    lzma_index_iter_init(&iter, index);
    bool readable = true;
    while (readable && !lzma_index_iter_next(&iter, LZMA_INDEX_ITER_BLOCK)) {
        readable = iter.stream.flags != nullptr && iter.block.uncompressed_size <= kMemory;
        if (readable) {
            blocks.push_back({iter.block.compressed_file_offset, iter.block.unpadded_size,
                              iter.block.uncompressed_size, iter.stream.flags->check});
        }
    }
    lzma_index_end(index, &kAllocator);
    if (!readable || blocks.size() < 2) return {};

    // Every block's header, read now, says what its decoder needs; a header that does not read
    // is left to libarchive, which meets it in its turn.
    std::uint64_t decoder = 0;
    largest = 0;
    for (const Block& b : blocks) {
        lzma_block block{};
        lzma_filter filters[LZMA_FILTERS_MAX + 1];
        if (decodeHeader(fd, start, b.offset, b.unpadded, b.expanded, b.check, block, filters) !=
            nullptr) {
            return {};
        }
        decoder = std::max(decoder, lzma_raw_decoder_memusage(filters));
        lzma_filters_free(filters, &kAllocator);
        largest = std::max(largest, static_cast<std::size_t>(b.expanded));
    }
    if (decoder > kMemory || largest + 2 * decoder > kMemory) return {};
    return blocks;
}

std::vector<bool> XzSource::plan(const std::vector<Block>& blocks) {
    const std::size_t count = blocks.size();
    std::vector<std::uint64_t> cost(count);
    for (std::size_t i = 0; i < count; ++i)
        cost[i] = blocks[i].unpadded + blocks[i].expanded / kExpandedPerPacked;
    // A step is a run of the caller's blocks [i, j - 1) and the worker's block j - 1 that ends it;
    // it lasts as long as the longer of the two. When the worker's is the longer, the caller spends
    // the difference (slack) on the first block of the next step (see workAhead), which then costs
    // it that much less. Of the steps that end at j, the one kept is the one whose estimate, less
    // what its slack saves block j, is the least: time[j] and slack[j] are its estimate and slack,
    // from[j] where it begins.
    std::vector<std::uint64_t> time(count + 1, UINT64_MAX);
    std::vector<std::uint64_t> slack(count + 1, 0);
    std::vector<std::size_t> from(count + 1, 0);
    auto credit = [&](std::size_t j) { return j < count ? std::min(slack[j], cost[j]) : 0; };
    time[0] = 0;
    for (std::size_t j = 1; j <= count; ++j) {
        std::uint64_t best = UINT64_MAX;
        std::uint64_t callers = 0;  // the cost of blocks [i, j - 1)
        for (std::size_t i = j - 1;; --i) {
            const std::uint64_t left = i + 1 < j ? callers - credit(i) : 0;
            const std::uint64_t total = time[i] + std::max(left, cost[j - 1]);
            const std::uint64_t spare = cost[j - 1] > left ? cost[j - 1] - left : 0;
            const std::uint64_t rest = total - (j < count ? std::min(spare, cost[j]) : 0);
            if (rest < best) {
                best = rest;
                time[j] = total;
                slack[j] = spare;
                from[j] = i;
            }
            if (i == 0 || j - i == kLongestStep) break;
            callers += cost[i - 1];
        }
    }
    // The caller streams the blocks after the last step alone.
    std::size_t end = count;
    std::uint64_t best = time[count];
    std::uint64_t tail = 0;
    for (std::size_t i = count; i > 0 && count - i < kLongestStep;) {
        tail += cost[--i];
        if (time[i] + tail - credit(i) < best) {
            best = time[i] + tail - credit(i);
            end = i;
        }
    }
    std::vector<bool> byWorker(count, false);
    for (std::size_t j = end; j > 0; j = from[j]) byWorker[j - 1] = true;
    return byWorker;
}

XzSource::XzSource(int fd, off_t start, std::vector<Block> blocks, std::size_t largest)
    : blocks_(std::move(blocks)),
      byWorker_(plan(blocks_)),
      caller_(fd, start),
      output_(kOutputSize),
      worker_(fd, start),
      block_(largest) {}

XzSource::~XzSource() {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
}

std::unique_ptr<XzSource> XzSource::ForFile(int fd) {
    if (lzma_cputhreads() < 2) return nullptr;
    const off_t start = ::lseek(fd, 0, SEEK_CUR);
    struct stat status {};
    if (start < 0 || ::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) return nullptr;
    const off_t size = status.st_size - start;
    constexpr std::uint8_t kMagic[6] = {0xFD, '7', 'z', 'X', 'Z', 0x00};
    std::uint8_t head[sizeof kMagic];
    if (size < static_cast<off_t>(2 * LZMA_STREAM_HEADER_SIZE) ||
        !readWhole(fd, head, sizeof head, start) || std::memcmp(head, kMagic, sizeof kMagic) != 0) {
        return nullptr;
    }
    std::size_t largest = 0;
    std::vector<Block> blocks = layout(fd, start, size, largest);
    if (blocks.empty()) return nullptr;
    std::unique_ptr<XzSource> source(new XzSource(fd, start, std::move(blocks), largest));
    if (planHook != nullptr) planHook(source->byWorker_);
    try {
        source->thread_ = std::thread(&XzSource::work, source.get());
    } catch (const std::system_error&) {
        return nullptr;  // libarchive expands it on this thread
    }
    return source;
}

int XzSource::OpenArchive(struct archive* handle) {
    return archive_read_open(handle, this, nullptr, &XzSource::Callback, nullptr);
}

ssize_t XzSource::Callback(struct archive* handle, void* self, const void** buffer) {
    auto* source = static_cast<XzSource*>(self);
    const ssize_t n = source->next(buffer);
    if (n < 0) archive_set_error(handle, EIO, "%s", source->error_);
    return n;
}

void XzSource::post(std::size_t index, std::size_t released) {
    if (index >= blocks_.size()) return;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        job_ = index;
        jobPending_ = true;
        jobProduced_ = 0;
        jobError_ = nullptr;
        jobDone_ = false;
        released_ = released;
    }
    changed_.notify_all();
}

void XzSource::release(std::size_t released) {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        released_ = released;
    }
    changed_.notify_all();
}

std::size_t XzSource::workerBlockFrom(std::size_t index) const {
    while (index < blocks_.size() && !byWorker_[index]) ++index;
    return index;
}

void XzSource::advance(std::size_t index) {
    current_ = index;
    if (index >= blocks_.size()) {
        phase_ = Phase::Ended;
        return;
    }
    if (!byWorker_[index]) {
        error_ = caller_.begin(blocks_[index]);
        phase_ = error_ == nullptr ? Phase::Streaming : Phase::Failed;
        return;
    }
    phase_ = Phase::Serving;
    ready_ = 0;
    served_ = 0;
    complete_ = false;
    readyError_ = nullptr;
    posted_ = false;
    aheadBegun_ = false;
    ahead_ = 0;
    aheadError_ = nullptr;
}

void XzSource::collect() {
    if (complete_) return;  // what the worker reports now is of its next block
    const std::lock_guard<std::mutex> lock(mutex_);
    ready_ = jobProduced_;
    if (jobDone_) {
        jobDone_ = false;
        complete_ = true;
        readyError_ = jobError_;
    }
}

bool XzSource::workAhead() {
    const std::size_t index = current_ + 1;
    if (index >= blocks_.size() || byWorker_[index]) return false;
    if (!aheadBegun_) {
        aheadBegun_ = true;
        aheadError_ = caller_.begin(blocks_[index]);
    }
    if (aheadError_ != nullptr || caller_.ended() || ahead_ >= served_) return false;
    if (aheadHook != nullptr) aheadHook();
    std::size_t produced = 0;
    aheadError_ = caller_.expand(block_.data() + ahead_, std::min(kOutputSize, served_ - ahead_),
                                 produced);
    ahead_ += produced;
    return true;
}

ssize_t XzSource::next(const void** out) {
    if (!started_) {
        started_ = true;
        post(workerBlockFrom(0), block_.size());
        advance(0);
    }
    for (;;) {
        switch (phase_) {
            case Phase::Failed:
                return -1;
            case Phase::Ended:
                return 0;
            case Phase::Serving: {
                collect();
                // Once its block is complete the worker starts on its next one, filling the
                // buffer behind the slices handed out (which stay as they are until this callback
                // comes again), or behind the caller's start on its block.
                if (complete_ && !posted_ && readyError_ == nullptr) {
                    posted_ = true;
                    post(workerBlockFrom(current_ + 1), aheadBegun_ ? 0 : served_);
                } else if (posted_ && !aheadBegun_ && served_ != 0) {
                    release(served_);
                }
                if (served_ < ready_) {
                    const std::size_t n = std::min(kSliceSize, ready_ - served_);
                    *out = block_.data() + served_;
                    served_ += n;
                    return static_cast<ssize_t>(n);
                }
                if (complete_) {
                    if (readyError_ != nullptr) {
                        error_ = readyError_;
                        phase_ = Phase::Failed;
                        return -1;
                    }
                    if (aheadBegun_) {
                        ++current_;
                        served_ = 0;
                        phase_ = Phase::Ahead;
                    } else {
                        release(block_.size());  // the worker's next block may be the larger
                        advance(current_ + 1);
                    }
                    break;
                }
                // Rather than wait for the worker, the caller starts on its own next block.
                if (workAhead()) break;
                std::unique_lock<std::mutex> lock(mutex_);
                changed_.wait(lock, [this] { return jobDone_ || jobProduced_ > ready_; });
                break;
            }
            case Phase::Ahead: {
                if (served_ != 0) release(served_);
                if (served_ < ahead_) {
                    const std::size_t n = std::min(kSliceSize, ahead_ - served_);
                    *out = block_.data() + served_;
                    served_ += n;
                    return static_cast<ssize_t>(n);
                }
                if (aheadError_ != nullptr) {
                    error_ = aheadError_;
                    phase_ = Phase::Failed;
                    return -1;
                }
                release(block_.size());
                phase_ = Phase::Streaming;  // the rest of the block, if any, as any other
                break;
            }
            case Phase::Streaming: {
                std::size_t produced = 0;
                error_ = caller_.expand(output_.data(), output_.size(), produced);
                if (error_ != nullptr) {
                    phase_ = Phase::Failed;
                    return -1;
                }
                if (produced != 0) {
                    *out = output_.data();
                    return static_cast<ssize_t>(produced);
                }
                // The caller's block has ended (nothing else stops an expansion with room left).
                advance(current_ + 1);
                break;
            }
        }
    }
}

void XzSource::work() {
    for (;;) {
        std::size_t index = 0;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait(lock, [this] { return stop_ || jobPending_; });
            if (stop_) return;
            index = job_;
            jobPending_ = false;
        }
        const Block& block = blocks_[index];
        std::size_t produced = 0;
        const char* failure = worker_.begin(block);
        while (failure == nullptr && !worker_.ended()) {
            if (pieceHook != nullptr) pieceHook(stop_);
            if (stop_) return;
            // A piece's worth of room at a time, so that a block of zeros, expanded from one piece,
            // still stops on the way; the last call, with no room left, takes the check field.
            std::size_t room = std::min<std::size_t>(kPieceSize, block.expanded - produced);
            if (room != 0) {
                // Only as far as the caller has handed out the block before.
                std::unique_lock<std::mutex> lock(mutex_);
                changed_.wait(lock, [&] { return stop_ || released_ > produced; });
                if (stop_) return;
                room = std::min(room, released_ - produced);
            }
            std::size_t n = 0;
            failure = worker_.expand(block_.data() + produced, room, n);
            produced += n;
            if (n != 0) {  // the caller may be waiting for these bytes
                {
                    const std::lock_guard<std::mutex> lock(mutex_);
                    jobProduced_ = produced;
                }
                changed_.notify_all();
            }
        }
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            jobProduced_ = produced;
            jobError_ = failure;
            jobDone_ = true;
        }
        changed_.notify_all();
    }
}

}  // namespace korvex::imager
