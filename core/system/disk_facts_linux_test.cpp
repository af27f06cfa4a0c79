// The Linux disk facts from lsblk, findmnt and sysfs output, recorded here and on this machine.
#include "core/system/disk_facts_linux.hpp"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <memory>
#include <set>

#include "core/native/native.h"
#include "core/records/imager_error.hpp"
#include "core/system/disk_inventory.hpp"
#include "tests/loop_as_usb_facts.hpp"
#include "tests/test_support.hpp"

namespace korvex {
namespace {

using json::Json;
using korvex::testing::failureOf;
using ::testing::ElementsAre;

// A machine that answers with what its tools printed.
struct ReplayProbe : LinuxProbe {
    std::map<std::string, std::string> outputs;       // "tool arg arg ..." -> standard output
    std::map<std::string, std::string> files, links;  // sysfs entries; symbolic links
    std::set<std::string> blockDevices, existing{"/", "/boot", "/usr", "/var"};

    std::string run(const std::string& tool, const std::vector<std::string>& arguments) override {
        std::string line = tool;
        for (const auto& a : arguments) line += " " + a;
        if (outputs.count(line) == 0) throw std::runtime_error("unexpected command: " + line);
        return outputs[line];
    }
    std::optional<std::string> readFile(const std::string& path) override {
        return files.count(path) != 0 ? std::optional(files[path]) : std::nullopt;
    }
    std::optional<std::string> resolveLink(const std::string& path) override {
        return links.count(path) != 0 ? std::optional(links[path]) : std::nullopt;
    }
    std::string resolvePath(const std::string& path) override {
        return resolveLink(path).value_or(path);
    }
    bool exists(const std::string& path) override { return existing.count(path) != 0; }
    bool isBlockDevice(const std::string& path) override { return blockDevices.count(path) != 0; }
    std::string homeDirectory() override { return "/home/ada"; }

