// The drive rules over facts written here: which disks are listed, which are protected, and when
// the whole listing fails.
#include "core/system/disk_inventory.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <map>

#include "core/records/imager_error.hpp"
#include "tests/test_support.hpp"

namespace korvex {
namespace {

using korvex::testing::failureOf;

using json::Json;

// A machine described entirely by the test.
class FixtureFacts : public DiskFacts {
  public:
    std::vector<std::string> system{"/"};
    std::string home = "/home/ada";
    Json disks = Json{{"WholeDisks", Json::array()}};
    std::map<std::string, Json> infos;
    std::map<std::string, std::string> failingInfos;  // id -> what the tool reported
    std::map<std::string, std::optional<Json>> volumes;
    std::map<std::string, std::uint64_t> sequences;
    int infoQueries = 0;

    std::vector<std::string> systemPaths() override { return system; }
    std::string homeDirectory() override { return home; }
    Json listing() override { return disks; }
    Json info(const std::string& id) override {
        ++infoQueries;
        if (auto failing = failingInfos.find(id); failing != failingInfos.end())
            throw ImagerError(failing->second);
        return infos.at(id);
    }
    std::optional<Json> volume(const std::string& path) override { return volumes.at(path); }
    std::optional<std::uint64_t> registryID(const std::string& id) override {
        auto it = sequences.find(id);
        if (it == sequences.end() || it->second == 0) return std::nullopt;
        return it->second;
    }
    std::string devicePath(const std::string& id) override { return "/dev/" + id; }
    std::vector<std::string> mountPoints(const std::string&) override { return {}; }
};

Json wholeDisk(const std::string& id, bool internal, const std::string& bus) {
    return Json{{"DeviceIdentifier", id}, {"WholeDisk", true},
                {"Internal", internal},   {"VirtualOrPhysical", "Physical"},
                {"Writable", true},       {"TotalSize", 32000000000ULL},
                {"BusProtocol", bus},     {"MediaName", "Stick"},
                {"ParentWholeDisk", id}};
}

// A volume on a partition of `disk`.
Json volumeOn(const std::string& partition, const std::vector<std::string>& disks) {
    Json stores = Json::array();
    for (const auto& disk : disks) stores.push_back(wholeDisk(disk, true, "NVME"));
    return Json{{"DeviceIdentifier", partition},
                {"WholeDisk", false},
                {"ParentWholeDisk", disks.front()},
                {"BackingStores", stores}};
}

// The usual laptop: system and home on the internal NVMe disk, one USB stick "sdb".
FixtureFacts laptop() {
    FixtureFacts facts;
    facts.volumes["/"] = volumeOn("nvme0n1p2", {"nvme0n1"});
    facts.volumes["/home/ada"] = volumeOn("nvme0n1p3", {"nvme0n1"});
    facts.volumes["/home/ada/image.img"] = volumeOn("nvme0n1p3", {"nvme0n1"});
    facts.infos["nvme0n1"] = wholeDisk("nvme0n1", true, "NVME");
    facts.infos["sdb"] = wholeDisk("sdb", false, "USB");
    facts.sequences["sdb"] = 41;
    facts.disks = Json{{"WholeDisks", {"sdb"}}};
    return facts;
}

TEST(DiskInventoryTest, ListsUsbSticksAndSdCardsWithTheirNames) {
    FixtureFacts facts = laptop();
    // 150 ASCII letters then 20 two-byte letters: the cut falls on characters, not bytes.
    std::string longName = std::string(150, 'K');
    for (int i = 0; i < 20; ++i) longName += "\xC3\xA9";
    facts.infos["sdb"]["MediaName"] = longName;
    facts.infos["mmcblk0"] = wholeDisk("mmcblk0", false, "SD");
    facts.infos["mmcblk0"]["MediaName"] = "";
    facts.infos["sdc"] = wholeDisk("sdc", false, "Secure Digital");
    facts.infos["sdc"].erase("MediaName");
    facts.sequences["mmcblk0"] = 7;
    facts.sequences["sdc"] = 9;
    facts.disks = Json{{"WholeDisks", {"sdb", "mmcblk0", "sdc"}}};

    std::vector<TargetDisk> drives = DiskInventory::list({"/home/ada/image.img"}, facts);

    std::string expectedName = std::string(150, 'K');
    for (int i = 0; i < 10; ++i) expectedName += "\xC3\xA9";
    EXPECT_THAT(drives,
                ::testing::ElementsAre(
                    TargetDisk{"sdb", expectedName, 32000000000ULL, 41, "USB"},
                    TargetDisk{"mmcblk0", "External drive", 32000000000ULL, 7, "SD"},
                    TargetDisk{"sdc", "External drive", 32000000000ULL, 9, "Secure Digital"}));
}

TEST(DiskInventoryTest, LeavesOutEveryDiskThatIsNotAnExternalPhysicalWritableWholeDisk) {
    const std::vector<std::pair<std::string, std::function<void(Json&)>>> refusals = {
        {"internal SATA disk", [](Json& d) { d["Internal"] = true, d["BusProtocol"] = "SATA"; }},
        {"no Internal fact", [](Json& d) { d.erase("Internal"); }},
        {"Internal as text", [](Json& d) { d["Internal"] = "false"; }},
        {"virtual disk", [](Json& d) { d["VirtualOrPhysical"] = "Virtual"; }},
        {"read-only", [](Json& d) { d["Writable"] = false; }},
        {"a partition", [](Json& d) { d["WholeDisk"] = false; }},
        {"WholeDisk missing", [](Json& d) { d.erase("WholeDisk"); }},
        {"Thunderbolt", [](Json& d) { d["BusProtocol"] = "Thunderbolt"; }},
        {"usb in lower case", [](Json& d) { d["BusProtocol"] = "usb"; }},
        {"no bus", [](Json& d) { d.erase("BusProtocol"); }},
        {"size as text", [](Json& d) { d["TotalSize"] = "32000000000"; }},
        {"negative size", [](Json& d) { d["TotalSize"] = -1; }},
        {"empty medium", [](Json& d) { d["TotalSize"] = 0; }},
        {"another identifier", [](Json& d) { d["DeviceIdentifier"] = "sdc"; }},
    };
    for (const auto& [what, change] : refusals) {
        FixtureFacts facts = laptop();
        change(facts.infos["sdb"]);
        EXPECT_THAT(DiskInventory::list({}, facts), ::testing::IsEmpty()) << what;
    }

    for (std::optional<std::uint64_t> sequence :
         {std::optional<std::uint64_t>(0), std::optional<std::uint64_t>()}) {
        FixtureFacts facts = laptop();
        facts.sequences.erase("sdb");
        if (sequence) facts.sequences["sdb"] = *sequence;
        EXPECT_THAT(DiskInventory::list({}, facts), ::testing::IsEmpty());
    }

    // Names the listing can never offer, judged directly.
    std::set<std::string> nvme{"nvme0n1"};
    EXPECT_FALSE(DiskInventory::candidate(wholeDisk("nvme1n1", false, "USB"), nvme, 3));
    EXPECT_FALSE(DiskInventory::candidate(wholeDisk("sdb1", false, "USB"), nvme, 3));
    EXPECT_FALSE(DiskInventory::candidate(Json::object(), nvme, 3));
    EXPECT_FALSE(DiskInventory::candidate(Json::array(), nvme, 3));
    // With nothing known to be protected, nothing is safe.
    EXPECT_FALSE(DiskInventory::candidate(wholeDisk("sdb", false, "USB"), {}, 3));
    EXPECT_TRUE(DiskInventory::candidate(wholeDisk("sdb", false, "USB"), nvme, 3));
}

TEST(DiskInventoryTest, NeverListsTheDiskBehindTheRootTheHomeOrTheImage) {
    struct Case {
        std::string what;
        std::function<void(FixtureFacts&)> arrange;
    };
    const std::vector<Case> cases = {
        {"image on the stick",
         [](FixtureFacts& f) { f.volumes["/home/ada/image.img"] = volumeOn("sdb1", {"sdb"}); }},
        {"home on the stick",
         [](FixtureFacts& f) { f.volumes["/home/ada"] = volumeOn("sdb2", {"sdb"}); }},
        {"root on the stick", [](FixtureFacts& f) { f.volumes["/"] = volumeOn("sdb2", {"sdb"}); }},
        {"root on RAID over the stick and the NVMe disk",
         [](FixtureFacts& f) {
             f.volumes["/"] = volumeOn("md127", {"nvme0n1", "sdb"});
         }},
        {"home on the whole stick without a partition table",
         [](FixtureFacts& f) {
             f.volumes["/home/ada"] = Json{{"DeviceIdentifier", "sdb"}, {"WholeDisk", true}};
         }},
        {"image on a partition found through its parent",
         [](FixtureFacts& f) {
             f.volumes["/home/ada/image.img"] = Json{
                 {"DeviceIdentifier", "sdb1"}, {"WholeDisk", false}, {"ParentWholeDisk", "sdb"}};
         }},
    };
    for (const Case& c : cases) {
        FixtureFacts facts = laptop();
        c.arrange(facts);
        EXPECT_THAT(DiskInventory::list({"/home/ada/image.img"}, facts), ::testing::IsEmpty())
            << c.what;
    }
    // Control: the same stick, protecting nothing of it, is listed.
    FixtureFacts facts = laptop();
    EXPECT_THAT(DiskInventory::list({"/home/ada/image.img"}, facts), ::testing::SizeIs(1));
}

TEST(DiskInventoryTest, RefusesEveryDriveWhenTheSystemDisksCannotBeEstablished) {
    struct Case {
        std::string what;
        std::optional<Json> root;
        std::string message;
    };
    Json loopStore = wholeDisk("loop0", true, "");
    loopStore["VirtualOrPhysical"] = "Virtual";
    Json partitionStore = wholeDisk("sda", true, "SATA");
    partitionStore["WholeDisk"] = false;
    Json badParent = wholeDisk("sda", true, "SATA");
    badParent["ParentWholeDisk"] = "mapper/vg-root";
    const std::vector<Case> cases = {
        {"no volume", std::nullopt, "Cannot resolve the protected volume."},
        {"overlay root", Json{{"VolumeSource", "overlay"}},
         "Cannot establish protected system disks."},
        {"network root", Json{{"VolumeSource", "server:/export"}},
         "Cannot establish protected system disks."},
        {"root on a loop device",
         Json{{"DeviceIdentifier", "loop0"},
              {"WholeDisk", true},
              {"BackingStores", Json::array({loopStore})}},
         "Cannot establish physical backing disks."},
        {"malformed store", Json{{"BackingStores", Json::array({Json::object()})}},
         "Cannot resolve a backing store."},
        {"store that is no object", Json{{"BackingStores", Json::array({"sda"})}},
         "Cannot resolve a backing store."},
        {"store that is a partition", Json{{"BackingStores", Json::array({partitionStore})}},
         "Cannot resolve a physical disk."},
        {"store with a malformed parent", Json{{"BackingStores", Json::array({badParent})}},
         "Cannot resolve a physical disk."},
        {"partition whose parent is virtual",
         Json{{"DeviceIdentifier", "vdb1"}, {"WholeDisk", false}, {"ParentWholeDisk", "zram0"}},
         "Cannot establish physical backing disks."},
    };
    for (const Case& c : cases) {
        FixtureFacts facts = laptop();
        facts.volumes["/"] = c.root;
        Json zram = wholeDisk("zram0", true, "");
        zram["VirtualOrPhysical"] = "Virtual";
        facts.infos["zram0"] = zram;
        EXPECT_EQ(failureOf([&] { DiskInventory::list({}, facts); }), c.message) << c.what;
    }

    FixtureFacts facts = laptop();
    EXPECT_EQ(failureOf([&] { DiskInventory::protectedDisks({}, facts); }),
              "System disk protection is unavailable.");
}

TEST(DiskInventoryTest, FailsTheWholeListingOnAMalformedInventory) {
    FixtureFacts facts = laptop();
    facts.infos.clear();
    facts.infos["nvme0n1"] = wholeDisk("nvme0n1", true, "NVME");
    Json names = Json::array();
    for (char a = 'a'; a <= 'z' && names.size() < 129; ++a)
        for (char b = 'a'; b <= 'z' && names.size() < 129; ++b) {
            std::string id = std::string("sd") + a + b;
            names.push_back(id);
            facts.infos[id] = wholeDisk(id, false, "USB");
            facts.sequences[id] = names.size();
        }

    Json first128 = names;
    first128.erase(first128.size() - 1);
    facts.disks = Json{{"WholeDisks", first128}};
    EXPECT_THAT(DiskInventory::list({}, facts), ::testing::SizeIs(128));

    facts.disks = Json{{"WholeDisks", names}};
    EXPECT_EQ(failureOf([&] { DiskInventory::list({}, facts); }),
              "Invalid external drive inventory.");

    for (const Json& bad : {Json::object(), Json{{"WholeDisks", "sdb"}},
                            Json{{"WholeDisks", Json::array({"sdb", 3})}}}) {
        facts.disks = bad;
        EXPECT_EQ(failureOf([&] { DiskInventory::list({}, facts); }),
                  "Invalid external drive inventory.")
            << bad.dump();
    }
    facts.disks = Json::array({"sdb"});
    EXPECT_EQ(failureOf([&] { DiskInventory::list({}, facts); }), "Invalid system information.");

    // A partition in the list fails everything, even after a good disk.
    facts.disks = Json{{"WholeDisks", {"sdaa", "sda1"}}};
    EXPECT_EQ(failureOf([&] { DiskInventory::list({}, facts); }), "Invalid device identifier.");
    facts.disks = Json{{"WholeDisks", {"sdaa", "nvme0n1"}}};
    EXPECT_EQ(failureOf([&] { DiskInventory::list({}, facts); }), "Invalid device identifier.");

    // A disk that vanished between the two queries: the tool's failure, and no partial list.
    facts.disks = Json{{"WholeDisks", {"sdaa", "sdab"}}};
    facts.failingInfos["sdab"] = "System query failed: lsblk: /dev/sdab: not a block device";
    EXPECT_EQ(failureOf([&] { DiskInventory::list({}, facts); }),
              "System query failed: lsblk: /dev/sdab: not a block device");

    facts.failingInfos.clear();
    facts.infos["sdab"] = Json::array();
    EXPECT_EQ(failureOf([&] { DiskInventory::list({}, facts); }), "Invalid system information.");

    facts.disks = Json{{"WholeDisks", Json::array()}};
    EXPECT_THAT(DiskInventory::list({}, facts), ::testing::IsEmpty());
}

}  // namespace
}  // namespace korvex
