// Arbitrary lsblk and findmnt output judged by the drive rules: they list only drives that satisfy
// every rule and none they protect, or fail with the system's or the reader's error.
// Input, split at byte 30: the listing, one disk's lsblk, findmnt, and lsblk --inverse output.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "core/native/platform.hpp"
#include "core/records/decode_error.hpp"
#include "core/records/imager_error.hpp"
#include "core/records/records.hpp"
#include "core/system/disk_facts_linux.hpp"
#include "core/system/disk_inventory.hpp"

namespace {

using korvex::json::Json;

class FuzzProbe : public korvex::LinuxProbe {
  public:
    std::string listing, info, findmnt, inverse;

    std::string run(const std::string& tool, const std::vector<std::string>& arguments) override {
        if (tool == korvex::linux_disk::kFindmnt) return findmnt;
        for (const auto& a : arguments)
            if (a == "--inverse") return inverse;
        return arguments.back().rfind("/dev/", 0) == 0 ? info : listing;
    }
    std::optional<std::string> readFile(const std::string& path) override {
        return path.size() % 3 ? std::optional<std::string>("7\n") : std::nullopt;
    }
    std::optional<std::string> resolveLink(const std::string& path) override {
        if (path.size() % 5 == 0) return std::nullopt;
        return path.size() % 2 ? "/sys/devices/pci0000:00/x" : "/sys/devices/virtual/block/x";
    }
    std::string resolvePath(const std::string& path) override { return path; }
    bool exists(const std::string& path) override { return path.size() % 2 == 0; }
    bool isBlockDevice(const std::string& path) override { return path.size() % 7 != 0; }
    std::string homeDirectory() override { return "/home/fuzz"; }
};

void checkListed(const std::vector<korvex::TargetDisk>& drives,
                 const std::set<std::string>& guarded) {
    for (const korvex::TargetDisk& drive : drives) {
        if ((drive.bus != "USB" && drive.bus != "SD" && drive.bus != "Secure Digital") ||
            !korvex::platform::isListedWholeDiskName(drive.bsd) || drive.capacity == 0 ||
            drive.registryID == 0 || drive.name.empty() || guarded.count(drive.bsd) != 0)
            std::abort();
        (void)korvex::encode(drive);  // throws on text that is not UTF-8
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    FuzzProbe probe;
    std::string* parts[] = {&probe.listing, &probe.info, &probe.findmnt, &probe.inverse};
    for (std::string* part : parts) {
        auto end = input.find('\x1e');
        *part = std::string(input.substr(0, end));
        input = end == std::string_view::npos ? std::string_view() : input.substr(end + 1);
    }
    korvex::LinuxDiskFacts facts(probe);

    try {
        std::set<std::string> guarded = korvex::DiskInventory::protectedDisks({"/", "/img"}, facts);
        if (guarded.empty()) std::abort();
        checkListed(korvex::DiskInventory::list({"/img"}, facts), guarded);
    } catch (const korvex::ImagerError&) {
    } catch (const korvex::DecodeError&) {
    }
    try {  // every node of a listing, judged on its own
        Json lsblk = korvex::linux_disk::parseObject(probe.listing);
        const Json& nodes = korvex::linux_disk::blockDevices(lsblk);
        for (const Json& node : nodes) {
            std::vector<korvex::TargetDisk> drives;
            if (auto drive = korvex::DiskInventory::candidate(facts.nodeInfo(node), {"vda"}, 5))
                drives.push_back(*drive);
            checkListed(drives, {"vda"});
            std::vector<std::string> points;
            korvex::linux_disk::collectMountPoints(node, points);
            for (const auto& point : points)
                if (point.empty() || point[0] != '/') std::abort();
            (void)korvex::linux_disk::leaves(node);
        }
    } catch (const korvex::ImagerError&) {
    } catch (const korvex::DecodeError&) {
    }
    return 0;
}
