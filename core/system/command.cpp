#include "core/system/command.hpp"

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>

#include "core/base/unique_fd.hpp"
#include "core/base/utf8_text.hpp"
#include "core/records/imager_error.hpp"
#include "core/system/launcher.hpp"

namespace korvex {
namespace {

using Clock = std::chrono::steady_clock;

// The child's whole environment; nothing of ours is inherited.
constexpr const char* kChildPath = "PATH=/usr/bin:/bin:/usr/sbin:/sbin";
constexpr const char* kChildLocale = "LC_ALL=C";

constexpr std::size_t kReadSize = 65536;
constexpr auto kPollPeriod = std::chrono::milliseconds(20);
constexpr auto kGracePeriod = std::chrono::milliseconds(100);
constexpr std::size_t kQuotedErrorBytes = 1000;
// Longer than any caller asks for, short enough that the deadline stays representable.
constexpr double kLongestTimeout = 1e8;

constexpr const char* kTimedOutOrTooMuch = "System query timed out or returned too much data.";
constexpr const char* kFailedPrefix = "System query failed: ";

[[noreturn]] void throwSystemError(int code, const std::string& what) {
    throw std::system_error(code, std::generic_category(), what);
}

// The child process and its process group. The child is reaped only by reap() (or, on an
// unwinding path, by the destructor after SIGKILL); until then it stays at least a zombie, so its
// pid and group id cannot be reused and signalling the group never reaches a stranger.
class Child {
  public:
    explicit Child(pid_t pid) : pid_(pid) {}
    ~Child() {
        if (!reaped_) {
            signalGroup(SIGKILL);
            reap();
        }
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    // Errors are ignored: a group whose members have all exited simply has no one to signal.
    void signalGroup(int signal) const { ::kill(-pid_, signal); }

    bool hasExited() const { return waitForExit(WNOHANG); }
    void waitUntilExited() const { waitForExit(0); }

    // Collects the exit status; the child is gone afterwards.
    int reap() {
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        reaped_ = true;
        return status;
    }

  private:
    bool waitForExit(int extraOptions) const {
        for (;;) {
            siginfo_t info{};
            if (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOWAIT | extraOptions) ==
                0)
                return info.si_pid != 0;
            if (errno != EINTR) return true;  // not our child any more: nothing left to wait for
        }
    }

    pid_t pid_;
    bool reaped_ = false;
};

UniqueFd makeEventFd() {
    const int fd = eventfd(0, EFD_CLOEXEC);
    if (fd < 0) throwSystemError(errno, "eventfd");
    return UniqueFd(fd);
}

// The two reader threads and what they collect. Both buffers, the overflow flag and the count of
// running readers sit behind one lock; the caller reads the buffers only after join().
class OutputReaders {
  public:
    OutputReaders(const Child& child, std::int64_t limit)
        : child_(child), limit_(limit), stopSignal_(makeEventFd()) {}
    ~OutputReaders() {
        stop();
        join();
    }
    OutputReaders(const OutputReaders&) = delete;
    OutputReaders& operator=(const OutputReaders&) = delete;

    // REQUIRES: `outputFd` and `errorFd` stay open until join() has returned.
    void start(int outputFd, int errorFd) {
        startOne(outputFd, &OutputReaders::output_);
        startOne(errorFd, &OutputReaders::error_);
    }

    // True when both readers have ended by `deadline`.
    bool waitUntil(Clock::time_point deadline) {
        std::unique_lock lock(lock_);
        return ended_.wait_until(lock, deadline, [this] { return running_ == 0; });
    }

    // Makes the readers end even though their pipes are still open (some process outside our
    // reach holds a write end); whatever is still unread is lost.
    void stop() {
        const std::uint64_t one = 1;
        [[maybe_unused]] ssize_t ignored = ::write(stopSignal_.get(), &one, sizeof one);
    }

    void join() {
        for (std::thread& t : threads_)
            if (t.joinable()) t.join();
    }

    bool overflowed() const { return overflow_; }
    std::string& output() { return output_; }
    std::string& error() { return error_; }

