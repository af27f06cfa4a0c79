// The two operations of the disk inventory that act on a device: the final exclusive open and the
// unmount. Linux: O_EXCL is the kernel's exclusive claim on a block device, the identity is the
// disk sequence number of the opened device, and unmounting is one run of umount.
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <cerrno>

#include "core/native/native.h"
#include "core/native/platform.hpp"
#include "core/records/imager_error.hpp"
#include "core/system/command.hpp"
#include "core/system/disk_inventory.hpp"

namespace korvex {
namespace {

constexpr const char* kUmount = "/usr/bin/umount";
constexpr double kUnmountTimeout = 30.0;
constexpr std::int64_t kUnmountLimit = 2097152;

constexpr const char* kCannotLock =
    "Cannot lock the drive. Close apps using it, reconnect it and retry.";
constexpr const char* kIdentityChanged = "Final device identity or capacity changed.";

// The disk sequence number of the opened device itself, so the identity proven is that of the
// descriptor we write through, not of whatever the name means a moment later. Kernels before
// 5.15 lack the request; then the name's sysfs entry is the best there is.
std::optional<std::uint64_t> openedIdentity(int fd, const std::string& bsd, DiskFacts& facts) {
#ifdef BLKGETDISKSEQ
    std::uint64_t sequence = 0;
    if (ioctl(fd, BLKGETDISKSEQ, &sequence) == 0) {
        if (sequence == 0) return std::nullopt;
        return sequence;
    }
    if (errno != ENOTTY && errno != EINVAL) return std::nullopt;
#else
    (void)fd;
#endif
    return facts.registryID(bsd);
}

bool sameDisk(int fd, const std::string& path, const TargetDisk& target, DiskFacts& facts) {
    struct stat opened {};
    if (fstat(fd, &opened) != 0 || !S_ISBLK(opened.st_mode)) return false;
    struct stat named {};
    if (lstat(path.c_str(), &named) != 0 || !S_ISBLK(named.st_mode)) return false;
    if (named.st_rdev != opened.st_rdev) return false;
    std::uint32_t blockSize = 0;
    std::uint64_t totalBytes = 0;
    if (kvi_geometry(fd, &blockSize, &totalBytes) != 1 || totalBytes != target.capacity)
        return false;
    auto identity = openedIdentity(fd, target.bsd, facts);
    return identity && *identity != 0 && *identity == target.registryID;
}

}  // namespace

UniqueFd DiskInventory::openFinal(const TargetDisk& target, DiskFacts& facts) {
    // The name becomes a path opened read-write as root: it is proven a whole disk's name first.
    if (!platform::isListedWholeDiskName(target.bsd)) throw ImagerError(kIdentityChanged);
    const std::string path = facts.devicePath(target.bsd);

    constexpr int kFlags = O_RDWR | O_EXCL | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC;
    UniqueFd fd(::open(path.c_str(), kFlags | O_DIRECT));
    // A device that refuses direct access is opened through the cache; the read-back then drops
    // the device's cached pages before reading.
    if (!fd && errno == EINVAL) fd = UniqueFd(::open(path.c_str(), kFlags));
    if (!fd) throw ImagerError(kCannotLock);

    if (!sameDisk(fd.get(), path, target, facts)) throw ImagerError(kIdentityChanged);

    // Back to blocking mode; O_DIRECT must stay.
    if (int flags = fcntl(fd.get(), F_GETFL); flags >= 0)
        fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK);
    return fd;
}

void DiskInventory::unmountAll(const std::string& bsd, DiskFacts& facts) {
    std::vector<std::string> points = facts.mountPoints(bsd);
    if (points.empty()) return;
    Command::run(kUmount, points, kUnmountTimeout, kUnmountLimit);
}

}  // namespace korvex
