// SignalCancellation: for as long as it lives, SIGINT, SIGTERM and SIGHUP raise one Cancellation
// instead of ending the process, so a stopped write still reports, flushes and cleans up.
//
// The signals are blocked and read from a signalfd on a thread of its own; no handler runs, so
// nothing has to be async-signal-safe. REQUIRES: constructed on the main thread before any other
// thread starts (threads inherit the blocked set; a thread started earlier would still die of the
// signal), and children are started with the signals unblocked (ElevationRunner does). The
// destructor stops the thread and restores the signal mask. One owner; not copyable.
#pragma once

#include <signal.h>

#include <atomic>
#include <thread>

#include "core/base/unique_fd.hpp"
#include "core/records/cancellation.hpp"

namespace korvex {

class SignalCancellation {
  public:
    explicit SignalCancellation(Cancellation& cancellation);
    ~SignalCancellation();
    SignalCancellation(const SignalCancellation&) = delete;
    SignalCancellation& operator=(const SignalCancellation&) = delete;

    // Becomes readable once the first signal has arrived, and stays so: for a wait that polls
    // other descriptors too (a prompt).
    int arrivedFd() const { return arrived_.get(); }
    // The first signal that arrived, or 0.
    int first() const { return first_; }

  private:
    void watch();

    Cancellation& cancellation_;
    sigset_t set_;
    sigset_t previous_;
    UniqueFd signals_;
    UniqueFd stop_;
    UniqueFd arrived_;
    std::atomic<int> first_{0};
    std::thread watcher_;
};

}  // namespace korvex
