// ElevationRunner: the process that runs the launch script with administrator rights (polkit's
// pkexec, or sudo -n when KORVEX_IMAGER_ELEVATE=sudo), started with PATH as its only variable, in
// a session of its own (no controlling terminal, so terminal signals never reach it) and with
// every signal unblocked and at its default.
//
// Its standard output and error are drained and discarded so it never blocks on a full pipe.
// Owns the child: the destructor terminates a runner still running, waits for it, and stops the
// drains. Not thread-safe; one owner.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/system/unique_fd.hpp"

namespace korvex {

class ElevationRunner {
  public:
    // The runner's command line for `script`: pkexec, or sudo -n when the environment asks.
    static std::vector<std::string> commandLine(const std::string& script);

    // Starts argv[0] with the rest as arguments. Throws std::system_error when it cannot start.
    explicit ElevationRunner(const std::vector<std::string>& argv);
    ~ElevationRunner();
    ElevationRunner(const ElevationRunner&) = delete;
    ElevationRunner& operator=(const ElevationRunner&) = delete;

    bool running();
    // Asks the runner to stop (SIGTERM); sudo and pkexec pass it on to what they run.
    void terminate();
    // Waits for the runner and returns its exit status (128 + signal when killed by one).
    int wait();

  private:
    void drain(UniqueFd fd);

    pid_t pid_ = -1;
    std::optional<int> status_;
    std::atomic<bool> stopDrains_{false};
    std::vector<std::thread> drains_;
};

}  // namespace korvex
