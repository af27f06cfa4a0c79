#include "core/system/command.hpp"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "tests/test_support.hpp"

namespace korvex {
namespace {

const std::string kTooMuch = "System query timed out or returned too much data.";
const std::string kFailed = "System query failed: ";

// What running `script` under /bin/sh with `extra` as $1... gives: its output or its failure.
std::string sh(const std::string& script, double timeout = 30, std::int64_t limit = 1 << 20,
               std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"-c", script, "sh"};
    args.insert(args.end(), extra.begin(), extra.end());
    std::string output;
    const std::string failure =
        testing::failureOf([&] { output = Command::run("/bin/sh", args, timeout, limit); });
    return failure == "(no failure)" ? output : failure;
}

int countThreads() {
    return static_cast<int>(std::distance(std::filesystem::directory_iterator("/proc/self/task"),
                                          std::filesystem::directory_iterator()));
}

// Every test checks on the way out that its calls left no child process and no reader thread.
class CommandTest : public ::testing::Test {
  protected:
    // Sanitizer runtimes start a helper thread of their own at the first thread we create.
    static void SetUpTestSuite() {
        std::thread([] {}).join();
    }
    void TearDown() override {
        errno = 0;
        EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
        EXPECT_EQ(errno, ECHILD) << "a child process survived the call";
        // A joined thread can linger in /proc for a moment after it has finished.
        for (int i = 0; i < 200 && countThreads() != threadsBefore_; ++i) usleep(10000);
        EXPECT_EQ(countThreads(), threadsBefore_) << "a reader thread survived the call";
    }
    const int threadsBefore_ = countThreads();
};

// Catches output past the limit (both streams together) accepted, a stall on a full pipe, a
// failure or a death by signal reported as success, and calls that share state across threads.
TEST_F(CommandTest, OutputWithinTheBoundsElseTheFailureFromCallsInParallel) {
    const std::string exact = "head -c 60000 /dev/zero; head -c 40000 /dev/zero >&2";
    const std::tuple<std::string, std::int64_t, double, std::string> kCases[] = {
        {"printf '%s|' \"$@\"; echo noise >&2", 1 << 20, 30, "a b|$HOME|*||"},
        {"true", 0, 30, ""},
        {exact, 100000, 30, std::string(60000, '\0')},
        {exact, 99999, 30, kTooMuch},
        {"head -c 40001 /dev/zero >&2", 40000, 30, kTooMuch},
        {"sleep 30", 1 << 20, 0.2, kTooMuch},
        {"head -c 1048576 /dev/zero >&2; head -c 1048576 /dev/zero", 4 << 20, 60,
         std::string(1 << 20, '\0')},
        // A failure quotes standard error, up to 1,000 bytes, a cut character replaced.
        {"echo out; printf boom >&2; exit 1", 1 << 20, 30, kFailed + "boom"},
        {"head -c 999 /dev/zero | tr '\\0' x >&2; printf '\\303\\251' >&2;"
         "head -c 4000 /dev/zero | tr '\\0' y >&2; exit 2",
         1 << 20, 30, kFailed + std::string(999, 'x') + "\xEF\xBF\xBD"},
        {"printf dying >&2; kill -9 $$", 1 << 20, 30, kFailed + "dying"},
    };
    std::vector<std::string> results(std::size(kCases));
    std::vector<std::thread> callers;
    for (std::size_t i = 0; i < results.size(); ++i)
        callers.emplace_back([&, i] {
            const auto& [script, limit, timeout, result] = kCases[i];
            results[i] = sh(script, timeout, limit, {"a b", "$HOME", "*", ""});
        });
    for (std::thread& t : callers) t.join();
    for (std::size_t i = 0; i < results.size(); ++i)
        EXPECT_EQ(results[i], std::get<3>(kCases[i])) << std::get<0>(kCases[i]);
}

// Catches a child left running past an excess, one ignoring SIGTERM at the deadline, and one
// that the tool left behind holding its output pipe: each a hang.
TEST_F(CommandTest, StopsTheChildOnExcessAtOnceAndAtTheDeadlineForSure) {
    testing::TempDir dir;
    const std::string marker = dir.file("term");
    // Busy for 60 s inside a 120 s deadline: only a request made when the excess is seen writes.
    EXPECT_EQ(sh("trap 'echo excess > \"$1\"; exit 3' TERM; head -c 100001 /dev/zero;"
                 "end=$(($(date +%s) + 60)); while [ \"$(date +%s)\" -lt $end ]; do :; done",
                 120, 100000, {marker}),
              kTooMuch);
    EXPECT_EQ(sh("trap 'echo late >> \"$1\"' TERM; while :; do :; done", 0.3, 1 << 20, {marker}),
              kTooMuch);
    EXPECT_EQ(testing::readFile(marker), "excess\nlate\n");
    EXPECT_EQ(sh("sleep 30 & echo $! > \"$1\"; exit 0", 0.3, 1 << 20, {dir.file("pid")}), kTooMuch);
    const std::string stat =
        "/proc/" + std::to_string(std::stoi(testing::readFile(dir.file("pid"))));
    // Reparented away from us; a zombie waiting for its new parent no longer runs.
    const auto gone = [&] {
        return testing::shell("grep -v ') Z ' " + stat + "/stat 2>/dev/null; true").empty();
    };
    for (int i = 0; i < 200 && !gone(); ++i) usleep(10000);
    EXPECT_TRUE(gone()) << stat;
}

// Catches our environment, an inheritable descriptor, an ignored SIGPIPE or a blocked SIGTERM
// (as both programs have) passed on to the child.
TEST_F(CommandTest, ChildGetsOnlyItsOwnEnvironmentSignalsAndDescriptors) {
    ASSERT_EQ(dup2(STDIN_FILENO, 100), 100);
    const auto previous = signal(SIGPIPE, SIG_IGN);
    sigset_t term, mask;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &term, &mask);
    // Builtins only: a started program's mask is its own. 32 and 33 are the C library's signals.
    const std::string seen = sh(
        "[ -e /proc/$$/fd/100 ] && echo fd100; while read -r key value; do case $key in"
        " SigBlk:) echo blocked:$((0x$value));; SigIgn:) echo ignored:$((0x$value & 0x7fffffff));;"
        " esac; done < /proc/$$/status; tr '\\0' ' ' < /proc/$$/environ");
    pthread_sigmask(SIG_SETMASK, &mask, nullptr);
    signal(SIGPIPE, previous);
    close(100);
    EXPECT_EQ(seen, "blocked:0\nignored:0\nPATH=/usr/bin:/bin:/usr/sbin:/sbin LC_ALL=C ");
}

// Catches a program that cannot be started reported as success or without the system's reason.
TEST_F(CommandTest, LaunchFailureIsTheSystemError) {
    testing::TempDir dir;
    testing::writeFile(dir.file("plain"), "#!/bin/sh\necho hi\n");  // mode 0644
    for (const auto& [name, code] : {std::pair{"missing", ENOENT}, std::pair{"plain", EACCES}})
        EXPECT_EQ(testing::failureOf([&, path = dir.file(name)] { Command::run(path, {}, 30, 0); }),
                  "other: cannot launch " + dir.file(name) + ": " + std::strerror(code));
}

}  // namespace
}  // namespace korvex
