// Disk facts for tests of whole writes: this machine's facts, plus one loop device presented as
// the external USB disk "sdkv" with the loop device's own size, writability and disk sequence
// number. Everything else (what is protected, the device node, its mounts) is read as the shipped
// programs read it. Never part of a shipped program.
#pragma once

#include <string>

#include "core/system/disk_facts_linux.hpp"

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

}  // namespace korvex::testing
