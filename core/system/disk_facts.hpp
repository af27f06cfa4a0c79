// DiskFacts: everything the disk inventory learns from the operating system, behind one seam.
//
// The rules that decide which drives may be written (DiskInventory) never ask the system
// themselves; they ask a DiskFacts. The system's own source (DiskFacts::system()) runs the system's
// tools; tests hand the rules facts they wrote. Every answer is given afresh: a source keeps
// nothing between calls that could make a changed disk look unchanged.
//
// Answers come as disk information dictionaries: JSON objects with the keys
//   "DeviceIdentifier" (text), "WholeDisk" (boolean), "Internal" (boolean),
//   "VirtualOrPhysical" (text, "Physical" for a real device), "Writable" (boolean),
//   "TotalSize" (unsigned number, bytes), "BusProtocol" (text, such as "USB"),
//   "MediaName" (text), "ParentWholeDisk" (text),
//   "BackingStores" (list of disk information dictionaries: the whole disks at the bottom of the
//   device stack that holds a volume; only in the dictionary of a volume).
// A key is left out when the system does not state the fact; the rules treat a missing key, or a
// value of the wrong type, as the fact not holding.
//
// Implementations must be safe to call from several threads at once. Failures are exceptions:
// ImagerError for what the tools report, std::system_error for the platform's own errors.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/records/json_fields.hpp"

namespace korvex {

class DiskFacts {
  public:
    virtual ~DiskFacts() = default;

    // The system locations that are always protected, in order, the root first; only those that
    // exist on this machine.
    virtual std::vector<std::string> systemPaths() = 0;

    // The home directory of the user this program runs as.
    virtual std::string homeDirectory() = 0;

    // The disk list dictionary: {"WholeDisks": [identifiers of the external physical whole
    // disks]}. The rules check its shape.
    virtual json::Json listing() = 0;

    // The disk information dictionary of the device `id` (an identifier such as "sdb").
    virtual json::Json info(const std::string& id) = 0;

    // The disk information dictionary of the volume that holds `path` (after resolving symbolic
    // links), with its "BackingStores" when it sits on a device; nullopt when no volume holds it.
    // A volume that is not on a device at all (a network, overlay or memory file system) is an
    // object without "DeviceIdentifier".
    virtual std::optional<json::Json> volume(const std::string& path) = 0;

    // The disk's identity across renumbering and media changes; nullopt when it cannot be read or
    // is 0.
    virtual std::optional<std::uint64_t> registryID(const std::string& id) = 0;

    // The device node through which whole disk `id` is opened.
    virtual std::string devicePath(const std::string& id) = 0;

    // Every mount point of the disk `id` and of its partitions and the devices stacked on them.
    virtual std::vector<std::string> mountPoints(const std::string& id) = 0;

    // The source that reads this machine. Lives for the whole process.
    static DiskFacts& system();
};

}  // namespace korvex
