#include "core/system/system_facts_linux.hpp"

#include <pwd.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <system_error>
#include <vector>

#include "core/records/imager_error.hpp"
#include "core/system/command.hpp"

namespace korvex {
namespace {

constexpr double kToolSeconds = 8;
constexpr std::int64_t kToolLimit = 2 * 1024 * 1024;
// DMI strings and /proc/cpuinfo are small; the cap only guards against an odd file.
constexpr std::size_t kFileLimit = 2 * 1024 * 1024;

std::string readSmallFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::system_error(errno, std::generic_category(), "Cannot read " + path);
    std::string text;
    char buffer[4096];
    while (text.size() < kFileLimit && in.read(buffer, sizeof buffer).gcount() > 0)
        text.append(buffer, static_cast<std::size_t>(in.gcount()));
    if (in.bad()) throw std::system_error(EIO, std::generic_category(), "Cannot read " + path);
    return text;
}

}  // namespace

std::string LinuxSystemFacts::homeDirectoryOf(uid_t uid) {
    long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(hint > 0 ? static_cast<std::size_t>(hint) : 16384);
    struct passwd entry {};
    struct passwd* found = nullptr;
    while (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == ERANGE)
        buffer.resize(buffer.size() * 2);
    if (found == nullptr || found->pw_dir == nullptr || found->pw_dir[0] == '\0')
        throw ImagerError("Unknown user.");
    return found->pw_dir;
}

std::string LinuxSystemFacts::executable() {
    return std::filesystem::read_symlink("/proc/self/exe");
}

std::string LinuxSystemFacts::dmiAttribute(const std::string& name) {
    return readSmallFile("/sys/class/dmi/id/" + name);
}

std::string LinuxSystemFacts::cpuinfo() {
    return readSmallFile("/proc/cpuinfo");
}

std::string LinuxSystemFacts::machine() {
    utsname name{};
    if (uname(&name) != 0) throw std::system_error(errno, std::generic_category(), "uname");
    return name.machine;
}

std::string LinuxSystemFacts::pciDevices() {
    return Command::run("/usr/bin/lspci", {"-mm", "-nn"}, kToolSeconds, kToolLimit);
}

std::string LinuxSystemFacts::processorDescription() {
    return Command::run("/usr/bin/lscpu", {"--json"}, kToolSeconds, kToolLimit);
}

SystemFacts& SystemFacts::system() {
    static LinuxSystemFacts facts;
    return facts;
}

}  // namespace korvex
