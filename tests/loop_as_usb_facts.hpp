// This machine's disk facts plus one loop device presented as the external USB disk "sdkv", with
// the loop device's own size, writability, disk sequence, device node and mounts.
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

// The test writer's drive for writes requested by user `uid`: the writer starts with an empty
// environment, so the name travels in a root-owned file, one per user.
inline std::string testDriveFile(unsigned uid) {
    return "/run/korvex-imager-test-drive-" + std::to_string(uid);
}

// A loop device over a fresh sparse file, named to the test writer (testDriveFile) for each of
// `users` until destruction. REQUIRES: root.
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

// The loop device `loop` as a client lists it through LoopAsUsbFacts; throws when not listed.
TargetDisk testTarget(const std::string& loop);

}  // namespace korvex::testing
