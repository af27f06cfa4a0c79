// Disk facts for whole writes in tests and the benchmark: this machine's facts, plus one loop
// device presented as the external USB disk "sdkv" with the loop device's own size, writability
// and disk sequence number. Everything else (what is protected, the device node, its mounts) is
// read as the shipped programs read it. Never part of a shipped program.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "core/records/records.hpp"
#include "core/system/disk_facts_linux.hpp"
#include "tests/fixtures.hpp"

namespace korvex::testing {

inline constexpr const char* kTestDriveName = "sdkv";

class LoopAsUsbFacts : public LinuxDiskFacts {
  public:
    // `loop` names a loop device ("loop3"); an empty or malformed name presents nothing extra.
    explicit LoopAsUsbFacts(std::string loop);

    json::Json listing() override;
    json::Json info(const std::string& id) override;
    std::optional<std::uint64_t> registryID(const std::string& id) override;
    std::string devicePath(const std::string& id) override;
    std::vector<std::string> mountPoints(const std::string& id) override;

  private:
    const std::string& real(const std::string& id) const;

    LinuxProbe probe_;
    std::string loop_;
};

// Where a test tells the test writer the drive of writes requested by user `uid`: the launch script
// gives the writer an empty environment, so the name travels in this root-owned file rather than
// in KVI_TEST_DRIVE. One file per user, so runs with users of their own never share one.
inline std::string testDriveFile(unsigned uid) {
    return "/run/korvex-imager-test-drive-" + std::to_string(uid);
}

// The drive of a whole write: a loop device over a fresh sparse file of `size` bytes, named to the
// test writer (testDriveFile) for writes requested by each of `users`; the names are withdrawn on
// destruction. REQUIRES: root.
class TestDrive {
  public:
    TestDrive(const std::string& backingFile, std::uint64_t size, std::vector<unsigned> users,
              unsigned sectorSize = 512, bool directIO = false);
    ~TestDrive();
    TestDrive(const TestDrive&) = delete;
    TestDrive& operator=(const TestDrive&) = delete;

    const LoopDevice& loop() const { return *loop_; }

  private:
    std::vector<unsigned> users_;
    std::unique_ptr<LoopDevice> loop_;
};

// The loop device `loop` as a client lists it through LoopAsUsbFacts; throws when it is missing.
TargetDisk testTarget(const std::string& loop);

}  // namespace korvex::testing
