#include "core/system/disk_inventory.hpp"

#include "core/base/ascii_text.hpp"
#include "core/base/utf8_text.hpp"
#include "core/native/native.h"
#include "core/native/platform.hpp"
#include "core/records/imager_error.hpp"

namespace korvex {

using json::Json;

namespace {

constexpr const char* kNamelessMedium = "External drive";
constexpr const char* kAcceptedBuses[] = {"USB", "Secure Digital", "SD"};

using json::member;

std::optional<std::string> text(const Json& object, const char* key) {
    return json::textMember(object, key);
}

// True only for a boolean of the given value; a missing key or another type is neither.
bool isBoolean(const Json& object, const char* key, bool expected) {
    return json::booleanMember(object, key) == expected;
}

std::string physicalParent(const Json& info, const char* failure) {
    auto parent = text(info, "ParentWholeDisk");
    if (!parent || !platform::isAnyWholeDiskName(*parent)) throw ImagerError(failure);
    return lowerAscii(*parent);
}

}  // namespace

std::set<std::string> DiskInventory::physicalStores(const Json& info, const Lookup& lookup) {
    const Json* stores = member(info, "BackingStores");
    if (stores != nullptr && stores->is_array() && !stores->empty()) {
        std::set<std::string> disks;
        for (const Json& store : *stores) {
            auto identifier = text(store, "DeviceIdentifier");
            if (!store.is_object() || store.empty() || !identifier || identifier->empty())
                throw ImagerError("Cannot resolve a backing store.");
            if (!isBoolean(store, "WholeDisk", true))
                throw ImagerError("Cannot resolve a physical disk.");
            std::string disk = physicalParent(store, "Cannot resolve a physical disk.");
            if (text(store, "VirtualOrPhysical") != "Physical")
                throw ImagerError("Cannot establish physical backing disks.");
            disks.insert(disk);
        }
        return disks;
    }

    auto disk = isBoolean(info, "WholeDisk", true) ? text(info, "DeviceIdentifier")
                                                   : text(info, "ParentWholeDisk");
    if (!disk || !platform::isAnyWholeDiskName(*disk))
        throw ImagerError("Cannot establish protected system disks.");
    if (text(lookup(*disk), "VirtualOrPhysical") != "Physical")
        throw ImagerError("Cannot establish physical backing disks.");
    return {lowerAscii(*disk)};
}

std::set<std::string> DiskInventory::protectedDisks(const std::vector<std::string>& paths,
                                                    DiskFacts& facts) {
    std::set<std::string> disks;
    auto lookup = [&facts](const std::string& id) { return facts.info(id); };
    for (const std::string& path : paths) {
        std::optional<Json> volume = facts.volume(path);
        if (!volume) throw ImagerError("Cannot resolve the protected volume.");
        disks.merge(physicalStores(*volume, lookup));
    }
    if (disks.empty()) throw ImagerError("System disk protection is unavailable.");
    return disks;
}

std::optional<TargetDisk> DiskInventory::candidate(const Json& info,
                                                   const std::set<std::string>& protectedDisks,
                                                   std::optional<std::uint64_t> identity) {
    if (!info.is_object() || info.empty()) return std::nullopt;
    auto identifier = text(info, "DeviceIdentifier");
    if (!identifier || !platform::isListedWholeDiskName(*identifier)) return std::nullopt;
    if (!isBoolean(info, "WholeDisk", true)) return std::nullopt;
    if (!isBoolean(info, "Internal", false)) return std::nullopt;
    if (text(info, "VirtualOrPhysical") != "Physical") return std::nullopt;
    if (!isBoolean(info, "Writable", true)) return std::nullopt;
    const Json* size = member(info, "TotalSize");
    if (size == nullptr || !size->is_number_unsigned()) return std::nullopt;
    std::uint64_t capacity = size->get<std::uint64_t>();
    auto bus = text(info, "BusProtocol");
    bool accepted = false;
    for (const char* name : kAcceptedBuses) accepted = accepted || bus == name;
    if (!accepted) return std::nullopt;
    if (!identity || *identity == 0) return std::nullopt;
    int isProtected = protectedDisks.count(lowerAscii(*identifier)) != 0;
    if (kvi_safe_target(!protectedDisks.empty(), isProtected, 1, 1, capacity) != 1)
        return std::nullopt;

    std::string name = repairUtf8(text(info, "MediaName").value_or(""));
    if (name.empty()) name = kNamelessMedium;
    return TargetDisk{*identifier, firstCodePoints(name, kMaxNameLength), capacity, *identity,
                      *bus};
}

std::vector<TargetDisk> DiskInventory::list(const std::vector<std::string>& extraProtectedPaths,
                                            DiskFacts& facts) {
    std::vector<std::string> paths = facts.systemPaths();
    paths.push_back(facts.homeDirectory());
    paths.insert(paths.end(), extraProtectedPaths.begin(), extraProtectedPaths.end());
    std::set<std::string> protectedSet = protectedDisks(paths, facts);

    Json listing = facts.listing();
    if (!listing.is_object()) throw ImagerError("Invalid system information.");
    const Json* wholeDisks = member(listing, "WholeDisks");
    bool wellFormed =
        wholeDisks != nullptr && wholeDisks->is_array() && wholeDisks->size() <= kMaxWholeDisks;
    if (wellFormed)
        for (const Json& name : *wholeDisks) wellFormed = wellFormed && name.is_string();
    if (!wellFormed) throw ImagerError("Invalid external drive inventory.");

    std::vector<TargetDisk> targets;
    for (const Json& entry : *wholeDisks) {
        std::string identifier = entry.get<std::string>();
        if (!platform::isListedWholeDiskName(identifier))
            throw ImagerError("Invalid device identifier.");
        Json info = facts.info(identifier);
        if (!info.is_object()) throw ImagerError("Invalid system information.");
        // The identity was read under the listed name; facts about another disk never pair with it.
        if (lowerAscii(text(info, "DeviceIdentifier").value_or("")) != lowerAscii(identifier))
            continue;
        if (auto target = candidate(info, protectedSet, facts.registryID(identifier)))
            targets.push_back(std::move(*target));
    }
    return targets;
}

}  // namespace korvex
