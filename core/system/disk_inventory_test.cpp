// The drive rules over facts written here: which disks are listed or protected, and when none.
#include "core/system/disk_inventory.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>

#include "core/records/imager_error.hpp"
#include "tests/test_support.hpp"

namespace korvex {
namespace {

using json::Json;
using korvex::testing::failureOf;
using ::testing::IsEmpty;

Json wholeDisk(const std::string& id, bool internal, const std::string& bus,
               const std::string& kind = "Physical") {
    return Json{{"DeviceIdentifier", id}, {"WholeDisk", true},    {"Internal", internal},
                {"VirtualOrPhysical", kind}, {"Writable", true}, {"TotalSize", 32000000000ULL},
                {"BusProtocol", bus},       {"MediaName", "Stick"}, {"ParentWholeDisk", id}};
}

// A volume on `partition`, backed by `disks`.
Json volumeOn(const std::string& partition, const std::vector<std::string>& disks) {
    Json stores = Json::array();
    for (const auto& disk : disks) stores.push_back(wholeDisk(disk, true, "NVME"));
    return Json{{"DeviceIdentifier", partition}, {"WholeDisk", false},
                {"ParentWholeDisk", disks.front()}, {"BackingStores", stores}};
}

// A laptop: system, home and image on the internal NVMe disk, and one USB stick, sdb.
struct Laptop : DiskFacts {
    Json disks = Json{{"WholeDisks", {"sdb"}}};
    std::map<std::string, Json> infos{{"nvme0n1", wholeDisk("nvme0n1", true, "NVME")},
                                      {"zram0", wholeDisk("zram0", true, "", "Virtual")},
                                      {"sdb", wholeDisk("sdb", false, "USB")}};  // text: failed
    std::map<std::string, std::optional<Json>> volumes{
        {"/", volumeOn("nvme0n1p2", {"nvme0n1"})},
        {"/home/ada", volumeOn("nvme0n1p3", {"nvme0n1"})},
        {"/home/ada/image.img", volumeOn("nvme0n1p3", {"nvme0n1"})}};
    std::map<std::string, std::uint64_t> sequences{{"sdb", 41}};

