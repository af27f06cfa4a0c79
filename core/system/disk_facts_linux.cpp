#include "core/system/disk_facts_linux.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string_view>
#include <system_error>

#include "core/base/ascii_text.hpp"
#include "core/native/platform.hpp"
#include "core/records/imager_error.hpp"
#include "core/system/command.hpp"
#include "core/system/system_facts.hpp"

namespace korvex {

using json::Json;

namespace {

constexpr double kQueryTimeout = 15.0;
constexpr std::int64_t kQueryLimit = 2097152;
constexpr const char* kInvalidInformation = "Invalid system information.";

// Protected besides the root and the user's home, when they exist.
constexpr const char* kSystemDirectories[] = {"/boot", "/boot/efi", "/usr", "/var"};

using json::booleanMember;
using json::member;
using json::textMember;

std::string upperCase(const std::string& text) {
    std::string upper = text;
    for (char& c : upper)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return upper;
}

// "mmcblkN" followed by `suffix`, then digits when `numbered`, and nothing else.
bool isMmcName(const std::string& name, std::string_view suffix, bool numbered) {
    std::string_view rest(name);
    if (!rest.starts_with("mmcblk")) return false;
    rest.remove_prefix(6);
    auto digits = [&rest] {
        std::size_t n = 0;
        while (n < rest.size() && rest[n] >= '0' && rest[n] <= '9') ++n;
        rest.remove_prefix(n);
        return n;
    };
    if (digits() == 0 || !rest.starts_with(suffix)) return false;
    rest.remove_prefix(suffix.size());
    return numbered ? digits() != 0 && rest.empty() : rest.empty();
}

std::string mediaName(const Json& node) {
    std::string vendor(trimAscii(textMember(node, "vendor").value_or("")));
    std::string model(trimAscii(textMember(node, "model").value_or("")));
    if (vendor.empty()) return model;
    if (model.empty()) return vendor;
    return vendor + " " + model;
}

std::vector<std::string> lsblkArguments(std::initializer_list<const char*> options,
                                        const std::string& device) {
    std::vector<std::string> arguments{"--json", "--bytes"};
    for (const char* option : options) arguments.emplace_back(option);
    arguments.emplace_back("--output");
    arguments.emplace_back(linux_disk::kColumns);
    if (!device.empty()) arguments.push_back(device);
    return arguments;
}

}  // namespace

namespace linux_disk {

Json parseObject(const std::string& output) {
    Json value = json::parse(output);
    if (!value.is_object()) throw ImagerError(kInvalidInformation);
    return value;
}

const Json& blockDevices(const Json& lsblk) {
    const Json* devices = member(lsblk, "blockdevices");
    if (devices == nullptr || !devices->is_array()) throw ImagerError(kInvalidInformation);
    return *devices;
}

std::optional<std::string> mountSource(const Json& findmnt) {
    const Json* systems = member(findmnt, "filesystems");
    if (systems == nullptr || !systems->is_array()) throw ImagerError(kInvalidInformation);
    if (systems->empty()) return std::nullopt;
    auto source = textMember(systems->front(), "source");
    if (!source) throw ImagerError(kInvalidInformation);
    // btrfs names the subvolume after the device: "/dev/sda2[/@home]".
    if (!source->empty() && source->back() == ']') {
        auto open = source->rfind('[');
        if (open != std::string::npos) source->erase(open);
    }
    return source;
}

std::vector<Json> leaves(const Json& node) {
    std::vector<Json> found;
    std::vector<const Json*> pending{&node};
    // Depth first, children in order; an explicit stack keeps a hostile tree from exhausting ours.
    while (!pending.empty()) {
        const Json* current = pending.back();
        pending.pop_back();
        const Json* children = member(*current, "children");
        if (children == nullptr || !children->is_array() || children->empty()) {
            found.push_back(children != nullptr && !children->is_array() ? Json() : *current);
            continue;
        }
        for (auto it = children->rbegin(); it != children->rend(); ++it) pending.push_back(&*it);
    }
    return found;
}

void collectMountPoints(const Json& node, std::vector<std::string>& into) {
    std::vector<const Json*> pending{&node};
    while (!pending.empty()) {
        const Json* current = pending.back();
        pending.pop_back();
        if (const Json* points = member(*current, "mountpoints"); points && points->is_array()) {
            for (const Json& point : *points)
                if (point.is_string() && point.get<std::string>().starts_with('/'))
                    into.push_back(point.get<std::string>());
        }
        if (auto point = textMember(*current, "mountpoint"); point && point->starts_with('/'))
            into.push_back(*point);
        if (const Json* children = member(*current, "children"); children && children->is_array())
            for (auto it = children->rbegin(); it != children->rend(); ++it)
                pending.push_back(&*it);
    }
}

bool isEmmcHardwarePartition(const std::string& name) {
    return isMmcName(name, "boot", true) || isMmcName(name, "rpmb", false);
}

bool isSafeDeviceName(const std::string& name) {
    if (name.empty() || name.size() > 255 || name == "." || name == "..") return false;
    return name.find('/') == std::string::npos && name.find('\0') == std::string::npos;
}

}  // namespace linux_disk

// ---- the real machine ----

std::string LinuxProbe::run(const std::string& tool, const std::vector<std::string>& arguments) {
    return Command::run(tool, arguments, kQueryTimeout, kQueryLimit);
}

std::optional<std::string> LinuxProbe::readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::string text;
    char buffer[256];
    in.read(buffer, sizeof buffer);
    text.assign(buffer, static_cast<std::size_t>(in.gcount()));
    if (in.bad()) return std::nullopt;
    return text;
}

