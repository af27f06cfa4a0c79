// A loop device over a backing file, the stand-in for a USB drive in the write benchmarks.
//
// Attached with the kernel's auto-clear flag while this object holds the device open, so the
// device goes away when it is destroyed and also when the benchmark dies in any other way (its
// descriptors close, and the last close detaches the device). Needs root. Not copyable; one owner.
// The constructor throws BenchError.
#pragma once

#include <cstdint>
#include <string>

namespace korvex::bench {

class LoopDevice {
  public:
    // Attaches `backingFile` (which must exist) with the given logical sector size. With
    // `directIO` the device reads and writes its backing file with O_DIRECT, so nothing it is
    // given or asked for stops in the page cache, as with a real drive; the kernel quietly falls
    // back to buffered I/O where the backing file system refuses it (see directIO()).
    LoopDevice(const std::string& backingFile, unsigned sectorSize, bool directIO);
    ~LoopDevice();
    LoopDevice(const LoopDevice&) = delete;
    LoopDevice& operator=(const LoopDevice&) = delete;

    const std::string& path() const { return path_; }  // "/dev/loopN"
    std::int64_t size() const { return size_; }        // bytes, as the block layer reports
    // Whether the device really does direct I/O to its backing file, as the kernel reports it.
    bool directIO() const;

  private:
    std::string path_;
    int fd_ = -1;
    std::int64_t size_ = 0;
};

}  // namespace korvex::bench
