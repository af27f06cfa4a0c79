// DiskInventory: decides which drives may be written.
//
// Lists the external physical whole disks and refuses every disk that is internal, virtual,
// read-only, a partition, on an unexpected bus, without a stable identity, or that backs one of
// the protected locations (the system's own volumes, the user's home and the image being written).
// The same rules run in the application, to offer drives, and in the writer, just before it
// touches one. Every call asks the system afresh through a DiskFacts and keeps nothing.
//
// Stateless; calls may run concurrently. Blocks the caller while the system tools run. Failures
// are ImagerError with the texts below, or the facts source's own errors passed on unchanged.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "core/base/unique_fd.hpp"
#include "core/records/json_fields.hpp"
#include "core/records/records.hpp"
#include "core/system/disk_facts.hpp"

namespace korvex {

struct DiskInventory {
    // Largest number of whole disks a listing may report.
    static constexpr std::size_t kMaxWholeDisks = 128;
    // Longest medium name kept, in characters.
    static constexpr std::size_t kMaxNameLength = 160;

    using Lookup = std::function<json::Json(const std::string&)>;

    // The whole disks that hold `paths`. Throws "Cannot resolve the protected volume." for a path
    // on no volume, "System disk protection is unavailable." when nothing at all is found, and the
    // texts of physicalStores(); the facts' errors pass on.
    static std::set<std::string> protectedDisks(const std::vector<std::string>& paths,
                                                DiskFacts& facts);

    // The physical whole disks behind the volume or disk described by `info`; `lookup` gives the
    // information of a disk named in it. Throws "Cannot resolve a backing store.", "Cannot
    // resolve a physical disk.", "Cannot establish protected system disks." or "Cannot establish
    // physical backing disks."; never returns an empty set.
    static std::set<std::string> physicalStores(const json::Json& info, const Lookup& lookup);

    // The disk as a drive that may be written, or nullopt at the first rule it fails. Never
    // throws (except std::bad_alloc).
    static std::optional<TargetDisk> candidate(const json::Json& info,
                                               const std::set<std::string>& protectedDisks,
                                               std::optional<std::uint64_t> identity);

    // The drives that may be written, in the order the system lists them. Protects the system
    // paths, the current user's home and then `extraProtectedPaths`. Throws "Invalid system
    // information.", "Invalid external drive inventory." (no list, or more than 128 disks),
    // "Invalid device identifier." (a listed name that is not a whole disk), the texts of
    // protectedDisks(), and whatever the facts source throws; never a partial list.
    static std::vector<TargetDisk> list(const std::vector<std::string>& extraProtectedPaths,
                                        DiskFacts& facts = DiskFacts::system());

    // Opens the target's device for exclusive raw access (O_EXCL, O_DIRECT when the device takes
    // it; blocking) and proves it is the listed disk: a block device whose node names the same
    // device, whose geometry gives the listed capacity and whose identity is the listed one.
    // Throws "Cannot lock the drive. Close apps using it, reconnect it and retry." when it cannot
    // be opened exclusively, "Final device identity or capacity changed." when any proof fails;
    // nothing stays open after a throw. For the writer only.
    static UniqueFd openFinal(const TargetDisk& target, DiskFacts& facts = DiskFacts::system());

    // Unmounts every mounted file system of whole disk `bsd` and its partitions with one run of
    // umount (30 s, 2 MiB); runs nothing when nothing is mounted. Throws the command runner's
    // errors.
    static void unmountAll(const std::string& bsd, DiskFacts& facts = DiskFacts::system());
};

}  // namespace korvex