std::optional<std::string> LinuxProbe::resolveLink(const std::string& path) {
    std::unique_ptr<char, decltype(&std::free)> resolved(realpath(path.c_str(), nullptr),
                                                         &std::free);
    if (!resolved) return std::nullopt;
    return std::string(resolved.get());
}

std::string LinuxProbe::resolvePath(const std::string& path) {
    // This class's own resolveLink, not an override: errno must still be realpath's.
    auto resolved = LinuxProbe::resolveLink(path);
    if (!resolved)
        throw std::system_error(errno, std::generic_category(), "Cannot resolve " + path);
    return *std::move(resolved);
}

bool LinuxProbe::exists(const std::string& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0;
}

bool LinuxProbe::isBlockDevice(const std::string& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 && S_ISBLK(status.st_mode);
}

std::string LinuxProbe::homeDirectory() {
    return SystemFacts::system().homeDirectoryOf(getuid());
}

// ---- facts ----

std::vector<std::string> LinuxDiskFacts::systemPaths() {
    std::vector<std::string> paths{"/"};
    for (const char* directory : kSystemDirectories)
        if (probe_.exists(directory)) paths.emplace_back(directory);
    return paths;
}

std::string LinuxDiskFacts::homeDirectory() {
    return probe_.homeDirectory();
}

bool LinuxDiskFacts::isVirtual(const Json& node) {
    auto type = textMember(node, "type");
    auto name = textMember(node, "name");
    if (!type || *type == "loop" || !name || !linux_disk::isSafeDeviceName(*name)) return true;
    auto real = probe_.resolveLink("/sys/class/block/" + *name);
    return !real || real->rfind("/sys/devices/virtual/", 0) == 0;
}

std::string LinuxDiskFacts::busProtocol(const Json& node) {
    auto tran = textMember(node, "tran");
    if (!tran) return {};
    if (*tran == "usb") return "USB";
    if (*tran != "mmc") return upperCase(*tran);
    // The mmc bus carries removable cards and soldered eMMC alike; the card says which it is.
    auto name = textMember(node, "name");
    if (!name || !linux_disk::isSafeDeviceName(*name)) return "MMC";
    auto type = probe_.readFile("/sys/block/" + *name + "/device/type");
    return type && trimAscii(*type) == "SD" ? "SD" : "MMC";
}

Json LinuxDiskFacts::nodeInfo(const Json& node) {
    Json info = Json::object();
    if (!node.is_object()) return info;
    auto name = textMember(node, "name");
    auto type = textMember(node, "type");
    if (name) info["DeviceIdentifier"] = *name;
    if (type) info["WholeDisk"] = *type == "disk";
    if (auto hotplug = booleanMember(node, "hotplug")) info["Internal"] = !*hotplug;
    info["VirtualOrPhysical"] = isVirtual(node) ? "Virtual" : "Physical";
    if (auto readOnly = booleanMember(node, "ro")) info["Writable"] = !*readOnly;
    if (const Json* size = member(node, "size"); size && size->is_number_unsigned())
        info["TotalSize"] = size->get<std::uint64_t>();
    info["BusProtocol"] = busProtocol(node);
    info["MediaName"] = mediaName(node);
    if (type && *type == "disk" && name) {
        info["ParentWholeDisk"] = *name;
    } else if (auto parent = textMember(node, "pkname")) {
        info["ParentWholeDisk"] = *parent;
    }
    return info;
}

