// SleepInhibitor: keeps the machine from idle sleep while a write runs, through a logind
// inhibitor lock ("sleep:idle", mode "block") taken over the system bus.
//
// Best effort by design: a machine without logind or a system bus simply goes without; nothing
// fails. The lock lasts until release() or destruction. Not for concurrent use.
#pragma once

namespace korvex {

class SleepInhibitor {
  public:
    SleepInhibitor() = default;
    ~SleepInhibitor() { release(); }
    SleepInhibitor(const SleepInhibitor&) = delete;
    SleepInhibitor& operator=(const SleepInhibitor&) = delete;

    // Asks logind for the lock, waiting at most 2 s for its answer. Never throws.
    void acquire() noexcept;
    // Gives the lock back. Never throws.
    void release() noexcept;
    bool held() const noexcept { return fd_ >= 0; }

  private:
    int fd_ = -1;  // logind keeps the lock while this descriptor is open
};

}  // namespace korvex
