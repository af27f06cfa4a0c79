#include "app/model/elevation_runner.hpp"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <system_error>

#include "core/base/utf8_text.hpp"
#include "core/system/launcher.hpp"

namespace korvex {
namespace {

int decodeStatus(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return 255;
}

}  // namespace

std::vector<std::string> ElevationRunner::commandLine(const std::string& script) {
    const char* elevate = std::getenv("KORVEX_IMAGER_ELEVATE");
    if (elevate != nullptr && std::strcmp(elevate, "sudo") == 0)
        return {"/usr/bin/sudo", "-n", "/bin/sh", "-c", script};
    return {"/usr/bin/pkexec", "/bin/sh", "-c", script};
}

std::vector<std::string> ElevationRunner::writerCommandLine(const std::string& writer,
                                                            const std::string& request) {
    const char* elevate = std::getenv("KORVEX_IMAGER_ELEVATE");
    if (elevate != nullptr && std::strcmp(elevate, "sudo") == 0)
        return {"/usr/bin/sudo", "-n", writer, request};
    return {"/usr/bin/pkexec", writer, request};
}

ElevationRunner::ElevationRunner(const std::vector<std::string>& argv) {
    Pipe out = makePipe();
    Pipe err = makePipe();

    // A session of its own: a terminal's Ctrl-C or hangup reaches only the program that started
    // the runner, which cancels through the channel and so lets the writer stop in order. Without
    // it, sudo relays the terminal's signal and the writer dies mid-write, its private copy left
    // behind. Like every child, the runner starts with every signal unblocked and at its default
    // and none of this program's descriptors, whatever this program blocks, ignores or holds.
    LaunchOptions options;
    options.output = out.writeEnd.get();
    options.error = err.writeEnd.get();
    options.environment = std::vector<std::string>{"PATH=/usr/bin:/bin:/usr/sbin:/sbin"};
    options.newSession = true;
    try {
        pid_ = launchProcess(argv, options);
    } catch (const std::system_error& e) {
        throw std::system_error(e.code(), "cannot start the elevation runner");
    }
    drains_.emplace_back(&ElevationRunner::drain, this, std::move(out.readEnd), false);
    drains_.emplace_back(&ElevationRunner::drain, this, std::move(err.readEnd), true);
}

ElevationRunner::~ElevationRunner() {
    if (pid_ > 0 && running()) {
        terminate();
        wait();
    }
    stopDrains();
}

void ElevationRunner::stopDrains() {
    stopDrains_ = true;
    for (std::thread& t : drains_)
        if (t.joinable()) t.join();
}

// A grandchild may keep the pipe open after the runner is gone, so the drain polls with a short
// period and stops when told instead of waiting for end of file. Told to stop, it still takes
// what is already in the pipe: a runner that has ended wrote all it had before it ended.
void ElevationRunner::drain(UniqueFd fd, bool keep) {
    constexpr std::size_t kTailLimit = 4096;
    char scratch[4096];
    for (;;) {
        const bool stopping = stopDrains_;
        pollfd p{fd.get(), POLLIN, 0};
        int ready = poll(&p, 1, stopping ? 0 : 50);
        if (ready < 0 && errno != EINTR) break;
        if (ready <= 0) {
            if (stopping) break;
            continue;
        }
        ssize_t n = read(fd.get(), scratch, sizeof scratch);
        if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) break;
        if (n > 0 && keep) {
            std::lock_guard<std::mutex> hold(tailLock_);
            errorTail_.append(scratch, static_cast<std::size_t>(n));
            if (errorTail_.size() > kTailLimit) errorTail_.erase(0, errorTail_.size() - kTailLimit);
        }
    }
}

std::string ElevationRunner::lastErrorLine() {
    stopDrains();
    std::string tail;
    {
        std::lock_guard<std::mutex> hold(tailLock_);
        tail = errorTail_;
    }
    auto blank = [](char c) { return c == '\n' || c == '\r' || c == ' ' || c == '\t'; };
    while (!tail.empty() && blank(tail.back())) tail.pop_back();
    std::string line = tail.substr(tail.find_last_of("\r\n") + 1);
    for (char& c : line)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
    if (line.size() > kLineLimit) line.resize(kLineLimit);
    // A cut through a character is repaired along with anything the runner sent that is not text.
    return repairUtf8(line);
}

bool ElevationRunner::running() {
    if (status_) return false;
    int status = 0;
    pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
        status_ = decodeStatus(status);
        return false;
    }
    return r == 0;
}

void ElevationRunner::terminate() {
    if (running()) kill(pid_, SIGTERM);
}

int ElevationRunner::wait() {
    while (!status_) {
        int status = 0;
        pid_t r = waitpid(pid_, &status, 0);
        if (r == pid_) {
            status_ = decodeStatus(status);
        } else if (r < 0 && errno != EINTR) {
            status_ = 255;
        }
    }
    return *status_;
}

}  // namespace korvex
