#include "app/model/elevation_runner.hpp"

#include <signal.h>
#include <unistd.h>

#include "tests/test_support.hpp"

namespace korvex {
namespace {

// The application ignores SIGPIPE (and a library may ignore more), the command line blocks its
// cancelling signals in the threads that do not wait for them, and a library may hold a
// descriptor without close-on-exec. The runner, and so the writer it starts, inherits none of
// that: a writer that cannot be interrupted, or that holds the application's files, is a fault.
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

}  // namespace
}  // namespace korvex