    std::vector<std::string> systemPaths() override { return {"/"}; }
    std::string homeDirectory() override { return "/home/ada"; }
    Json listing() override { return disks; }
    Json info(const std::string& id) override {
        if (infos.at(id).is_string()) throw ImagerError(infos.at(id).get<std::string>());
        return infos.at(id);
    }
    std::optional<Json> volume(const std::string& path) override { return volumes.at(path); }
    std::optional<std::uint64_t> registryID(const std::string& id) override {
        return sequences.count(id) != 0 ? std::optional(sequences[id]) : std::nullopt;
    }
    std::string devicePath(const std::string& id) override { return "/dev/" + id; }
    std::vector<std::string> mountPoints(const std::string&) override { return {}; }
};

// Catches an internal, virtual, read-only or partial disk offered, one offered while nothing is
// guarded, a medium name cut inside a character or not at all, and an SD card refused.
TEST(DiskInventory, ListsOnlyExternalPhysicalWritableWholeDisksWithTheirNames) {
    const std::vector<std::pair<std::string, Json>> refusals = {  // null: the fact is missing
        {"Internal", true}, {"Internal", nullptr}, {"Internal", "false"}, {"BusProtocol", "SATA"},
        {"VirtualOrPhysical", "Virtual"}, {"Writable", false}, {"WholeDisk", false},
        {"WholeDisk", nullptr}, {"TotalSize", "32000000000"}, {"TotalSize", -1},
        {"DeviceIdentifier", "sdc"}};
    for (const auto& [key, value] : refusals) {
        Laptop facts;
        if (value.is_null()) facts.infos["sdb"].erase(key);
        else facts.infos["sdb"][key] = value;
        EXPECT_THAT(DiskInventory::list({}, facts), IsEmpty()) << key << " " << value;
    }
    EXPECT_FALSE(DiskInventory::candidate(wholeDisk("sdb", false, "USB"), {}, 3));
    EXPECT_TRUE(DiskInventory::candidate(wholeDisk("sdb", false, "USB"), {"nvme0n1"}, 3));

    Laptop facts;
    std::string name(150, 'K'), cut = name;
    for (int i = 0; i < 20; ++i) name += "\xC3\xA9", cut += i < 10 ? "\xC3\xA9" : "";
    facts.infos["sdb"]["MediaName"] = name;
    facts.infos["mmcblk0"] = wholeDisk("mmcblk0", false, "SD");
    facts.infos["mmcblk0"]["MediaName"] = "";
    facts.infos["sdc"] = wholeDisk("sdc", false, "Secure Digital");
    facts.infos["sdc"].erase("MediaName");
    facts.sequences.insert({{"mmcblk0", 7}, {"sdc", 9}});
    facts.disks = Json{{"WholeDisks", {"sdb", "mmcblk0", "sdc"}}};
    EXPECT_THAT(DiskInventory::list({"/home/ada/image.img"}, facts),
                ::testing::ElementsAre(
                    TargetDisk{"sdb", cut, 32000000000ULL, 41, "USB"},
                    TargetDisk{"mmcblk0", "External drive", 32000000000ULL, 7, "SD"},
                    TargetDisk{"sdc", "External drive", 32000000000ULL, 9, "Secure Digital"}));
}

// Catches the disk behind the root, the home or the image offered when no backing stores are
// named, and any drive offered while the disks under the system are not known physical disks.
TEST(DiskInventory, NeverOffersTheDiskBehindTheRootTheHomeOrTheImage) {
    Json badParent = wholeDisk("sda", true, "SATA");
    badParent["ParentWholeDisk"] = "mapper/vg-root";
    const std::vector<std::tuple<std::string, Json, std::string>> cases = {
        {"/", volumeOn("sdb2", {"sdb"}), "(no failure)"},
        {"/home/ada", Json{{"DeviceIdentifier", "sdb"}, {"WholeDisk", true}}, "(no failure)"},
        {"/home/ada/image.img",
         Json{{"DeviceIdentifier", "sdb1"}, {"WholeDisk", false}, {"ParentWholeDisk", "sdb"}},
         "(no failure)"},
        {"/", Json{{"BackingStores", Json::array({badParent})}}, "Cannot resolve a physical disk."},
        {"/",
         Json{{"DeviceIdentifier", "vdb1"}, {"WholeDisk", false}, {"ParentWholeDisk", "zram0"}},
         "Cannot establish physical backing disks."}};
    for (const auto& [path, volume, failure] : cases) {
        Laptop facts;
        facts.volumes[path] = volume;
        std::vector<TargetDisk> listed;
        EXPECT_EQ(failureOf([&] { listed = DiskInventory::list({"/home/ada/image.img"}, facts); }),
                  failure)
            << volume;
        EXPECT_THAT(listed, IsEmpty()) << volume;
    }
    Laptop control;  // the same stick, protecting nothing of it, is listed
    EXPECT_THAT(DiskInventory::list({"/home/ada/image.img"}, control), ::testing::SizeIs(1));
    EXPECT_EQ(failureOf([&] { DiskInventory::protectedDisks({}, control); }),
              "System disk protection is unavailable.");
}

// Catches a partial list offered when the inventory is malformed, too long or loses a disk.
TEST(DiskInventory, FailsTheWholeListingOnAMalformedInventory) {
    Laptop facts;
    Json names = Json::array();
    for (int i = 0; i < 129; ++i) {
        const std::string id = {'s', 'd', char('a' + i / 26), char('a' + i % 26)};
        names.push_back(id);
        facts.infos[id] = wholeDisk(id, false, "USB");
        facts.sequences[id] = names.size();
    }
    facts.disks = Json{{"WholeDisks", Json(names.begin(), names.end() - 1)}};
    EXPECT_THAT(DiskInventory::list({}, facts), ::testing::SizeIs(128));

    const std::string inventory = "Invalid external drive inventory.",
                      information = "Invalid system information.",
                      identifier = "Invalid device identifier.",
                      failed = "System query failed: lsblk: /dev/sdab: not a block device";
    facts.infos["sdab"] = failed;
    facts.infos["sdac"] = Json::array();
    const std::vector<std::pair<Json, std::string>> cases = {
        {Json{{"WholeDisks", names}}, inventory},
        {Json::object(), inventory},
        {Json{{"WholeDisks", "sdb"}}, inventory},
        {Json{{"WholeDisks", Json::array({"sdb", 3})}}, inventory},
        {Json::array({"sdb"}), information},
        {Json{{"WholeDisks", {"sdaa", "sda1"}}}, identifier},
        {Json{{"WholeDisks", {"sdaa", "nvme0n1"}}}, identifier},
        {Json{{"WholeDisks", {"sdaa", "sdab"}}}, failed},
        {Json{{"WholeDisks", {"sdaa", "sdac"}}}, information}};
    for (const auto& [disks, message] : cases) {
        facts.disks = disks;
        EXPECT_EQ(failureOf([&] { DiskInventory::list({}, facts); }), message) << disks;
    }
    facts.disks = Json{{"WholeDisks", Json::array()}};
    EXPECT_THAT(DiskInventory::list({}, facts), IsEmpty());
}

}  // namespace
}  // namespace korvex
