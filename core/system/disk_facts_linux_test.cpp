// The Linux disk facts: what lsblk, findmnt and sysfs say, turned into the facts the rules judge.
// First over outputs the tools printed on machines we describe (LUKS, LVM, RAID, btrfs, overlay,
// network and loop roots), then against this machine and its loop devices.
#include "core/system/disk_facts_linux.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>
#include <set>

#include "core/records/imager_error.hpp"
#include "core/system/disk_inventory.hpp"
#include "tests/loop_as_usb_facts.hpp"
#include "tests/test_support.hpp"

namespace korvex {
namespace {

using korvex::testing::failureOf;

using json::Json;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

// A machine that answers with what its tools printed.
class ReplayProbe : public LinuxProbe {
  public:
    std::map<std::string, std::string> outputs;   // "tool arg arg ..." -> standard output
    std::map<std::string, std::string> failures;  // "tool arg arg ..." -> the runner's error
    std::map<std::string, std::string> files;
    std::map<std::string, std::string> links;  // sysfs entries and symbolic links
    std::set<std::string> blockDevices;
    std::set<std::string> existing{"/", "/boot", "/usr", "/var"};
    std::string home = "/home/ada";

    std::string run(const std::string& tool, const std::vector<std::string>& arguments) override {
        std::string line = tool;
        for (const auto& a : arguments) line += " " + a;
        if (auto f = failures.find(line); f != failures.end()) throw ImagerError(f->second);
        auto it = outputs.find(line);
        if (it == outputs.end()) throw std::runtime_error("unexpected command: " + line);
        return it->second;
    }
    std::optional<std::string> readFile(const std::string& path) override {
        auto it = files.find(path);
        if (it == files.end()) return std::nullopt;
        return it->second;
    }
    std::optional<std::string> resolveLink(const std::string& path) override {
        auto it = links.find(path);
        if (it == links.end()) return std::nullopt;
        return it->second;
    }
    std::string resolvePath(const std::string& path) override {
        auto it = links.find(path);
        return it == links.end() ? path : it->second;
    }
    bool exists(const std::string& path) override { return existing.count(path) != 0; }
    bool isBlockDevice(const std::string& path) override { return blockDevices.count(path) != 0; }
    std::string homeDirectory() override { return home; }

