// The disk facts of the test writer, and the one thing that sets it apart from the shipped one:
// it also presents one loop device as an external USB disk (tests/loop_as_usb_facts.hpp). The
// device is named by KVI_TEST_DRIVE when a test runs the writer itself, or by a root-owned file
// that others cannot write when the writer runs through the launch script, which empties its
// environment. This file is never part of the shipped writer.
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "tests/loop_as_usb_facts.hpp"
#include "writer/writer_facts.hpp"

namespace korvex {
namespace {

std::string testDrive() {
    if (const char* name = std::getenv("KVI_TEST_DRIVE")) return name;
    struct stat st;
    if (lstat(testing::kTestDriveFile, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != 0 ||
        (st.st_mode & 022) != 0)
        return "";
    std::ifstream in(testing::kTestDriveFile);
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
