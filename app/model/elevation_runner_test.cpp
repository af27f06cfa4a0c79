#include "app/model/elevation_runner.hpp"

#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace korvex {
namespace {

// Catches a writer started with our ignored or blocked signals, or holding our descriptors.
TEST(ElevationRunner, StartsCleanInASessionOfItsOwn) {
    ASSERT_EQ(dup2(STDIN_FILENO, 100), 100);
    const auto pipeAction = signal(SIGPIPE, SIG_IGN);
    const auto usr1Action = signal(SIGUSR1, SIG_IGN);
    sigset_t cancelling, mask;
    sigemptyset(&cancelling);
    for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&cancelling, s);
    pthread_sigmask(SIG_BLOCK, &cancelling, &mask);
    // The shell reads its own state with builtins only: once it has started a program its signal
    // mask is its own. Signals 32 and 33 are the C library's, which it ignores while it starts one.
    ElevationRunner runner(
        {"/bin/sh", "-c",
         "for n in 3 4 5 6 7 8 9 100; do [ -e /proc/$$/fd/$n ] && fds=\"$fds $n\"; done;"
         "read -r pid comm state parent group session rest < /proc/$$/stat;"
         "while read -r key value; do case $key in SigBlk:) blocked=$((0x$value));;"
         " SigIgn:) ignored=$((0x$value & 0x7fffffff));; esac; done < /proc/$$/status;"
         "echo fds:$fds session:$((session == $$)) blocked:$blocked ignored:$ignored >&2"});
    pthread_sigmask(SIG_SETMASK, &mask, nullptr);
    signal(SIGUSR1, usr1Action);
    signal(SIGPIPE, pipeAction);
    close(100);
    EXPECT_EQ(runner.wait(), 0);
    EXPECT_EQ(runner.lastErrorLine(), "fds: session:1 blocked:0 ignored:0");
}

// Catches the runner's reason lost behind blank lines, escapes or broken text passed on.
TEST(ElevationRunner, ReportsItsLastErrorLineAsPlainText) {
    const std::string longLine(600, 'x');
    const std::pair<std::string, std::string> cases[] = {
        {"printf 'first\\nsudo: a password is required\\n\\n  \\n' >&2",
         "sudo: a password is required"},
        {"printf 'red \\033[31mtext\\r' >&2; echo out", "red  [31mtext"},
        {"printf '\\303\\050 bad' >&2", "\xEF\xBF\xBD( bad"},
        {"printf '%s' " + longLine + " >&2", longLine.substr(0, ElevationRunner::kLineLimit)},
        {"echo only-standard-output", ""},
    };
    for (const auto& [script, line] : cases) {
        ElevationRunner runner({"/bin/sh", "-c", script});
        runner.wait();
        EXPECT_EQ(runner.lastErrorLine(), line) << script;
    }
}

}  // namespace
}  // namespace korvex