Json LinuxDiskFacts::singleNode(const std::string& output) {
    Json lsblk = linux_disk::parseObject(output);
    const Json& devices = linux_disk::blockDevices(lsblk);
    if (devices.size() != 1 || !devices.front().is_object()) throw ImagerError(kInvalidInformation);
    return devices.front();
}

Json LinuxDiskFacts::listing() {
    Json lsblk =
        linux_disk::parseObject(probe_.run(linux_disk::kLsblk, lsblkArguments({"--nodeps"}, "")));
    Json names = Json::array();
    for (const Json& node : linux_disk::blockDevices(lsblk)) {
        auto name = textMember(node, "name");
        if (!name || textMember(node, "type") != "disk") continue;
        if (booleanMember(node, "hotplug") != true || isVirtual(node)) continue;
        // An eMMC's boot and replay-protected areas, which lsblk also calls disks.
        if (linux_disk::isEmmcHardwarePartition(*name)) continue;
        names.push_back(*name);
    }
    return Json{{"WholeDisks", names}};
}

Json LinuxDiskFacts::info(const std::string& id) {
    if (!linux_disk::isSafeDeviceName(id)) throw ImagerError(kInvalidInformation);
    std::string output =
        probe_.run(linux_disk::kLsblk, lsblkArguments({"--nodeps"}, devicePath(id)));
    return nodeInfo(singleNode(output));
}

std::optional<Json> LinuxDiskFacts::volume(const std::string& path) {
    std::string resolved = probe_.resolvePath(path);
    Json findmnt =
        linux_disk::parseObject(probe_.run(linux_disk::kFindmnt, {"--json", "--target", resolved}));
    auto source = linux_disk::mountSource(findmnt);
    if (!source) return std::nullopt;
    // Not a device: an overlay, memory or network file system, or a /dev/root that is no node.
    if (!source->starts_with(platform::kRawDevicePrefix) || !probe_.isBlockDevice(*source))
        return Json{{"VolumeSource", *source}};

    Json root = singleNode(probe_.run(linux_disk::kLsblk, lsblkArguments({"--inverse"}, *source)));
    Json volume = nodeInfo(root);
    Json stores = Json::array();
    for (const Json& leaf : linux_disk::leaves(root))
        stores.push_back(leaf.is_object() ? nodeInfo(leaf) : leaf);
    volume["BackingStores"] = std::move(stores);
    return volume;
}

std::optional<std::uint64_t> LinuxDiskFacts::registryID(const std::string& id) {
    if (!linux_disk::isSafeDeviceName(id)) return std::nullopt;
    auto text = probe_.readFile("/sys/class/block/" + id + "/diskseq");
    if (!text) return std::nullopt;
    std::string digits(trimAscii(*text));
    if (digits.empty() || digits.size() > 20) return std::nullopt;
    std::uint64_t value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return std::nullopt;
        std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    if (value == 0) return std::nullopt;
    return value;
}

std::string LinuxDiskFacts::devicePath(const std::string& id) {
    return std::string(platform::kRawDevicePrefix) + id;
}

std::vector<std::string> LinuxDiskFacts::mountPoints(const std::string& id) {
    if (!linux_disk::isSafeDeviceName(id)) throw ImagerError(kInvalidInformation);
    Json lsblk =
        linux_disk::parseObject(probe_.run(linux_disk::kLsblk, lsblkArguments({}, devicePath(id))));
    std::vector<std::string> points;
    for (const Json& node : linux_disk::blockDevices(lsblk))
        linux_disk::collectMountPoints(node, points);
    // Once each, and a mount nested inside another before it, so one umount run can take them all.
    std::sort(points.begin(), points.end(), std::greater<>());
    points.erase(std::unique(points.begin(), points.end()), points.end());
    return points;
}

DiskFacts& DiskFacts::system() {
    static LinuxProbe probe;
    static LinuxDiskFacts facts(probe);
    return facts;
}

}  // namespace korvex
