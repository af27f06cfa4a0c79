// ElevationRunner: the process that runs the writer with administrator rights (polkit's pkexec, or
// sudo -n when KORVEX_IMAGER_ELEVATE=sudo): the installed writer itself, or the launch script for a
// writer anywhere else. Started with PATH as its only variable, in
// a session of its own (no controlling terminal, so terminal signals never reach it), with every
// signal unblocked and at its default, and with none of this program's descriptors.
//
// Its standard output and error are drained so it never blocks on a full pipe; only the end of the
// error output is kept, for the last line that says why a runner gave up. Owns the child: the
// destructor terminates a runner still running, waits for it, and stops the drains. Not
// thread-safe; one owner.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/base/unique_fd.hpp"

namespace korvex {

class ElevationRunner {
  public:
    // The runner's command line for `script`: pkexec, or sudo -n when the environment asks.
    static std::vector<std::string> commandLine(const std::string& script);
    // The runner's command line for an installed writer, started directly with `request` (Base64)
    // as its one argument: pkexec, or sudo -n when the environment asks.
    static std::vector<std::string> writerCommandLine(const std::string& writer,
                                                      const std::string& request);

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
    // After wait(): the last non-empty line the runner wrote to its standard error, with control
    // characters and invalid UTF-8 replaced and cut to kLineLimit bytes; empty when it wrote none.
    // Stops the drains, so only what the runner wrote before it ended is counted.
    std::string lastErrorLine();
    static constexpr std::size_t kLineLimit = 400;

  private:
    void drain(UniqueFd fd, bool keep);
    void stopDrains();

    pid_t pid_ = -1;
    std::optional<int> status_;
    std::atomic<bool> stopDrains_{false};
    std::vector<std::thread> drains_;
    std::mutex tailLock_;
    std::string errorTail_;  // the last bytes of the error output
};

}  // namespace korvex
