// LinuxDiskFacts: disk facts read from util-linux's lsblk and findmnt and from sysfs.
//
// The tools run through the bounded command runner (15 s, 2 MiB each); the disk's identity is the
// kernel's disk sequence number (/sys/class/block/NAME/diskseq). What the tools print is turned
// into disk information dictionaries (see disk_facts.hpp):
//   "Internal" is false exactly when lsblk says the disk is hot-pluggable; "VirtualOrPhysical" is
//   "Virtual" for a loop device or a device whose sysfs entry lies under /sys/devices/virtual/
//   (or cannot be resolved); "BusProtocol" maps "usb" to "USB", "mmc" to "SD" when
//   /sys/block/NAME/device/type says "SD" and to "MMC" otherwise (a soldered eMMC), and
//   upper-cases anything else; the listing leaves out an eMMC's boot and RPMB areas; a volume's
//   "BackingStores" are the leaves of `lsblk --inverse` on the mount source, so they are found
//   through partitions, device-mapper (LUKS, LVM) and RAID.
// A mount source that is not a block device under /dev (overlay, tmpfs, NFS, a missing
// /dev/root) gives a volume without a device, which the rules refuse to protect.
//
// All machine access goes through a LinuxProbe, so tests can replay what the tools printed.
// Stateless apart from the probe; safe to call from several threads when the probe is.
#pragma once

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/records/json_fields.hpp"
#include "core/system/disk_facts.hpp"

namespace korvex {

// The machine as LinuxDiskFacts sees it. The default members touch the real system.
class LinuxProbe {
  public:
    virtual ~LinuxProbe() = default;

    // Runs `tool` (an absolute path) with `arguments` through Command::run, 15 s and 2 MiB.
    virtual std::string run(const std::string& tool, const std::vector<std::string>& arguments);
    // The content of a small file (a sysfs attribute); nullopt when it cannot be read.
    virtual std::optional<std::string> readFile(const std::string& path);
    // `path` with every symbolic link resolved; nullopt when it cannot be resolved.
    virtual std::optional<std::string> resolveLink(const std::string& path);
    // `path` with every symbolic link resolved; throws std::system_error when it cannot be.
    virtual std::string resolvePath(const std::string& path);
    virtual bool exists(const std::string& path);
    virtual bool isBlockDevice(const std::string& path);
    // The home directory of the real user id of this process, from the user database.
    // Throws ImagerError "Unknown user." when the user has no record or no home directory.
    virtual std::string homeDirectory();
};

class LinuxDiskFacts : public DiskFacts {
  public:
    // REQUIRES: `probe` outlives this object.
    explicit LinuxDiskFacts(LinuxProbe& probe) : probe_(probe) {}

    std::vector<std::string> systemPaths() override;
    std::string homeDirectory() override;
    json::Json listing() override;
    json::Json info(const std::string& id) override;
    std::optional<json::Json> volume(const std::string& path) override;
    std::optional<std::uint64_t> registryID(const std::string& id) override;
    std::string devicePath(const std::string& id) override;
    std::vector<std::string> mountPoints(const std::string& id) override;

    // The disk information dictionary of one lsblk node (an object of "blockdevices").
    json::Json nodeInfo(const json::Json& node);
    // True when the node is a loop device or its sysfs entry is virtual or cannot be resolved.
    bool isVirtual(const json::Json& node);
    // The "BusProtocol" of a node.
    std::string busProtocol(const json::Json& node);

  protected:
    LinuxProbe& probe() { return probe_; }

  private:
    // The one top-level node lsblk printed for one device.
    json::Json singleNode(const std::string& output);

    LinuxProbe& probe_;
};

namespace linux_disk {

inline constexpr const char* kLsblk = "/usr/bin/lsblk";
inline constexpr const char* kFindmnt = "/usr/bin/findmnt";
inline constexpr const char* kColumns =
    "NAME,PATH,TYPE,TRAN,RM,HOTPLUG,RO,SIZE,VENDOR,MODEL,PKNAME,MOUNTPOINTS";

// Parses a tool's JSON output. A syntax error is the reader's DecodeError; anything but an object
// is ImagerError "Invalid system information.".
json::Json parseObject(const std::string& output);

// The "blockdevices" list of lsblk's output; "Invalid system information." when it is missing.
const json::Json& blockDevices(const json::Json& lsblk);

// The SOURCE of the first file system findmnt printed, with a btrfs "[subvolume]" suffix dropped;
// nullopt when it printed none. "Invalid system information." when the output is malformed.
std::optional<std::string> mountSource(const json::Json& findmnt);

// The bottom nodes (those without children) of one lsblk --inverse tree, in order. A node that
// is not an object is returned as it is, for the rules to refuse.
std::vector<json::Json> leaves(const json::Json& node);

// Every absolute path in the "mountpoints" lists (or "mountpoint" texts) of a node and its
// children; "[SWAP]" and the like are not mount points.
void collectMountPoints(const json::Json& node, std::vector<std::string>& into);

// True for mmcblkNbootM and mmcblkNrpmb: an eMMC's hardware partitions, typed "disk" by lsblk.
bool isEmmcHardwarePartition(const std::string& name);

// True when `name` can be used as one component of a sysfs or /dev path.
bool isSafeDeviceName(const std::string& name);

}  // namespace linux_disk
}  // namespace korvex