  private:
    void startOne(int fd, std::string OutputReaders::*buffer) {
        {
            std::lock_guard guard(lock_);
            ++running_;
        }
        try {
            threads_.emplace_back([this, fd, buffer] { readUntilEnd(fd, this->*buffer); });
        } catch (...) {
            std::lock_guard guard(lock_);
            --running_;
            throw;
        }
    }

    void readUntilEnd(int fd, std::string& buffer) {
        auto chunk = std::make_unique<char[]>(kReadSize);
        for (;;) {
            pollfd fds[2] = {{fd, POLLIN, 0}, {stopSignal_.get(), POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0) {
                if (errno == EINTR) continue;
                break;
            }
            if (fds[1].revents != 0) break;
            const ssize_t n = ::read(fd, chunk.get(), kReadSize);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            keep(buffer, chunk.get(), static_cast<std::size_t>(n));
        }
        std::lock_guard guard(lock_);
        --running_;
        ended_.notify_all();
    }

    void keep(std::string& buffer, const char* bytes, std::size_t count) {
        std::lock_guard guard(lock_);
        if (overflow_) return;  // keep draining so the child never blocks, but keep nothing
        const std::int64_t room =
            limit_ - static_cast<std::int64_t>(output_.size() + error_.size());
        if (static_cast<std::int64_t>(count) > room) {
            overflow_ = true;
            child_.signalGroup(SIGTERM);
            return;
        }
        buffer.append(bytes, count);
    }

    const Child& child_;
    const std::int64_t limit_;
    UniqueFd stopSignal_;
    std::mutex lock_;
    std::condition_variable ended_;
    std::string output_;
    std::string error_;
    bool overflow_ = false;
    int running_ = 0;
    std::vector<std::thread> threads_;
};

Clock::duration timeBudget(double seconds) {
    if (!(seconds > 0)) return Clock::duration::zero();  // also NaN
    if (seconds > kLongestTimeout) seconds = kLongestTimeout;
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

bool exitedCleanly(int status) {
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

std::string Command::run(const std::string& path, const std::vector<std::string>& arguments,
                         double timeoutSeconds, std::int64_t limit) {
    std::vector<std::string> argv{path};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    Pipe outputPipe = makePipe();
    Pipe errorPipe = makePipe();
    LaunchOptions options;
    options.output = outputPipe.writeEnd.get();
    options.error = errorPipe.writeEnd.get();
    options.environment = std::vector<std::string>{kChildPath, kChildLocale};
    // The leader of a process group of its own, so the group signals below reach whatever the
    // tool starts in turn.
    Child child(launchProcess(argv, options));
    // Only the child (and whatever it starts) may hold the write ends, so end of file means they
    // are all done with them.
    outputPipe.writeEnd.reset();
    errorPipe.writeEnd.reset();

    OutputReaders readers(child, limit);
    readers.start(outputPipe.readEnd.get(), errorPipe.readEnd.get());

    const Clock::time_point deadline = Clock::now() + timeBudget(timeoutSeconds);
    while (!child.hasExited() && Clock::now() < deadline) std::this_thread::sleep_for(kPollPeriod);

    if (!child.hasExited()) {
        child.signalGroup(SIGTERM);
        std::this_thread::sleep_for(kGracePeriod);
        if (!child.hasExited()) child.signalGroup(SIGKILL);
    }

    child.waitUntilExited();
    // A background process the tool left behind may still hold a pipe; it gets until the
    // deadline, then the same terminate-and-kill treatment, and then the readers are told to stop,
    // so a call never waits without bound. The result is then a failure either way.
    if (!readers.waitUntil(deadline)) {
        child.signalGroup(SIGTERM);
        if (!readers.waitUntil(Clock::now() + kGracePeriod)) {
            child.signalGroup(SIGKILL);
            readers.stop();
        }
    }
    readers.join();
    const int status = child.reap();

    if (readers.overflowed() || Clock::now() >= deadline) throw ImagerError(kTimedOutOrTooMuch);
    if (!exitedCleanly(status)) {
        const std::string& error = readers.error();
        throw ImagerError(kFailedPrefix +
                          repairUtf8(std::string_view(error).substr(0, kQuotedErrorBytes)));
    }
    return std::move(readers.output());
}

}  // namespace korvex
