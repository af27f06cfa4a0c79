#include "tests/loop_as_usb_facts.hpp"

namespace korvex::testing {
namespace {

bool isLoopName(const std::string& name) {
    return name.rfind("loop", 0) == 0 && name.size() > 4 &&
           name.find_first_not_of("0123456789", 4) == std::string::npos;
}

}  // namespace

LoopAsUsbFacts::LoopAsUsbFacts(std::string loop)
    : LinuxDiskFacts(probe_), loop_(isLoopName(loop) ? std::move(loop) : "") {}

const std::string& LoopAsUsbFacts::real(const std::string& id) const {
    return id == kTestDriveName && !loop_.empty() ? loop_ : id;
}

json::Json LoopAsUsbFacts::listing() {
    json::Json listing = LinuxDiskFacts::listing();
    if (!loop_.empty()) listing["WholeDisks"].push_back(kTestDriveName);
    return listing;
}

json::Json LoopAsUsbFacts::info(const std::string& id) {
    if (id != kTestDriveName || loop_.empty()) return LinuxDiskFacts::info(id);
    json::Json info = LinuxDiskFacts::info(loop_);
    info["DeviceIdentifier"] = kTestDriveName;
    info["ParentWholeDisk"] = kTestDriveName;
    info["WholeDisk"] = true;
    info["Internal"] = false;
    info["VirtualOrPhysical"] = "Physical";
    info["BusProtocol"] = "USB";
    return info;
}

std::optional<std::uint64_t> LoopAsUsbFacts::registryID(const std::string& id) {
    return LinuxDiskFacts::registryID(real(id));
}

std::string LoopAsUsbFacts::devicePath(const std::string& id) {
    return LinuxDiskFacts::devicePath(real(id));
}

std::vector<std::string> LoopAsUsbFacts::mountPoints(const std::string& id) {
    return LinuxDiskFacts::mountPoints(real(id));
}

}  // namespace korvex::testing
