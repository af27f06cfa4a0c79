// Cancellation: a flag that one thread raises and the workers of one operation poll.
//
// Starts running; cancel() stops it for good. Safe for concurrent use from any number of threads
// without external synchronisation. Shared by reference; one object per operation.
#pragma once

#include <mutex>

namespace korvex {

class Cancellation {
  public:
    Cancellation() = default;
    Cancellation(const Cancellation&) = delete;
    Cancellation& operator=(const Cancellation&) = delete;

    void cancel() {
        std::lock_guard<std::mutex> hold(lock_);
        stopped_ = true;
    }

    bool isCancelled() const {
        std::lock_guard<std::mutex> hold(lock_);
        return stopped_;
    }

  private:
    mutable std::mutex lock_;
    bool stopped_ = false;
};

}  // namespace korvex
