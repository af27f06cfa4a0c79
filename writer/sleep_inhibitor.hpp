// SleepInhibitor: keeps the machine from idle sleep while a write runs, through a logind
// inhibitor lock ("sleep:idle", mode "block") taken over the system bus.
//
// Best effort by design: a machine without logind or a system bus simply goes without; nothing
// fails. The lock lasts until release() or destruction. Not for concurrent use.
#pragma once

#include "core/base/unique_fd.hpp"

namespace korvex {

class SleepInhibitor {
  public:
    // Asks logind for the lock, waiting at most 2 s for its answer. Never throws.
    void acquire() noexcept;
    // Gives the lock back. Never throws.
    void release() noexcept { fd_.reset(); }

  private:
    UniqueFd fd_;  // logind keeps the lock while this descriptor is open
};

}  // namespace korvex
