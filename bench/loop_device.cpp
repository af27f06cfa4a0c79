#include "bench/loop_device.hpp"

#include <fcntl.h>
#include <linux/fs.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "bench/child_process.hpp"

namespace korvex::bench {

LoopDevice::LoopDevice(const std::string& backingFile, unsigned sectorSize, bool directIO) {
    int backing = ::open(backingFile.c_str(), O_RDWR | O_CLOEXEC);
    if (backing < 0) throw BenchError(backingFile + ": " + std::strerror(errno));
    int control = ::open("/dev/loop-control", O_RDWR | O_CLOEXEC);
    if (control < 0) {
        int saved = errno;
        ::close(backing);
        throw BenchError(std::string("/dev/loop-control: ") + std::strerror(saved));
    }

    // Another program may take the free device between the two calls; then try the next one.
    std::string failure;
    for (int attempt = 0; attempt < 8 && fd_ < 0; ++attempt) {
        int number = ::ioctl(control, LOOP_CTL_GET_FREE);
        if (number < 0) {
            failure = std::string("no free loop device: ") + std::strerror(errno);
            break;
        }
        std::string path = "/dev/loop" + std::to_string(number);
        int device = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
        if (device < 0) {
            failure = path + ": " + std::strerror(errno);
            continue;
        }
        loop_config config{};
        config.fd = static_cast<__u32>(backing);
        config.block_size = sectorSize;
        config.info.lo_flags = LO_FLAGS_AUTOCLEAR | (directIO ? LO_FLAGS_DIRECT_IO : 0);
        std::strncpy(reinterpret_cast<char*>(config.info.lo_file_name), backingFile.c_str(),
                     LO_NAME_SIZE - 1);
        if (::ioctl(device, LOOP_CONFIGURE, &config) != 0) {
            int saved = errno;
            failure = path + ": LOOP_CONFIGURE: " + std::strerror(saved);
            ::close(device);
            if (saved == EBUSY) continue;
            break;
        }
        fd_ = device;
        path_ = path;
    }
    ::close(control);
    ::close(backing);
    if (fd_ < 0) throw BenchError(failure);

    std::uint64_t bytes = 0;
    if (::ioctl(fd_, BLKGETSIZE64, &bytes) != 0) {
        int saved = errno;
        ::ioctl(fd_, LOOP_CLR_FD, 0);
        ::close(fd_);
        throw BenchError(path_ + ": BLKGETSIZE64: " + std::strerror(saved));
    }
    size_ = static_cast<std::int64_t>(bytes);
}

bool LoopDevice::directIO() const {
    loop_info64 info{};
    return ::ioctl(fd_, LOOP_GET_STATUS64, &info) == 0 && (info.lo_flags & LO_FLAGS_DIRECT_IO) != 0;
}

LoopDevice::~LoopDevice() {
    // With auto-clear set, this detaches at once, or at the last close if a child still has it.
    ::ioctl(fd_, LOOP_CLR_FD, 0);
    ::close(fd_);
}

}  // namespace korvex::bench
