// ShutdownInhibitor: a logind "shutdown" delay lock, held while a drive is being written.
//
// hold(true) asks logind on the system bus from a worker thread, so the window never waits for
// the bus; hold(false) releases the lock, also one that is still being asked for. Without a
// system bus or logind the request fails quietly within about two seconds and nothing is held.
// Interface thread only; the destructor releases the lock and joins the worker.
#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>

namespace korvex {

class ShutdownInhibitor {
  public:
    ShutdownInhibitor();
    ~ShutdownInhibitor();
    ShutdownInhibitor(const ShutdownInhibitor&) = delete;
    ShutdownInhibitor& operator=(const ShutdownInhibitor&) = delete;

    void hold(bool wanted);
    // True while logind has granted the lock (for tests and the log).
    bool held() const;

  private:
    void run();

    mutable std::mutex lock_;
    std::condition_variable changed_;
    bool wanted_ = false;
    bool stopping_ = false;
    int fd_ = -1;
    std::thread worker_;
};

}  // namespace korvex
