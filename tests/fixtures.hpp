// What tests and the benchmark stand up around the code under test. No GoogleTest here (see
// tests/test_support.hpp), so that the benchmark links it too; failures throw runtime_error.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "core/base/unique_fd.hpp"

namespace korvex::testing {

bool isRoot();

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

// Copies `program` into `tree`/`subfolder`, both open to every user (0755), and returns the copy:
// a test user may not be able to enter the checkout, whose permissions are never touched.
std::string copyForUsers(const TempDir& tree, const std::string& program,
                         const std::string& subfolder);

// The writer channel folders (/tmp/kvi-UUID) owned by user `uid`.
std::set<std::string> channelFoldersOf(unsigned uid);

// Whole files (mode 0644), the first `size` bytes of a file or device, a file without blocks.
void writeFile(const std::string& path, const std::string& bytes);
std::string readFile(const std::string& path);
std::string readPrefix(const std::string& path, std::size_t size);
void makeSparseFile(const std::string& path, std::uint64_t size);

// Incompressible bytes, the same for the same seed.
std::string noise(std::size_t size, unsigned seed);

// Opens `path` with `flags` plus O_CLOEXEC (mode 0644 when created).
UniqueFd openOrThrow(const std::string& path, int flags);

// Open descriptors, its own listing's included (compare two counts); -1 without /proc.
int openDescriptorCount();

// `document` with the JSON value after the first blank of `edit` put at the JSON pointer before
// it, or, when `edit` has no blank, without the pointed-to member.
std::string jsonEdited(const std::string& document, const std::string& edit);

// The standard output of a shell command; throws when it exits non-zero.
std::string shell(const std::string& command);

// What `action` fails with: "cancelled" for a cancelled ImagerError, the description of any other
// ImagerError, "other: " and the text of any other exception, or "(no failure)".
std::string failureOf(const std::function<void()>& action);

// A loop device over an existing file. With `directIO` the file is read and written with
// O_DIRECT, as a real drive bypasses the page cache (where the file system allows: directIO()).
// Auto-clearing, so it goes away however this process ends. REQUIRES: root.
class LoopDevice {
  public:
    explicit LoopDevice(const std::string& backingFile, unsigned sectorSize = 512,
                        bool directIO = false);
    ~LoopDevice();
    LoopDevice(const LoopDevice&) = delete;
    LoopDevice& operator=(const LoopDevice&) = delete;

    const std::string& path() const { return path_; }     // "/dev/loopN"
    std::string name() const { return path_.substr(5); }  // "loopN"
    std::int64_t size() const { return size_; }           // bytes, as the block layer reports
    bool directIO() const;

  private:
    std::string path_;
    UniqueFd fd_;
    std::int64_t size_ = 0;
};

// A real user (uid 1000 or above, with a home folder), removed with everything it was given.
// `valid()` is false when it could not be created. REQUIRES: root.
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
    // Drops this process to the user for good (groups, group, user); for a forked child.
    bool become() const;
    // Lets the user run /bin/sh as root through `sudo -n`, by a sudoers rule of its own.
    void allowSudoShell();

  private:
    std::string name_, home_, sudoers_;
    unsigned uid_ = 0, gid_ = 0;
};

// A forked child's wait status and everything it wrote to its report stream.
struct ChildReport {
    int status = 0;
    std::string text;
    bool exitedCleanly() const;  // exited, with status 0
};

// Forks; the child runs `child` and exits with what it returns; the parent reads the whole
// report and reaps the child. For client code run as another user.
ChildReport forkReporting(const std::function<int(FILE* report)>& child);

// A program started in a process group of its own, as a terminal starts a job, as `user` (this
// process's user when null), with PATH and `env` as its whole environment. Its standard input is
// ours to type into; its outputs are collected into `out` and `err`. Killed with its group unless
// finished.
class RunningProgram {
  public:
    RunningProgram(const std::string& program, std::vector<std::string> args,
                   const TestUser* user = nullptr, std::vector<std::string> env = {});
    ~RunningProgram();
    RunningProgram(const RunningProgram&) = delete;
    RunningProgram& operator=(const RunningProgram&) = delete;

    pid_t pid() const { return pid_; }
    // Writes `text` to the program's standard input; throws when it cannot.
    void type(const std::string& text);
    // Reads until `text` shows on standard error (true) or both outputs have ended (false).
    bool waitFor(const std::string& text);
    // Closes standard input unless `keepInput`, reads to the end and reaps; returns the exit status,
    // or 128 + the signal. A program still running after 2 minutes is killed with its group, and
    // this throws with its standard error so far: a hang is a failure, never a wait for ever.
    int finish(bool keepInput = false);

    std::string out, err;

  private:
    bool readSome(int timeoutMs);

    pid_t pid_ = -1;
    UniqueFd in_, out_, err_;
    std::optional<int> status_;
};

// The pids of every process descended from `ancestor`, read from /proc.
std::vector<pid_t> descendantsOf(pid_t ancestor);

// A test user who may raise the writer through `sudo -n` (allowSudoShell), and a folder open to
// every user that install() copies the programs the user runs into (copyForUsers), removed with
// the user. `valid()` as TestUser's. REQUIRES: root.
class SudoUser : public TestUser {
  public:
    explicit SudoUser(const std::string& prefix);
    // The copy of the built `program` in `subfolder` of the folder, for any user to run.
    std::string install(const std::string& program, const std::string& subfolder) const;

  private:
    TempDir programs_;
};

}  // namespace korvex::testing
