#include "core/system/command.hpp"

#include <dirent.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/test_support.hpp"

namespace korvex {
namespace {

using korvex::testing::failureOf;
using korvex::testing::readFile;
using korvex::testing::TempDir;

const std::string kTooMuch = "System query timed out or returned too much data.";
const std::string kFailed = "System query failed: ";

std::string sh(const std::string& script, double timeout = 30.0, std::int64_t limit = 1 << 20,
               std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"-c", script, "sh"};
    args.insert(args.end(), extra.begin(), extra.end());
    return Command::run("/bin/sh", args, timeout, limit);
}

int countThreads() {
    int count = 0;
    DIR* dir = opendir("/proc/self/task");
    if (dir == nullptr) return -1;
    while (dirent* entry = readdir(dir))
        if (entry->d_name[0] != '.') ++count;
    closedir(dir);
    return count;
}

bool processGone(const std::string& pid) {
    std::ifstream stat("/proc/" + pid + "/stat");
    if (!stat) return true;
    std::string line;
    std::getline(stat, line);
    // Reparented away from us; a zombie waiting for its new parent no longer runs.
    const auto close = line.rfind(')');
    return close != std::string::npos && line.compare(close, 4, ") Z ") == 0;
}

// Every test checks on the way out that its calls left no child process and no reader thread.
class CommandTest : public ::testing::Test {
  protected:
    // Sanitizer runtimes start a helper thread of their own at the first thread we create.
    static void SetUpTestSuite() {
        std::thread([] {}).join();
    }
    void SetUp() override { threadsBefore_ = countThreads(); }
    void TearDown() override {
        errno = 0;
        EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
        EXPECT_EQ(errno, ECHILD) << "a child process survived the call";
        // A joined thread can linger in /proc for a moment after it has finished.
        int threads = countThreads();
        for (int i = 0; i < 200 && threads != threadsBefore_; ++i) {
            usleep(10000);
            threads = countThreads();
        }
        EXPECT_EQ(threads, threadsBefore_) << "a reader thread survived the call";
    }

