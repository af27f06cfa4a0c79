#include "app/model/writer_client.hpp"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>
#include <thread>

#include "app/model/diagnostics.hpp"
#include "app/model/elevation_runner.hpp"
#include "app/model/launch_script.hpp"
#include "app/model/writer_session.hpp"
#include "core/base/base64.hpp"
#include "core/base/unique_fd.hpp"
#include "core/base/utf8_text.hpp"
#include "core/base/uuid.hpp"
#include "core/image/image_io.hpp"
#include "core/native/native.h"
#include "core/native/platform.hpp"
#include "core/records/imager_error.hpp"
#include "core/system/disk_inventory.hpp"
#include "core/system/system_facts.hpp"

namespace korvex {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr auto kPollPeriod = 30ms;
constexpr auto kKeepAlivePeriod = 500ms;
constexpr auto kConnectionDeadline = 300s;
// Reads per round while the writer has more to say; a fast writer must never wait on us.
constexpr int kReadsPerRound = 64;

// The private channel: a fresh folder, mode 700, holding the listening socket "s". Removed, socket
// file first, when the channel goes out of scope.
class Channel {
  public:
    Channel() {
        directory_ = std::string(platform::kChannelPrefix) + randomUUID();
        if (mkdir(directory_.c_str(), 0700) != 0 || chmod(directory_.c_str(), 0700) != 0) {
            rmdir(directory_.c_str());
            directory_.clear();
            throw ImagerError("Cannot create a private writer channel.");
        }
        socketPath_ = directory_ + "/" + std::string(platform::kChannelSocketName);
        listener_ = UniqueFd(kvi_unix_listener(socketPath_.c_str()));
        if (!listener_ ||
            fcntl(listener_.get(), F_SETFL, fcntl(listener_.get(), F_GETFL) | O_NONBLOCK) != 0) {
            remove();
            throw ImagerError("Cannot create writer channel.");
        }
    }
    ~Channel() { remove(); }
    Channel(const Channel&) = delete;
    Channel& operator=(const Channel&) = delete;

    const std::string& socketPath() const { return socketPath_; }
    int listener() const { return listener_.get(); }

  private:
    void remove() {
        listener_.reset();
        if (!socketPath_.empty()) unlink(socketPath_.c_str());
        if (!directory_.empty()) rmdir(directory_.c_str());
        socketPath_.clear();
        directory_.clear();
    }

    std::string directory_;
    std::string socketPath_;
    UniqueFd listener_;
};

std::string readWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::system_error(errno ? errno : ENOENT, std::generic_category(), path);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) throw std::system_error(EIO, std::generic_category(), path);
    return bytes;
}

// Accepts pending connections until one comes from root; others are closed without a word.
// Returns an invalid Fd when nothing (more) is pending.
UniqueFd acceptRootPeer(int listener) {
    for (;;) {
        UniqueFd peer(accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (!peer) return peer;
        std::uint32_t uid = UINT32_MAX;
        if (kvi_peer_uid(peer.get(), &uid) == 1 && uid == 0) return peer;
    }
}

bool isUtf8(const std::string& text) {
    return repairUtf8(text) == text;
}

}  // namespace

std::string WriterClient::locateWriter(const std::string& name) {
    std::filesystem::path self;
    try {
        self = SystemFacts::system().executable();
    } catch (const std::system_error&) {
        return name;
    }
    std::error_code ec;
    std::filesystem::path beside = self.parent_path() / name;
    if (std::filesystem::exists(beside, ec)) return beside;
    return self.parent_path().parent_path() / "libexec" / "korvex-imager" / name;
}

std::optional<std::string> WriterClient::installedWriter(const std::string& writer) {
    char* resolved = realpath(writer.c_str(), nullptr);
    if (resolved == nullptr) return std::nullopt;
    const std::string path(resolved);
    std::free(resolved);
    auto rootOnly = [](const std::string& p, bool file) {
        struct stat st {};
        return lstat(p.c_str(), &st) == 0 && st.st_uid == 0 &&
               (st.st_mode & (S_IWGRP | S_IWOTH)) == 0 &&
               (file ? S_ISREG(st.st_mode) : S_ISDIR(st.st_mode));
    };
    if (!rootOnly(path, true)) return std::nullopt;
    for (std::string folder = path; folder != "/";) {
        folder = folder.substr(0, std::max<std::size_t>(folder.rfind('/'), 1));
        if (!rootOnly(folder, false)) return std::nullopt;
    }
    return path;
}

std::string WriterClient::resolveImage(const std::string& chosen) {
    char* resolved = realpath(chosen.c_str(), nullptr);
    if (resolved == nullptr) throw ImagerError("Cannot open the image file.");
    std::string path(resolved);
    std::free(resolved);
    if (!isUtf8(path)) throw ImagerError(kPathNotUtf8);
    return path;
}

