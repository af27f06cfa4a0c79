// Running the programs the benchmark times: its own measuring modes and the standard tools.
//
// Each run is one child process in its own process group, with standard input from /dev/null,
// standard output and standard error captured (or standard output sent to a file). The wall time
// is taken from just before the fork to just after the child is reaped, so every program, ours or
// a tool, is measured the same way. Only one child runs at a time; an interrupted benchmark kills
// the whole group of the running child (see installInterruptHandler).
// Not thread safe: one thread drives the benchmark. Failures throw BenchError.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

namespace korvex::bench {

class BenchError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

struct Finished {
    double seconds = 0;     // wall time of the whole child, start-up included
    double cpuSeconds = 0;  // user and system time of the child and the children it waited for
    std::string out;        // captured standard output (empty when sent to a file)
    std::string err;        // captured standard error
};

// Runs argv[0] (looked up in PATH) with the given arguments. When `stdoutPath` is not empty,
// standard output goes to that file (created or truncated, mode 0644) instead of being captured.
// Throws BenchError when the program cannot be started or does not exit with status 0.
Finished run(const std::vector<std::string>& argv, const std::string& stdoutPath = {});

// On SIGINT, SIGTERM and SIGHUP: kill the running child's process group, then die of the same
// signal. Dying closes every descriptor, which is what releases our loop devices (they are attached
// to clear themselves on their last close).
void installInterruptHandler();

}  // namespace korvex::bench
