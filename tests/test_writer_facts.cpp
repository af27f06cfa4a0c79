// The disk facts of the test writer, and the one thing that sets it apart from the shipped one:
// it also presents one loop device as an external USB disk (tests/loop_as_usb_facts.hpp). The
// device is named by KVI_TEST_DRIVE when a test runs the writer itself, or, when the writer runs
// through the launch script (which empties its environment), by a root-owned file that others
// cannot write, kept for the requesting user alone, so that runs for different users never see
// each other's drive. This file is never part of the shipped writer.
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
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
    std::ifstream in("/proc/self/cmdline", std::ios::binary);
    std::string line((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::size_t start = line.find('\0');
    if (start == std::string::npos) return std::nullopt;
    std::string argument = line.substr(start + 1, line.find('\0', start + 1) - start - 1);
    auto json = decodeBase64(argument, WriterMain::kMaxRequestBytes);
    if (!json) return std::nullopt;
    try {
        return decodeWriteRequest(*json).uid;
    } catch (const std::exception&) {
        return std::nullopt;
    }
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
