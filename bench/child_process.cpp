#include "bench/child_process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <system_error>

#include "core/base/unique_fd.hpp"
#include "core/system/launcher.hpp"

namespace korvex::bench {
namespace {

// Process group of the running child; 0 when none. Read by the signal handler.
std::atomic<pid_t> runningGroup{0};

std::string errnoText(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

using Fd = UniqueFd;

void makePipe(Fd& readEnd, Fd& writeEnd) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) throw BenchError(errnoText("pipe"));
    readEnd = UniqueFd(ends[0]);
    writeEnd = UniqueFd(ends[1]);
}

// Reads both pipes until both reach end of file.
void drain(Fd& out, Fd& err, std::string& outText, std::string& errText) {
    char buffer[8192];
    while (out.get() >= 0 || err.get() >= 0) {
        pollfd fds[2] = {{out.get(), POLLIN, 0}, {err.get(), POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            throw BenchError(errnoText("poll"));
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                (i == 0 ? out : err).reset();
                continue;
            }
            (i == 0 ? outText : errText).append(buffer, static_cast<size_t>(n));
        }
    }
}

void onInterrupt(int signal) {
    pid_t group = runningGroup.load();
    if (group > 0) ::kill(-group, SIGKILL);
    static const char text[] = "\nkvi-bench: interrupted; children killed, loop devices released\n";
    [[maybe_unused]] ssize_t ignored = ::write(STDERR_FILENO, text, sizeof text - 1);
    ::signal(signal, SIG_DFL);
    ::raise(signal);
}

}  // namespace

Finished run(const std::vector<std::string>& argv, const std::string& stdoutPath) {
    if (argv.empty()) throw BenchError("run: no program");
    Fd nullIn(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    if (nullIn.get() < 0) throw BenchError(errnoText("/dev/null"));
    Fd outRead, outWrite, errRead, errWrite;
    if (stdoutPath.empty()) {
        makePipe(outRead, outWrite);
    } else {
        outWrite =
            UniqueFd(::open(stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        if (outWrite.get() < 0) throw BenchError(errnoText(stdoutPath));
    }
    makePipe(errRead, errWrite);

    // The program's own launcher: a clean signal state, no descriptors but the three, and a
    // process group of its own that an interrupt can kill whole.
    auto start = std::chrono::steady_clock::now();
    pid_t pid = -1;
    try {
        pid = launchProcess(argv, {.input = nullIn.get(),
                                   .output = outWrite.get(),
                                   .error = errWrite.get(),
                                   .searchPath = true});
    } catch (const std::system_error& failure) {
        throw BenchError(failure.what());
    }
    runningGroup.store(pid);
    outWrite.reset();
    errWrite.reset();

    Finished result;
    try {
        drain(outRead, errRead, result.out, result.err);
    } catch (...) {
        ::kill(-pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        runningGroup.store(0);
        throw;
    }
    int status = 0;
    struct rusage usage {};
    while (::wait4(pid, &status, 0, &usage) < 0) {
        if (errno != EINTR) {
            runningGroup.store(0);
            throw BenchError(errnoText("wait4"));
        }
    }
    result.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    runningGroup.store(0);
    auto secondsOf = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6;
    };
    result.cpuSeconds = secondsOf(usage.ru_utime) + secondsOf(usage.ru_stime);

    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::string how = WIFEXITED(status) ? "exit status " + std::to_string(WEXITSTATUS(status))
                                            : "signal " + std::to_string(WTERMSIG(status));
        if (WIFEXITED(status) && WEXITSTATUS(status) == 127) how += " (cannot start)";
        std::string command;
        for (const std::string& a : argv) command += (command.empty() ? "" : " ") + a;
        throw BenchError(command + ": " + how + (result.err.empty() ? "" : ": " + result.err));
    }
    return result;
}

void installInterruptHandler() {
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(signal, &action, nullptr);
}

}  // namespace korvex::bench