    // A device: its sysfs entry (physical unless `virtualEntry`) and its node.
    void device(const std::string& name, bool virtualEntry = false) {
        links["/sys/class/block/" + name] =
            (virtualEntry ? "/sys/devices/virtual/block/" : "/sys/devices/pci0000:00/block/") +
            name;
        blockDevices.insert("/dev/" + name);
    }
    void mount(const std::string& path, const std::string& source) {
        outputs[std::string(linux_disk::kFindmnt) + " --json --target " + path] = Json{
            {"filesystems",
             {{{"target", path}, {"source", source}, {"fstype", "ext4"}}}}}.dump();
    }
    void inverse(const std::string& device, const Json& tree) {
        outputs[lsblk("--inverse", device)] = Json{{"blockdevices", Json::array({tree})}}.dump(3);
    }
    static std::string lsblk(const std::string& option, const std::string& device) {
        std::string line = std::string(linux_disk::kLsblk) + " --json --bytes";
        if (!option.empty()) line += " " + option;
        line += " --output " + std::string(linux_disk::kColumns);
        if (!device.empty()) line += " " + device;
        return line;
    }
};

// One lsblk node as util-linux 2.38 prints it with --json --bytes.
Json node(const std::string& name, const std::string& type, Json tran = nullptr,
          bool hotplug = false, std::vector<Json> children = {}) {
    Json n{{"name", name},     {"path", "/dev/" + name}, {"type", type},
           {"tran", tran},     {"rm", hotplug},          {"hotplug", hotplug},
           {"ro", false},      {"size", 31914983424ULL}, {"vendor", nullptr},
           {"model", nullptr}, {"pkname", nullptr},      {"mountpoints", Json::array({nullptr})}};
    if (!children.empty()) n["children"] = children;
    return n;
}

TEST(LinuxDiskFactsTest, ListsHotPluggablePhysicalDisksAndDescribesThem) {
    ReplayProbe probe;
    Json stick = node("sdb", "disk", "usb", true);
    stick["vendor"] = "SanDisk ";
    stick["model"] = "  Cruzer Blade  ";
    Json card = node("mmcblk0", "disk", "mmc", true);
    // A board's eMMC: the disk and the hardware partitions that lsblk also types "disk".
    Json emmc = node("mmcblk1", "disk", "mmc", true);
    std::vector<Json> emmcAreas;
    for (const char* area : {"mmcblk1boot0", "mmcblk1boot1", "mmcblk1rpmb"}) {
        emmcAreas.push_back(node(area, "disk", "mmc", true));
        probe.device(area);
    }
    probe.files["/sys/block/mmcblk0/device/type"] = "SD\n";
    probe.files["/sys/block/mmcblk1/device/type"] = "MMC\n";
    Json nvme = node("nvme0n1", "disk", "nvme");
    Json loop = node("loop0", "loop");
    loop["hotplug"] = true;
    Json zram = node("zram0", "disk", nullptr, true);
    Json sata = node("sda", "disk", "sata");
    sata["hotplug"] = nullptr;
    Json part = node("sdb1", "part", "usb", true);
    probe.outputs[ReplayProbe::lsblk("--nodeps", "")] = Json{
        {"blockdevices",
         {stick, nvme, loop, zram, sata, card, part, emmc, emmcAreas[0], emmcAreas[1],
          emmcAreas[2]}}}.dump();
    for (const char* name : {"sdb", "mmcblk0", "nvme0n1", "sda", "sdb1", "mmcblk1"})
        probe.device(name);
    probe.device("loop0", true);
    probe.device("zram0", true);
    LinuxDiskFacts facts(probe);

    EXPECT_EQ(facts.listing(), (Json{{"WholeDisks", {"sdb", "mmcblk0", "mmcblk1"}}}));

    EXPECT_EQ(facts.nodeInfo(stick), (Json{{"DeviceIdentifier", "sdb"},
                                           {"WholeDisk", true},
                                           {"Internal", false},
                                           {"VirtualOrPhysical", "Physical"},
                                           {"Writable", true},
                                           {"TotalSize", 31914983424ULL},
                                           {"BusProtocol", "USB"},
                                           {"MediaName", "SanDisk Cruzer Blade"},
                                           {"ParentWholeDisk", "sdb"}}));
    Json cardInfo = facts.nodeInfo(card);
    EXPECT_EQ(cardInfo["BusProtocol"], "SD");
    EXPECT_EQ(cardInfo["MediaName"], "");
    EXPECT_EQ(facts.nodeInfo(emmc)["BusProtocol"], "MMC");
    probe.files.erase("/sys/block/mmcblk0/device/type");  // unreadable: not taken for a card
    EXPECT_EQ(facts.nodeInfo(card)["BusProtocol"], "MMC");
    for (const char* area : {"mmcblk12boot10", "mmcblk0rpmb"})
        EXPECT_TRUE(linux_disk::isEmmcHardwarePartition(area)) << area;
    for (const char* disk : {"mmcblk0", "mmcblk0p1", "mmcblkboot0", "mmcblk0boot", "mmcblk0rpmb1"})
        EXPECT_FALSE(linux_disk::isEmmcHardwarePartition(disk)) << disk;
    EXPECT_EQ(facts.nodeInfo(nvme)["BusProtocol"], "NVME");
    EXPECT_EQ(facts.nodeInfo(nvme)["Internal"], true);
    EXPECT_FALSE(facts.nodeInfo(sata).contains("Internal"));
    EXPECT_EQ(facts.nodeInfo(sata)["BusProtocol"], "SATA");
    EXPECT_EQ(facts.nodeInfo(loop)["VirtualOrPhysical"], "Virtual");
    EXPECT_EQ(facts.nodeInfo(zram)["VirtualOrPhysical"], "Virtual");
    EXPECT_EQ(facts.nodeInfo(node("sdq", "disk"))["VirtualOrPhysical"], "Virtual")
        << "a device without a sysfs entry is not taken for a physical one";
    part["pkname"] = "sdb";
    Json partInfo = facts.nodeInfo(part);
    EXPECT_EQ(partInfo["WholeDisk"], false);
    EXPECT_EQ(partInfo["ParentWholeDisk"], "sdb");
    Json readOnly = stick;
    readOnly["ro"] = true;
    EXPECT_EQ(facts.nodeInfo(readOnly)["Writable"], false);

    // One disk's information is the one node lsblk prints for it.
    probe.outputs[ReplayProbe::lsblk("--nodeps", "/dev/sdb")] =
        Json{{"blockdevices", Json::array({stick})}}.dump();
    EXPECT_EQ(facts.info("sdb")["MediaName"], "SanDisk Cruzer Blade");
    probe.outputs[ReplayProbe::lsblk("--nodeps", "/dev/sdb")] =
        Json{{"blockdevices", Json::array()}}.dump();
    EXPECT_EQ(failureOf([&] { facts.info("sdb"); }), "Invalid system information.");
    probe.outputs[ReplayProbe::lsblk("--nodeps", "/dev/sdb")] = "[1]";
    EXPECT_EQ(failureOf([&] { facts.info("sdb"); }), "Invalid system information.");
    EXPECT_EQ(failureOf([&] { facts.info("../sda"); }), "Invalid system information.");
}

TEST(LinuxDiskFactsTest, ReadsTheDiskSequenceStrictly) {
    ReplayProbe probe;
    LinuxDiskFacts facts(probe);
    probe.files["/sys/class/block/sdb/diskseq"] = "17\n";
    EXPECT_EQ(facts.registryID("sdb"), 17u);
    for (const char* text : {"0\n", "", "x1", "-3", "18446744073709551616", "1 2"}) {
        probe.files["/sys/class/block/sdb/diskseq"] = text;
        EXPECT_EQ(facts.registryID("sdb"), std::nullopt) << text;
    }
    probe.files["/sys/class/block/sdb/diskseq"] = "18446744073709551615";
    EXPECT_EQ(facts.registryID("sdb"), 18446744073709551615u);
    EXPECT_EQ(facts.registryID("sdc"), std::nullopt);
    EXPECT_EQ(facts.registryID(".."), std::nullopt);
}

// A machine whose system, home and image live on device stacks, with USB sticks sdb, sdc, sdd.
struct StackedMachine {
    ReplayProbe probe;
    StackedMachine() {
        for (const char* name : {"nvme0n1", "nvme0n1p2", "sda", "sda1", "sdb", "sdb1", "sdb2",
                                 "sdc", "sdc1", "sdd", "md127"})
            probe.device(name);
        probe.device("dm-0", true);
        probe.blockDevices.insert("/dev/mapper/cryptroot");
        probe.blockDevices.insert("/dev/mapper/vg-var");
        // / on LUKS on the NVMe disk.
        probe.mount("/", "/dev/mapper/cryptroot");
        probe.inverse(
            "/dev/mapper/cryptroot",
            node("cryptroot", "crypt", nullptr, false,
                 {node("nvme0n1p2", "part", "nvme", false, {node("nvme0n1", "disk", "nvme")})}));
        // /var on LVM on RAID 1 over sda1 and a partition of the USB disk sdb.
        probe.mount("/var", "/dev/mapper/vg-var");
        probe.inverse(
            "/dev/mapper/vg-var",
            node("vg-var", "lvm", nullptr, false,
                 {node("md127", "raid1", nullptr, false,
                       {node("sda1", "part", "sata", false, {node("sda", "disk", "sata")}),
                        node("sdb1", "part", "usb", true, {node("sdb", "disk", "usb", true)})})}));
        // /boot and /usr on the root file system.
        probe.mount("/boot", "/dev/mapper/cryptroot");
        probe.mount("/usr", "/dev/mapper/cryptroot");
        // Home on a btrfs subvolume of the USB disk sdc.
        probe.mount("/home/ada", "/dev/sdc1[/@home]");
        probe.inverse("/dev/sdc1",
                      node("sdc1", "part", "usb", true, {node("sdc", "disk", "usb", true)}));
        // The image on the root file system.
        probe.mount("/home/ada/image.img", "/dev/mapper/cryptroot");
        probe.links["/home/ada/link.img"] = "/home/ada/image.img";

        Json disks = Json::array();
        for (const char* name : {"sdb", "sdc", "sdd"}) {
            Json disk = node(name, "disk", "usb", true);
            disks.push_back(disk);
            probe.outputs[ReplayProbe::lsblk("--nodeps", std::string("/dev/") + name)] =
                Json{{"blockdevices", Json::array({disk})}}.dump();
            probe.files[std::string("/sys/class/block/") + name + "/diskseq"] = "30\n";
        }
        probe.outputs[ReplayProbe::lsblk("--nodeps", "")] = Json{{"blockdevices", disks}}.dump();
    }
};

TEST(LinuxDiskFactsTest, ProtectsDisksThroughPartitionsLuksLvmRaidAndBtrfsSubvolumes) {
    StackedMachine machine;
    LinuxDiskFacts facts(machine.probe);

    EXPECT_THAT(facts.systemPaths(), ElementsAre("/", "/boot", "/usr", "/var"));
    EXPECT_THAT(DiskInventory::protectedDisks({"/"}, facts), ElementsAre("nvme0n1"));
    EXPECT_THAT(DiskInventory::protectedDisks({"/var"}, facts), ElementsAre("sda", "sdb"));
    EXPECT_THAT(DiskInventory::protectedDisks({"/home/ada"}, facts), ElementsAre("sdc"));

    // Only sdd is neither behind the system's volumes nor behind the home.
    std::vector<TargetDisk> drives = DiskInventory::list({"/home/ada/link.img"}, facts);
    ASSERT_EQ(drives.size(), 1u);
    EXPECT_EQ(drives[0], (TargetDisk{"sdd", "External drive", 31914983424ULL, 30, "USB"}));

    // The image behind a link is protected where the link leads: here, on the stick sdd.
    machine.probe.links["/home/ada/link.img"] = "/media/ada/STICK/image.img";
    machine.probe.mount("/media/ada/STICK/image.img", "/dev/sdd");
    machine.probe.device("sdd");
    machine.probe.inverse("/dev/sdd", node("sdd", "disk", "usb", true));
    EXPECT_THAT(DiskInventory::list({"/home/ada/link.img"}, facts), IsEmpty());
}

TEST(LinuxDiskFactsTest, RefusesEveryDriveWhenTheRootIsNotOnAPhysicalDisk) {
    struct Case {
        std::string what;
        std::function<void(ReplayProbe&)> arrange;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"overlay root", [](ReplayProbe& p) { p.mount("/", "overlay"); },
         "Cannot establish protected system disks."},
        {"network root", [](ReplayProbe& p) { p.mount("/", "server:/export/root"); },
         "Cannot establish protected system disks."},
        {"memory root", [](ReplayProbe& p) { p.mount("/", "tmpfs"); },
         "Cannot establish protected system disks."},
        {"a /dev/root that is no device node", [](ReplayProbe& p) { p.mount("/", "/dev/root"); },
         "Cannot establish protected system disks."},
        {"loop root",
         [](ReplayProbe& p) {
             p.device("loop0", true);
             p.mount("/", "/dev/loop0");
             p.inverse("/dev/loop0", node("loop0", "loop"));
         },
         "Cannot resolve a physical disk."},  // a loop device is no disk
        {"root on a virtual disk",
         [](ReplayProbe& p) {
             p.device("vdz", true);
             p.mount("/", "/dev/vdz");
             p.inverse("/dev/vdz", node("vdz", "disk"));
         },
         "Cannot establish physical backing disks."},
        {"root on a partition of a loop device",
         [](ReplayProbe& p) {
             p.device("loop0", true);
             p.device("loop0p1", true);
             p.mount("/", "/dev/loop0p1");
             p.inverse("/dev/loop0p1",
                       node("loop0p1", "part", nullptr, false, {node("loop0", "loop")}));
         },
         "Cannot resolve a physical disk."},
        {"malformed tree",
         [](ReplayProbe& p) {
             p.mount("/", "/dev/mapper/cryptroot");
             p.inverse("/dev/mapper/cryptroot",
                       node("cryptroot", "crypt", nullptr, false, {Json(17)}));
         },
         "Cannot resolve a backing store."},
        {"no file system found",
         [](ReplayProbe& p) {
             p.outputs[std::string(linux_disk::kFindmnt) + " --json --target /"] =
                 R"({"filesystems": []})";
         },
         "Cannot resolve the protected volume."},
        {"findmnt prints a list",
         [](ReplayProbe& p) {
             p.outputs[std::string(linux_disk::kFindmnt) + " --json --target /"] = "[]";
         },
         "Invalid system information."},
    };
    for (const Case& c : cases) {
        StackedMachine machine;
        c.arrange(machine.probe);
        LinuxDiskFacts facts(machine.probe);
        EXPECT_EQ(failureOf([&] { DiskInventory::list({}, facts); }), c.message) << c.what;
    }
}

TEST(LinuxDiskFactsTest, ADiskThatVanishesBetweenTheQueriesFailsTheWholeListing) {
    StackedMachine machine;
    machine.probe.failures[ReplayProbe::lsblk("--nodeps", "/dev/sdc")] =
        "System query failed: lsblk: /dev/sdc: not a block device\n";
    LinuxDiskFacts facts(machine.probe);
    EXPECT_EQ(failureOf([&] { DiskInventory::list({}, facts); }),
              "System query failed: lsblk: /dev/sdc: not a block device\n");
}

TEST(LinuxDiskFactsTest, FindsEveryMountPointOfADiskOnceInUnmountOrder) {
    ReplayProbe probe;
    Json part1 = node("sdb1", "part", "usb", true);
    part1["mountpoints"] = Json::array({"/media/ada/A", "/mnt/a"});
    Json part2 = node("sdb2", "part", "usb", true);
    part2["mountpoints"] = Json::array({"[SWAP]"});
    Json crypt = node("luks-1", "crypt");
    crypt["mountpoints"] = Json::array({"/mnt/a/b", "/media/ada/A"});
    Json part3 = node("sdb3", "part", "usb", true, {crypt});
    probe.outputs[ReplayProbe::lsblk("", "/dev/sdb")] = Json{
        {"blockdevices",
         Json::array({node("sdb", "disk", "usb", true,
                           {part1, part2, part3})})}}.dump();
    LinuxDiskFacts facts(probe);
    EXPECT_THAT(facts.mountPoints("sdb"), ElementsAre("/mnt/a/b", "/mnt/a", "/media/ada/A"));
}

// ---- this machine ----

// The whole disks under a block device, found through sysfs alone (partition → parent, stacked
// device → its slaves), as an independent check of what lsblk led us to.
void wholeDisksUnder(const std::filesystem::path& sysfsDevice, std::set<std::string>& into) {
    namespace fs = std::filesystem;
    fs::path real = fs::canonical(sysfsDevice);
    if (fs::exists(real / "partition")) real = real.parent_path();
    fs::path slaves = real / "slaves";
    if (fs::exists(slaves) && !fs::is_empty(slaves)) {
        for (const auto& slave : fs::directory_iterator(slaves))
            wholeDisksUnder(slave.path(), into);
        return;
    }
    into.insert(real.filename().string());
}

TEST(LinuxDiskFactsTest, OnThisMachineProtectsTheRootDiskAndListsNoVirtualOrInternalDisk) {
    DiskFacts& facts = DiskFacts::system();
    struct stat root {};
    ASSERT_EQ(stat("/", &root), 0);
    std::string sysfs = "/sys/dev/block/" + std::to_string(major(root.st_dev)) + ":" +
                        std::to_string(minor(root.st_dev));
    if (!std::filesystem::exists(sysfs))
        GTEST_SKIP() << "the root file system is on no block device";

    std::set<std::string> expected;
    wholeDisksUnder(sysfs, expected);
    std::vector<std::string> paths = facts.systemPaths();
    ASSERT_EQ(paths.front(), "/");
    std::set<std::string> protectedSet = DiskInventory::protectedDisks(paths, facts);
    for (const std::string& disk : expected) EXPECT_EQ(protectedSet.count(disk), 1u) << disk;

    std::vector<TargetDisk> drives = DiskInventory::list({}, facts);
    for (const TargetDisk& drive : drives) {
        EXPECT_EQ(protectedSet.count(drive.bsd), 0u);
        auto real = std::filesystem::canonical("/sys/class/block/" + drive.bsd).string();
        EXPECT_EQ(real.find("/virtual/"), std::string::npos) << drive.bsd;
        EXPECT_NE(drive.bsd.rfind("loop", 0), 0u) << drive.bsd;
    }
}

TEST(LinuxDiskFactsTest, OnThisMachineNeverListsALoopDevice) {
    KVI_REQUIRE_ROOT();
    testing::TempDir dir;
    testing::writeFile(dir.file("disk"), std::string(4 << 20, '\0'));
    testing::LoopDevice loop(dir.file("disk"));
    DiskFacts& facts = DiskFacts::system();
    EXPECT_THAT(facts.listing()["WholeDisks"], ::testing::Not(::testing::Contains(loop.name())));
    EXPECT_EQ(facts.info(loop.name())["VirtualOrPhysical"], "Virtual");
    EXPECT_NE(facts.registryID(loop.name()), std::nullopt);
    for (const TargetDisk& drive : DiskInventory::list({}, facts))
        EXPECT_NE(drive.bsd, loop.name());
}

// ---- the final open, on loop devices ----

int openDescriptorCount() {
    int count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
        ++count;
    return count;
}

TEST(DiskOpenTest, OpensTheListedDiskExclusivelyAndProvesItsIdentity) {
    KVI_REQUIRE_ROOT();
    testing::TempDir dir;
    const std::uint64_t size = 8 << 20;
    testing::writeFile(dir.file("disk"), std::string(size, '\0'));
    testing::LoopDevice loop(dir.file("disk"), 4096);
    testing::LoopAsUsbFacts facts(loop.name());
    std::uint64_t sequence = *facts.registryID(testing::kTestDriveName);
    TargetDisk target{testing::kTestDriveName, "Loop", size, sequence, "USB"};

    {
        UniqueFd fd = DiskInventory::openFinal(target, facts);
        int flags = fcntl(fd.get(), F_GETFL);
        EXPECT_EQ(flags & O_NONBLOCK, 0);
        EXPECT_NE(flags & O_DIRECT, 0);
        EXPECT_EQ(flags & O_ACCMODE, O_RDWR);
        // Held exclusively: a second claim fails while the first lasts.
        EXPECT_EQ(failureOf([&] { DiskInventory::openFinal(target, facts); }),
                  "Cannot lock the drive. Close apps using it, reconnect it and retry.");
    }

    int before = openDescriptorCount();
    const std::string changed = "Final device identity or capacity changed.";
    const std::vector<std::function<void(TargetDisk&)>> changes = {
        [&](TargetDisk& t) { t.capacity = size - 4096; },  // another card in the same reader
        [&](TargetDisk& t) { t.registryID = sequence + 1; },
        [&](TargetDisk& t) { t.registryID = 0; },
        [&](TargetDisk& t) { t.bsd = "../loop0"; },
    };
    for (std::size_t i = 0; i < changes.size(); ++i) {
        TargetDisk wrong = target;
        changes[i](wrong);
        EXPECT_EQ(failureOf([&] { DiskInventory::openFinal(wrong, facts); }), changed) << i;
    }
    EXPECT_EQ(openDescriptorCount(), before);

    // A name whose node is gone cannot be claimed: without its loop device, sdkv has none.
    testing::LoopAsUsbFacts missing("");
    EXPECT_EQ(failureOf([&] { DiskInventory::openFinal(target, missing); }),
              "Cannot lock the drive. Close apps using it, reconnect it and retry.");
}

}  // namespace
}  // namespace korvex
