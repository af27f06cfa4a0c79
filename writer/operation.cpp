// The one write the writer exists for, with every check repeated at the last possible moment.
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "core/base/unique_fd.hpp"
#include "core/image/image_io.hpp"
#include "core/image/source_file.hpp"
#include "core/native/native.h"
#include "core/records/imager_error.hpp"
#include "core/system/disk_inventory.hpp"
#include "core/system/system_facts.hpp"
#include "writer/writer_main.hpp"

namespace korvex {
namespace {

void requireListed(const TargetDisk& target, const std::vector<std::string>& protectedPaths,
                   DiskFacts& facts) {
    std::vector<TargetDisk> drives = DiskInventory::list(protectedPaths, facts);
    if (std::find(drives.begin(), drives.end(), target) == drives.end())
        throw ImagerError(kSelectedDriveChanged);
}

// Flushes and closes the device however the write ends.
class FlushedDevice {
  public:
    explicit FlushedDevice(UniqueFd fd) : fd_(std::move(fd)) {}
    ~FlushedDevice() { finish(); }
    FlushedDevice(const FlushedDevice&) = delete;
    FlushedDevice& operator=(const FlushedDevice&) = delete;
    int get() const { return fd_.get(); }
    void finish() {
        if (fd_) fsync(fd_.get());
        fd_.reset();
    }

  private:
    UniqueFd fd_;
};

}  // namespace

void WriterMain::perform(const WriteRequest& request, Cancellation& cancellation,
                         const Progress& progress, DiskFacts& facts) {
    const TargetDisk& target = request.target;
    const Inspection& inspection = request.inspection;
    const std::vector<std::string> protectedPaths{
        request.source, SystemFacts::system().homeDirectoryOf(request.uid)};

    requireListed(target, protectedPaths, facts);

    SourceFile source(request.source, request.uid, false);
    std::string hash = ImageIO::hashFile(source, cancellation, progress);
    if (hash != inspection.sha256 || source.size() != inspection.bytes)
        throw ImagerError("The source changed after confirmation.");
    progress(WriteEvent{"checking", source.size(), source.size(), std::nullopt});

    if (cancellation.isCancelled()) throw ImagerError::cancelled();
    DiskInventory::unmountAll(target.bsd, facts);
    requireListed(target, protectedPaths, facts);

    FlushedDevice device(DiskInventory::openFinal(target, facts));
    std::uint32_t blockSize = 0;
    std::uint64_t deviceBytes = 0;
    bool fits = kvi_geometry(device.get(), &blockSize, &deviceBytes) == 1 && blockSize != 0;
    if (fits) {
        auto expanded = static_cast<std::uint64_t>(inspection.expanded);
        std::uint64_t rounded = (expanded + blockSize - 1) / blockSize * blockSize;
        fits = expanded <= deviceBytes && rounded <= deviceBytes;
    }
    if (!fits) throw ImagerError("The drive is too small or its geometry is unknown.");
    requireListed(target, protectedPaths, facts);

    ImageIO::writeAndVerify(source, device.get(), inspection, blockSize, cancellation, progress);
    device.finish();
}

}  // namespace korvex
