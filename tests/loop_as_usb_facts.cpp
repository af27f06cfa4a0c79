#include "tests/loop_as_usb_facts.hpp"

#include <filesystem>
#include <stdexcept>

#include "core/system/disk_inventory.hpp"

namespace korvex::testing {
LoopAsUsbFacts::LoopAsUsbFacts(std::string loop)
    : LinuxDiskFacts(probe_),
      loop_(loop.rfind("loop", 0) == 0 && loop.size() > 4 &&
                    loop.find_first_not_of("0123456789", 4) == std::string::npos
                ? std::move(loop)
                : "") {}

const std::string& LoopAsUsbFacts::real(const std::string& id) const {
    return id == kTestDriveName && !loop_.empty() ? loop_ : id;
}

json::Json LoopAsUsbFacts::listing() {
    json::Json listing = LinuxDiskFacts::listing();
    if (!loop_.empty()) listing["WholeDisks"].push_back(kTestDriveName);
    return listing;
}

json::Json LoopAsUsbFacts::info(const std::string& id) {
    if (id != kTestDriveName || loop_.empty()) return LinuxDiskFacts::info(id);
    json::Json info = LinuxDiskFacts::info(loop_);
    info.update({{"DeviceIdentifier", kTestDriveName}, {"ParentWholeDisk", kTestDriveName},
                 {"WholeDisk", true}, {"Internal", false}, {"VirtualOrPhysical", "Physical"},
                 {"BusProtocol", "USB"}});
    return info;
}

std::optional<std::uint64_t> LoopAsUsbFacts::registryID(const std::string& id) {
    return LinuxDiskFacts::registryID(real(id));
}

std::string LoopAsUsbFacts::devicePath(const std::string& id) {
    return LinuxDiskFacts::devicePath(real(id));
}

std::vector<std::string> LoopAsUsbFacts::mountPoints(const std::string& id) {
    return LinuxDiskFacts::mountPoints(real(id));
}

TestDrive::TestDrive(const std::string& backingFile, std::uint64_t size,
                     std::vector<unsigned> users, unsigned sectorSize, bool directIO)
    : users_(std::move(users)) {
    makeSparseFile(backingFile, size);
    loop_ = std::make_unique<LoopDevice>(backingFile, sectorSize, directIO);
    for (unsigned uid : users_) writeFile(testDriveFile(uid), loop_->name() + "\n");
}

TestDrive::~TestDrive() {
    std::error_code ignored;
    for (unsigned uid : users_) std::filesystem::remove(testDriveFile(uid), ignored);
}

TargetDisk testTarget(const std::string& loop) {
    LoopAsUsbFacts facts(loop);
    for (const TargetDisk& disk : DiskInventory::list({}, facts))
        if (disk.bsd == kTestDriveName) return disk;
    throw std::runtime_error(loop + " is not listed as " + kTestDriveName);
}

}  // namespace korvex::testing