  private:
    int threadsBefore_ = 0;
};

TEST_F(CommandTest, ReturnsStandardOutputAloneWithArgumentsPassedVerbatim) {
    EXPECT_EQ(sh("printf '%s|' \"$@\"; echo noise >&2", 30, 1 << 20, {"a b", "$HOME", "*", ""}),
              "a b|$HOME|*||");
    EXPECT_EQ(Command::run("/bin/true", {}, 30, 0), "");
}

TEST_F(CommandTest, LimitCoversBothStreamsTogether) {
    const std::string exact = "head -c 60000 /dev/zero; head -c 40000 /dev/zero >&2";
    EXPECT_EQ(sh(exact, 30, 100000), std::string(60000, '\0'));
    EXPECT_EQ(failureOf([&] { sh(exact, 30, 99999); }), kTooMuch);
    EXPECT_EQ(failureOf([&] { sh("head -c 40001 /dev/zero >&2", 30, 40000); }), kTooMuch);
}

TEST_F(CommandTest, AsksTheChildToStopAsSoonAsTheLimitIsExceeded) {
    TempDir dir;
    const std::string marker = dir.file("term");
    // The script overflows, then keeps busy for 60 s and ends by itself, well inside the 120 s
    // deadline: only a request made when the excess is seen writes the marker. Its loop runs only
    // short commands, so the shell itself sees the request at once.
    EXPECT_EQ(failureOf([&] {
                  sh("trap 'echo term > \"$1\"; exit 3' TERM; head -c 100001 /dev/zero;"
                     "end=$(($(date +%s) + 60)); while [ \"$(date +%s)\" -lt $end ]; do :; done",
                     120, 100000, {marker});
              }),
              kTooMuch);
    EXPECT_EQ(readFile(marker), "term\n");
}

TEST_F(CommandTest, TerminatesThenKillsAChildThatOutlivesTheDeadline) {
    EXPECT_EQ(failureOf([] { sh("sleep 30", 0.2); }), kTooMuch);

    // It records the polite request, ignores it and spins; only SIGKILL ends it.
    TempDir dir;
    const std::string marker = dir.file("term");
    EXPECT_EQ(failureOf([&] {
                  sh("trap 'echo term >> \"$1\"' TERM; while :; do :; done", 0.3, 1 << 20,
                     {marker});
              }),
              kTooMuch);
    EXPECT_EQ(readFile(marker), "term\n");

    // A tool that exits at once but leaves a process holding its output pipe.
    const std::string pidFile = dir.file("pid");
    EXPECT_EQ(
        failureOf([&] { sh("sleep 30 & echo $! > \"$1\"; exit 0", 0.3, 1 << 20, {pidFile}); }),
        kTooMuch);
    std::string pid = readFile(pidFile);
    pid.pop_back();
    bool gone = processGone(pid);
    for (int i = 0; i < 200 && !gone; ++i) {
        usleep(10000);
        gone = processGone(pid);
    }
    EXPECT_TRUE(gone) << "the left-behind process " << pid << " still runs";
}

TEST_F(CommandTest, NonZeroStatusQuotesTheStartOfStandardError) {
    EXPECT_EQ(failureOf([] { sh("echo out; printf boom >&2; exit 1"); }), kFailed + "boom");

    // 999 bytes and the first byte of a two-byte character fit in the quoted 1,000.
    const std::string longError =
        "head -c 999 /dev/zero | tr '\\0' x >&2; printf '\\303\\251' >&2;"
        "head -c 4000 /dev/zero | tr '\\0' y >&2; exit 2";
    EXPECT_EQ(failureOf([&] { sh(longError); }), kFailed + std::string(999, 'x') + "\xEF\xBF\xBD");

    // Death by a signal is a failure too, not a status of 0.
    EXPECT_EQ(failureOf([] { sh("printf dying >&2; kill -9 $$"); }), kFailed + "dying");
}

TEST_F(CommandTest, ChildGetsOnlyItsOwnEnvironmentSignalsAndDescriptors) {
    ASSERT_EQ(setenv("KVI_COMMAND_TEST_SECRET", "1", 1), 0);
    EXPECT_EQ(Command::run("/usr/bin/env", {}, 30, 4096),
              "PATH=/usr/bin:/bin:/usr/sbin:/sbin\nLC_ALL=C\n");
    unsetenv("KVI_COMMAND_TEST_SECRET");

    // A descriptor opened without close-on-exec stays ours.
    const int stray = dup2(STDIN_FILENO, 100);
    ASSERT_EQ(stray, 100);
    EXPECT_EQ(sh("if [ -e /proc/$$/fd/100 ]; then echo leaked; else echo clean; fi"), "clean\n");
    close(stray);

    // Both programs ignore SIGPIPE; the tools they run must not inherit that.
    struct sigaction ignore {};
    struct sigaction previous {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &previous);
    const std::string line = Command::run("/bin/grep", {"SigIgn", "/proc/self/status"}, 30, 4096);
    sigaction(SIGPIPE, &previous, nullptr);
    ASSERT_EQ(line.rfind("SigIgn:\t", 0), 0u) << line;
    const unsigned long long ignored = std::stoull(line.substr(8), nullptr, 16);
    EXPECT_EQ(ignored & (1ULL << (SIGPIPE - 1)), 0u) << line;
}

TEST_F(CommandTest, LaunchFailureIsTheSystemError) {
    TempDir dir;
    try {
        Command::run(dir.file("missing"), {}, 30, 4096);
        ADD_FAILURE() << "a missing executable was launched";
    } catch (const std::system_error& e) {
        EXPECT_EQ(e.code().value(), ENOENT);
    }
    korvex::testing::writeFile(dir.file("plain"), "#!/bin/sh\necho hi\n");  // mode 0644
    try {
        Command::run(dir.file("plain"), {}, 30, 4096);
        ADD_FAILURE() << "a non-executable file was launched";
    } catch (const std::system_error& e) {
        EXPECT_EQ(e.code().value(), EACCES);
    }
}

TEST_F(CommandTest, ReadsBothPipesAtOnceAndServesCallsInParallel) {
    // Each stream is far larger than a pipe's buffer: reading one after the other would stall.
    EXPECT_EQ(sh("head -c 1048576 /dev/zero >&2; head -c 1048576 /dev/zero", 60, 4 << 20),
              std::string(1 << 20, '\0'));

    std::vector<std::string> results(4);
    std::vector<std::thread> callers;
    for (std::size_t i = 0; i < results.size(); ++i)
        callers.emplace_back([&results, i] {
            results[i] = sh("head -c 300000 /dev/zero | tr '\\0' \"$1\"", 60, 300000,
                            {std::string(1, static_cast<char>('a' + i))});
        });
    for (std::thread& t : callers) t.join();
    for (std::size_t i = 0; i < results.size(); ++i)
        EXPECT_EQ(results[i], std::string(300000, static_cast<char>('a' + i)));
}

}  // namespace
}  // namespace korvex
