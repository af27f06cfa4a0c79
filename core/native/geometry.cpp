// A block device's geometry from the kernel: logical sector size and whole-sector byte count.
#include <cstddef>  // first: the request macros of <linux/fs.h> name size_t

#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include "core/native/native.h"

extern "C" int kvi_geometry(int fd, uint32_t* block_size, uint64_t* total_bytes) {
    if (block_size == nullptr || total_bytes == nullptr) return 0;
    struct stat status;
    // The requests below are block-device requests; their numbers mean something else elsewhere.
    if (::fstat(fd, &status) != 0 || !S_ISBLK(status.st_mode)) return 0;

    int sectorSize = 0;
    if (::ioctl(fd, BLKSSZGET, &sectorSize) != 0 || sectorSize < 0) return 0;
    *block_size = static_cast<uint32_t>(sectorSize);

    uint64_t deviceBytes = 0;
    if (::ioctl(fd, BLKGETSIZE64, &deviceBytes) != 0) return 0;
    if (*block_size == 0) return 0;
    const uint64_t blockCount = deviceBytes / *block_size;
    uint64_t product = 0;
    if (__builtin_mul_overflow(blockCount, static_cast<uint64_t>(*block_size), &product)) return 0;
    *total_bytes = product;
    return 1;
}
