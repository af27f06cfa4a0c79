// Helpers for tests: private temporary folders, loop devices, and root-only skips.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "core/base/unique_fd.hpp"

namespace korvex::testing {

// True when the test runs as root (loop devices, other users). Under CI it always does.
bool isRoot();

// Skips the current test visibly when not root; under CI (CI set) a missing root fails instead.
#define KVI_REQUIRE_ROOT()                                                               \
    do {                                                                                 \
        if (!::korvex::testing::isRoot()) {                                              \
            if (std::getenv("CI") != nullptr) FAIL() << "CI must run this test as root"; \
            GTEST_SKIP() << "needs root";                                                \
        }                                                                                \
    } while (0)

// A fresh folder under $TMPDIR (or /tmp), removed with everything in it on destruction.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

// Copies the built program `program` into `tree`/`subfolder` (created as needed), with the tree
// and the copy open to every user (folders 0755, the copy 0755), and returns the copy's path. What
// a test user runs must not depend on whether it can enter the checkout, which may be root's
// alone; the checkout's own permissions are never touched. REQUIRES: `tree` is the test's own.
std::string copyForUsers(const TempDir& tree, const std::string& program,
                         const std::string& subfolder);

// The writer channel folders (/tmp/kvi-UUID) owned by user `uid`. A test that runs its writes as
// a test user of its own sees only its own folders here, whatever other runs do meanwhile.
std::set<std::string> channelFoldersOf(unsigned uid);

// Writes `bytes` to `path` (created or truncated, mode 0644). Fails the test on error.
void writeFile(const std::string& path, const std::string& bytes);
std::string readFile(const std::string& path);

// Bytes that no codec can shrink away, different for each seed and the same for the same seed.
std::string noise(std::size_t size, unsigned seed);

// A loop device over a backing file, detached on destruction. REQUIRES: root.
class LoopDevice {
  public:
    // Attaches `backingFile` with the given logical sector size (512 or 4096).
    LoopDevice(const std::string& backingFile, unsigned sectorSize = 512, bool directIO = false);
    ~LoopDevice();
    LoopDevice(const LoopDevice&) = delete;
    LoopDevice& operator=(const LoopDevice&) = delete;

    const std::string& path() const { return path_; }  // "/dev/loopN"
    std::string name() const;                          // "loopN"

  private:
    std::string path_;
};

// A real user of this machine (uid 1000 or above, with a home folder of its own), created for a
// test and removed with everything it was given. REQUIRES: root. `valid()` is false when the user
// could not be created.
class TestUser {
  public:
    explicit TestUser(const std::string& prefix);
    ~TestUser();
    TestUser(const TestUser&) = delete;
    TestUser& operator=(const TestUser&) = delete;

    bool valid() const { return uid_ >= 1000; }
    const std::string& name() const { return name_; }
    unsigned uid() const { return uid_; }
    unsigned gid() const { return gid_; }
    const std::string& home() const { return home_; }

    // Drops this process to the user for good (supplementary groups, group, user). For a forked
    // child; returns false when any step fails.
    bool become() const;

    // Lets the user run /bin/sh as root through `sudo -n`, by a sudoers rule of its own.
    void allowSudoShell();

  private:
    std::string name_, home_, sudoers_;
    unsigned uid_ = 0, gid_ = 0;
};

// What `action` fails with: "cancelled" for a cancelled ImagerError, the description of any other
// ImagerError, "other: " and the text of any other exception, or "(no failure)".
std::string failureOf(const std::function<void()>& action);

// Opens `path` with `flags` plus O_CLOEXEC (mode 0644 when created); throws std::runtime_error
// when it cannot.
UniqueFd openOrThrow(const std::string& path, int flags);

// How many descriptors this process has open, from /proc/self/fd; -1 when it cannot be read.
// Only differences between two counts mean anything: the count includes its own listing.
int openDescriptorCount();

// Runs a shell command, returns its standard output; fails the test when it exits non-zero.
std::string shell(const std::string& command);

// The first `size` bytes of a file or device; fails the test when fewer can be read.
std::string readPrefix(const std::string& path, std::size_t size);

// What a forked child reported: its wait status and everything it wrote to its report stream.
struct ChildReport {
    int status = 0;
    std::string text;

    bool exitedCleanly() const;  // exited, with status 0
};

// Forks; the child runs `child` with a stream into a pipe (closed for it afterwards) and exits
// with what `child` returns, without returning into the test. The parent reads the whole report
// and reaps the child. For running client code as another user in a process of its own.
ChildReport forkReporting(const std::function<int(FILE* report)>& child);

}  // namespace korvex::testing
