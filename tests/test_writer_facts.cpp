// The test writer's disk facts: the system's, plus one loop device as an external USB disk
// (tests/loop_as_usb_facts.hpp), named by KVI_TEST_DRIVE when a test runs the writer itself, or,
// through the launch script (which empties the environment), by a root-owned file that others
// cannot write, one per requesting user, so that runs for different users never see each other's.
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>

#include "core/base/base64.hpp"
#include "core/records/records.hpp"
#include "tests/loop_as_usb_facts.hpp"
#include "writer/writer_facts.hpp"
#include "writer/writer_main.hpp"

namespace korvex {
namespace {

// The requesting user, from the request argument; the shipped writer's main decodes it again.
std::optional<unsigned> requestingUser() {
    try {
        const std::string line = testing::readFile("/proc/self/cmdline");  // "program\0request\0"
        const std::size_t start = line.find('\0');
        if (start == std::string::npos) return std::nullopt;
        const std::string argument = line.substr(start + 1, line.find('\0', start + 1) - start - 1);
        if (auto json = decodeBase64(argument, WriterMain::kMaxRequestBytes))
            return decodeWriteRequest(*json).uid;
    } catch (const std::exception&) {
    }
    return std::nullopt;
}

std::string testDrive() {
    if (const char* name = std::getenv("KVI_TEST_DRIVE")) return name;
    std::optional<unsigned> uid = requestingUser();
    if (!uid) return "";
    const std::string file = testing::testDriveFile(*uid);
    struct stat st;
    if (lstat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != 0 ||
        (st.st_mode & 022) != 0)
        return "";
    std::ifstream in(file);
    std::string name;
    std::getline(in, name);
    return name;
}

}  // namespace

DiskFacts& writerDiskFacts() {
    static testing::LoopAsUsbFacts facts(testDrive());
    return facts;
}

}  // namespace korvex