WriterClient::Environment WriterClient::systemEnvironment() {
    return Environment{
        [](const std::vector<std::string>& paths) { return DiskInventory::list(paths); },
        locateWriter()};
}

std::string WriterClient::command(const std::string& helper, const std::string& sha,
                                  const std::string& request) {
    return launchScript(helper, sha, request);
}

void WriterClient::write(const std::string& source, const Inspection& inspection,
                         const TargetDisk& target, Cancellation& cancel,
                         const std::function<void(const WriteEvent&)>& progress,
                         const Environment& environment) {
    // The request is JSON text: a path it cannot carry is refused before anything exists.
    if (!isUtf8(source)) throw ImagerError(kPathNotUtf8);
    std::vector<TargetDisk> candidates = environment.listCandidates({source});
    if (std::find(candidates.begin(), candidates.end(), target) == candidates.end())
        throw ImagerError(kSelectedDriveChanged);

    const std::optional<std::string> installed = installedWriter(environment.writerPath);
    // Only the launch script's copy needs the digest; a writer that cannot be read fails here.
    const std::string writerDigest =
        installed ? std::string() : ImageIO::digest(readWhole(environment.writerPath));

    Channel channel;
    WriteRequest request;
    request.version = 1;
    request.source = source;
    request.inspection = inspection;
    request.target = target;
    request.uid = getuid();
    request.socket = channel.socketPath();
    request.nonce = randomUUID();
    request.validate();
    const std::string encoded = encodeBase64(encode(request));
    ElevationRunner runner(installed ? ElevationRunner::writerCommandLine(*installed, encoded)
                                     : ElevationRunner::commandLine(
                                           command(environment.writerPath, writerDigest, encoded)));
    WriterSession session(request.nonce, inspection.expanded);

    const Clock::time_point start = Clock::now();
    Clock::time_point lastKeepAlive = start - 1h;
    UniqueFd client;
    bool terminated = false;
    for (;;) {
        if (!client) {
            // A writer may connect, report and exit between two rounds: whatever connected
            // before the runner was seen to end is still heard before deciding.
            const bool exited = !runner.running();
            client = acceptRootPeer(channel.listener());
            if (!client && exited) break;
            if (!client) {
                // The runner is asked to stop once, and the channel stays served until it has:
                // a runner past authorisation no longer takes our signal (its command runs as
                // root), and a writer that connects after all must hear "cancel" at once, not
                // run on until its keep-alive lapses.
                if (!terminated &&
                    (cancel.isCancelled() || Clock::now() - start > kConnectionDeadline)) {
                    runner.terminate();
                    terminated = true;
                }
                std::this_thread::sleep_for(kPollPeriod);
                continue;
            }
        }

        if (Clock::now() - lastKeepAlive > kKeepAlivePeriod) {
            const char* line = cancel.isCancelled() || terminated ? "cancel\n" : "ping\n";
            (void)send(client.get(), line, std::char_traits<char>::length(line), MSG_NOSIGNAL);
            lastKeepAlive = Clock::now();
        }

        for (int reads = 0; reads < kReadsPerRound && client; ++reads) {
            char chunk[4096];
            ssize_t n = recv(client.get(), chunk, sizeof chunk, 0);
            if (n > 0) {
                try {
                    session.feed(std::string_view(chunk, static_cast<std::size_t>(n)), progress);
                } catch (...) {
                    shutdown(client.get(), SHUT_RDWR);
                    client.reset();
                    runner.wait();
                    throw;
                }
            } else if (n == 0 || errno == ECONNRESET) {
                // A writer that closes while a keep-alive line is still unread in its socket
                // shows up here as a reset rather than an end of stream; both mean it is done.
                client.reset();
            } else {
                if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                    client.reset();
                    session.connectionFailed();
                }
                break;
            }
        }

        if (!client && !runner.running()) break;
        std::this_thread::sleep_for(kPollPeriod);
    }

    const int status = runner.wait();
    // Why a runner gave up (no polkit agent, no sudoers rule, a refusal) is only in its own words.
    auto incomplete = [&runner] {
        std::string said = runner.lastErrorLine();
        Diagnostics::log("elevation", said.empty() ? "The runner said nothing." : said);
        return WriteIncomplete(said);
    };
    if (cancel.isCancelled()) throw ImagerError::cancelled();
    // Given up on after the connection deadline: whatever a late writer said about our "cancel"
    // does not make it the user's cancellation.
    if (terminated) throw incomplete();
    if (const auto& failure = session.failure()) {
        if (*failure == "cancelled") throw ImagerError::cancelled();
        throw ImagerError(*failure);
    }
    if (session.completed() && status == 0) return;
    throw incomplete();
}

}  // namespace korvex