    // A device node with its sysfs entry, physical unless `virtualEntry`.
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
    void lsblk(const std::string& option, const std::string& device,
               const std::vector<Json>& nodes) {
        std::string line = std::string(linux_disk::kLsblk) + " --json --bytes";
        if (!option.empty()) line += " " + option;
        line += " --output " + std::string(linux_disk::kColumns);
        if (!device.empty()) line += " " + device;
        outputs[line] = Json{{"blockdevices", nodes}}.dump(3);
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

// Catches an internal, virtual, partial or eMMC-area disk listed, and an SD card taken for eMMC.
TEST(LinuxDiskFacts, ListsHotPluggablePhysicalDisksAndDescribesThem) {
    ReplayProbe probe;
    Json stick = node("sdb", "disk", "usb", true), card = node("mmcblk0", "disk", "mmc", true),
         emmc = node("mmcblk1", "disk", "mmc", true), nvme = node("nvme0n1", "disk", "nvme"),
         loop = node("loop0", "loop", nullptr, true), zram = node("zram0", "disk", nullptr, true),
         sata = node("sda", "disk", "sata"), part = node("sdb1", "part", "usb", true);
    stick["model"] = "Cruzer Blade";
    sata["hotplug"] = nullptr;
    part["pkname"] = "sdb";
    std::vector<Json> listed = {stick, nvme, loop, zram, sata, card, part, emmc};
    for (const char* area : {"mmcblk1boot0", "mmcblk1boot1", "mmcblk1rpmb"})  // lsblk says "disk"
        listed.push_back(node(area, "disk", "mmc", true));
    for (const Json& n : listed) probe.device(n["name"], n == loop || n == zram);  // all with sysfs
    probe.files["/sys/block/mmcblk0/device/type"] = "SD\n";
    probe.files["/sys/block/mmcblk1/device/type"] = "MMC\n";
    probe.lsblk("--nodeps", "", listed);
    LinuxDiskFacts facts(probe);

    EXPECT_EQ(facts.listing(), (Json{{"WholeDisks", {"sdb", "mmcblk0", "mmcblk1"}}}));
    Json readOnly = stick;
    readOnly["ro"] = true;
    // clang-format off
    EXPECT_EQ(facts.nodeInfo(stick), (Json{{"DeviceIdentifier", "sdb"}, {"WholeDisk", true},
        {"Internal", false}, {"VirtualOrPhysical", "Physical"}, {"Writable", true},
        {"TotalSize", 31914983424ULL}, {"BusProtocol", "USB"},
        {"MediaName", "Cruzer Blade"}, {"ParentWholeDisk", "sdb"}}));
    const std::vector<std::tuple<Json, std::string, Json>> rows = {
        {card, "BusProtocol", "SD"}, {card, "MediaName", ""}, {emmc, "BusProtocol", "MMC"},
        {nvme, "Internal", true}, {loop, "VirtualOrPhysical", "Virtual"},
        {zram, "VirtualOrPhysical", "Virtual"}, {part, "WholeDisk", false},
        {node("sdq", "disk"), "VirtualOrPhysical", "Virtual"},  // no sysfs entry
        {part, "ParentWholeDisk", "sdb"}, {readOnly, "Writable", false}};
    // clang-format on
    for (const auto& [device, key, value] : rows)
        EXPECT_EQ(facts.nodeInfo(device)[key], value) << device["name"] << " " << key;
    EXPECT_FALSE(facts.nodeInfo(sata).contains("Internal"));
    probe.files.erase("/sys/block/mmcblk0/device/type");  // unreadable: not taken for a card
    EXPECT_EQ(facts.nodeInfo(card)["BusProtocol"], "MMC");

    probe.lsblk("--nodeps", "/dev/sdb", {stick});
    EXPECT_EQ(facts.info("sdb")["MediaName"], "Cruzer Blade");
    probe.lsblk("--nodeps", "/dev/sdb", {stick, card});
    EXPECT_EQ(failureOf([&] { facts.info("sdb"); }), "Invalid system information.");
    EXPECT_EQ(failureOf([&] { facts.info("../sda"); }), "Invalid system information.");
}

// Catches a disk sequence number read leniently: a wrapped, signed, partial or zero identity.
TEST(LinuxDiskFacts, ReadsTheDiskSequenceStrictly) {
    ReplayProbe probe;
    LinuxDiskFacts facts(probe);
    const std::pair<std::string, std::optional<std::uint64_t>> rows[] = {
        {"17\n", 17}, {"18446744073709551615", UINT64_MAX}, {"0\n", {}}, {"", {}}, {"x1", {}},
        {"-3", {}}, {"18446744073709551616", {}}, {"1 2", {}}};
    for (const auto& [text, expected] : rows) {
        probe.files["/sys/class/block/sdb/diskseq"] = text;
        EXPECT_EQ(facts.registryID("sdb"), expected) << text;
    }
    EXPECT_EQ(facts.registryID("sdc"), std::nullopt);
    EXPECT_EQ(facts.registryID(".."), std::nullopt);
}

// A machine whose system, home and image live on device stacks, with USB sticks sdb, sdc, sdd.
struct StackedMachine : ReplayProbe {
    StackedMachine() {
        for (const char* name : {"nvme0n1", "nvme0n1p2", "sda", "sda1", "sdb", "sdb1", "sdb2",
                                 "sdc", "sdc1", "sdd", "md127"})
            device(name);
        device("dm-0", true);
        blockDevices.insert({"/dev/mapper/cryptroot", "/dev/mapper/vg-var"});
        // /, /boot and /usr on LUKS on the NVMe disk; the image there too.
        for (const char* path : {"/", "/boot", "/usr", "/home/ada/image.img"})
            mount(path, "/dev/mapper/cryptroot");
        lsblk(
            "--inverse", "/dev/mapper/cryptroot",
            {node("cryptroot", "crypt", nullptr, false,
                  {node("nvme0n1p2", "part", "nvme", false, {node("nvme0n1", "disk", "nvme")})})});
        // /var on LVM on RAID 1 over sda1 and a partition of the USB disk sdb.
        mount("/var", "/dev/mapper/vg-var");
        lsblk(
            "--inverse", "/dev/mapper/vg-var",
            {node(
                "vg-var", "lvm", nullptr, false,
                {node("md127", "raid1", nullptr, false,
                      {node("sda1", "part", "sata", false, {node("sda", "disk", "sata")}),
                       node("sdb1", "part", "usb", true, {node("sdb", "disk", "usb", true)})})})});
        // Home on a btrfs subvolume of the USB disk sdc.
        mount("/home/ada", "/dev/sdc1[/@home]");
        lsblk("--inverse", "/dev/sdc1",
              {node("sdc1", "part", "usb", true, {node("sdc", "disk", "usb", true)})});
        links["/home/ada/link.img"] = "/home/ada/image.img";
        std::vector<Json> disks;
        for (const char* name : {"sdb", "sdc", "sdd"}) {
            disks.push_back(node(name, "disk", "usb", true));
            lsblk("--nodeps", std::string("/dev/") + name, {disks.back()});
            files[std::string("/sys/class/block/") + name + "/diskseq"] = "30\n";
        }
        lsblk("--nodeps", "", disks);
    }
};

// Catches a disk under LUKS, LVM, RAID or btrfs left unprotected, and an image's link followed.
TEST(LinuxDiskFacts, ProtectsDisksThroughPartitionsLuksLvmRaidAndBtrfsSubvolumes) {
    StackedMachine machine;
    LinuxDiskFacts facts(machine);
    EXPECT_THAT(facts.systemPaths(), ElementsAre("/", "/boot", "/usr", "/var"));
    EXPECT_THAT(DiskInventory::protectedDisks({"/"}, facts), ElementsAre("nvme0n1"));
    EXPECT_THAT(DiskInventory::protectedDisks({"/var"}, facts), ElementsAre("sda", "sdb"));
    EXPECT_THAT(DiskInventory::protectedDisks({"/home/ada"}, facts), ElementsAre("sdc"));
    EXPECT_THAT(DiskInventory::list({"/home/ada/link.img"}, facts),
                ElementsAre(TargetDisk{"sdd", "External drive", 31914983424ULL, 30, "USB"}));
    machine.links["/home/ada/link.img"] = "/media/ada/STICK/image.img";
    machine.mount("/media/ada/STICK/image.img", "/dev/sdd");
    machine.lsblk("--inverse", "/dev/sdd", {node("sdd", "disk", "usb", true)});
    EXPECT_THAT(DiskInventory::list({"/home/ada/link.img"}, facts), ::testing::IsEmpty());
}

// Catches drives offered while the root is on no physical disk or the tools' output is unreadable.
TEST(LinuxDiskFacts, RefusesEveryDriveWhenTheRootIsNotOnAPhysicalDisk) {
    const std::vector<std::tuple<std::string, Json, std::string>> cases = {
        {"overlay", nullptr, "Cannot establish protected system disks."},
        {"/dev/root", nullptr, "Cannot establish protected system disks."},  // no device node
        {"/dev/loop0", node("loop0", "loop"), "Cannot resolve a physical disk."},
        {"/dev/vdz", node("vdz", "disk"), "Cannot establish physical backing disks."},
        {"/dev/mapper/cryptroot", node("cryptroot", "crypt", nullptr, false, {Json(17)}),
         "Cannot resolve a backing store."},
        {R"({"filesystems": []})", "findmnt", "Cannot resolve the protected volume."},
        {"[]", "findmnt", "Invalid system information."}};
    for (const auto& [source, tree, message] : cases) {
        StackedMachine machine;
        if (tree != "findmnt") machine.mount("/", source);
        else machine.outputs[std::string(linux_disk::kFindmnt) + " --json --target /"] = source;
        if (tree.is_object()) {
            machine.device(tree["name"], true);
            machine.lsblk("--inverse", source, {tree});
        }
        LinuxDiskFacts facts(machine);
        EXPECT_EQ(failureOf([&] { DiskInventory::list({}, facts); }), message) << source;
    }
}

// Catches a mount point left out, unmounted before one inside it, or unmounted twice.
TEST(LinuxDiskFacts, FindsEveryMountPointOfADiskOnceInUnmountOrder) {
    ReplayProbe probe;
    Json part1 = node("sdb1", "part", "usb", true), part2 = node("sdb2", "part", "usb", true),
         crypt = node("luks-1", "crypt");
    part1["mountpoints"] = Json::array({"/media/ada/A", "/mnt/a"});
    part2["mountpoints"] = Json::array({"[SWAP]"});
    crypt["mountpoints"] = Json::array({"/mnt/a/b", "/media/ada/A"});
    probe.lsblk("", "/dev/sdb",
                {node("sdb", "disk", "usb", true,
                      {part1, part2, node("sdb3", "part", "usb", true, {crypt})})});
    LinuxDiskFacts facts(probe);
    EXPECT_THAT(facts.mountPoints("sdb"), ElementsAre("/mnt/a/b", "/mnt/a", "/media/ada/A"));
}

// The whole disks under a sysfs block device, found without lsblk, to check what lsblk led to.
void wholeDisksUnder(const std::filesystem::path& sysfsDevice, std::set<std::string>& into) {
    namespace fs = std::filesystem;
    fs::path real = fs::canonical(sysfsDevice);
    if (fs::exists(real / "partition")) real = real.parent_path();
    if (!fs::exists(real / "slaves") || fs::is_empty(real / "slaves"))
        return void(into.insert(real.filename().string()));
    for (const auto& slave : fs::directory_iterator(real / "slaves"))
        wholeDisksUnder(slave.path(), into);
}

// Catches, on this machine, the root's disk left unprotected and a virtual or loop disk listed.
TEST(LinuxDiskFacts, OnThisMachineProtectsTheRootDiskAndListsNoVirtualDisk) {
    DiskFacts& facts = DiskFacts::system();
    struct stat root {};
    ASSERT_EQ(stat("/", &root), 0);
    const std::string sysfs = "/sys/dev/block/" + std::to_string(major(root.st_dev)) + ":" +
                              std::to_string(minor(root.st_dev));
    if (!std::filesystem::exists(sysfs))
        GTEST_SKIP() << "the root file system is on no block device";
    std::set<std::string> expected;
    wholeDisksUnder(sysfs, expected);
    ASSERT_EQ(facts.systemPaths().front(), "/");
    const std::set<std::string> guarded = DiskInventory::protectedDisks(facts.systemPaths(), facts);
    for (const std::string& disk : expected) EXPECT_EQ(guarded.count(disk), 1u) << disk;

    std::unique_ptr<testing::LoopDevice> loop;  // one loop device at least, which is never listed
    testing::TempDir dir;
    if (testing::isRoot()) {
        testing::writeFile(dir.file("disk"), std::string(4 << 20, '\0'));
        loop = std::make_unique<testing::LoopDevice>(dir.file("disk"));
    }
    for (const TargetDisk& drive : DiskInventory::list({}, facts)) {
        EXPECT_EQ(guarded.count(drive.bsd), 0u);
        const auto real = std::filesystem::canonical("/sys/class/block/" + drive.bsd).string();
        EXPECT_EQ(real.find("/virtual/"), std::string::npos) << drive.bsd;
        EXPECT_NE(drive.bsd.rfind("loop", 0), 0u) << drive.bsd;
    }
}

// Catches a disk opened shared, cached or read-only, or taken for the listed one after a change.
TEST(DiskOpen, OpensTheListedDiskExclusivelyAndProvesItsIdentity) {
    KVI_REQUIRE_ROOT();
    testing::TempDir dir;
    const std::uint64_t size = 8 << 20;
    testing::writeFile(dir.file("disk"), std::string(size, '\0'));
    testing::LoopDevice loop(dir.file("disk"), 4096);
    testing::LoopAsUsbFacts facts(loop.name());
    const std::uint64_t sequence = *facts.registryID(testing::kTestDriveName);
    const TargetDisk target{testing::kTestDriveName, "Loop", size, sequence, "USB"};
    const std::string locked =
        "Cannot lock the drive. Close apps using it, reconnect it and retry.";
    {
        const UniqueFd fd = DiskInventory::openFinal(target, facts);
        EXPECT_EQ(fcntl(fd.get(), F_GETFL) & (O_NONBLOCK | O_DIRECT | O_ACCMODE),
                  O_DIRECT | O_RDWR);
        EXPECT_EQ(failureOf([&] { DiskInventory::openFinal(target, facts); }), locked);
        std::uint32_t sector = 0;  // the writer's sector size, from the same geometry
        std::uint64_t bytes = 0;
        EXPECT_EQ(kvi_geometry(fd.get(), &sector, &bytes), 1);
        EXPECT_EQ(sector, 4096u);
    }
    const int before = testing::openDescriptorCount();
    const std::string name = testing::kTestDriveName;
    for (const TargetDisk& wrong : {TargetDisk{name, "Loop", size - 4096, sequence, "USB"},
                                    TargetDisk{name, "Loop", size, sequence + 1, "USB"},
                                    TargetDisk{name, "Loop", size, 0, "USB"},
                                    TargetDisk{"../loop0", "Loop", size, sequence, "USB"}})
        EXPECT_EQ(failureOf([&] { DiskInventory::openFinal(wrong, facts); }),
                  "Final device identity or capacity changed.")
            << encode(wrong);
    EXPECT_EQ(testing::openDescriptorCount(), before);
    testing::LoopAsUsbFacts missing("");  // without its loop device, sdkv has no node
    EXPECT_EQ(failureOf([&] { DiskInventory::openFinal(target, missing); }), locked);
}

}  // namespace
}  // namespace korvex
