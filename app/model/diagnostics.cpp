#include "app/model/diagnostics.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <ctime>
#include <fstream>
#include <memory>
#include <mutex>

#include "app/model/app_paths.hpp"
#include "core/base/graphemes.hpp"
#include "core/base/unique_fd.hpp"
#include "core/image/image_io.hpp"

namespace korvex {
namespace {

// JSON string text as the platform serialiser writes it: '/' escaped, other non-ASCII raw.
void appendQuoted(std::string& out, std::string_view text) {
    static const char* const hex = "0123456789abcdef";
    out += '"';
    for (char c : text) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '/':
                out += "\\/";
                break;
            case '\b':
                out += "\\b";
                break;
            case '\f':
                out += "\\f";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (static_cast<unsigned char>(c) < 0x20) {
                    out += "\\u00";
                    out += hex[(c >> 4) & 0xF];
                    out += hex[c & 0xF];
                } else {
                    out += c;
                }
        }
    }
    out += '"';
}

std::string nowText() {
    std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

// A log this process may append to: a regular file of its own user with no other name. A hard
// link would carry the entries into whatever file shares it, and another user's file would let
// that user read them.
bool isOwnLog(int fd) {
    struct stat st {};
    return ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1 &&
           st.st_uid == ::geteuid();
}

// Opens the log for appending, or a fresh log in place of a doubtful one. Never through a symbolic
// link (nothing is written then). A doubtful file is not written to: its name is unlinked, which
// leaves the data of a linked file under its other names, and a new log is created exclusively.
// O_NONBLOCK keeps a FIFO planted at the path from blocking the caller; without a reader its open
// fails with ENXIO, which is just as doubtful.
UniqueFd openLog(const std::string& path) {
    const int flags =
        O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
    UniqueFd fd(::open(path.c_str(), flags, 0600));
    if (fd ? isOwnLog(fd.get()) : errno != ENXIO) return fd;
    fd.reset();
    if (::unlink(path.c_str()) != 0) return fd;
    fd = UniqueFd(::open(path.c_str(), flags | O_EXCL, 0600));
    if (fd && !isOwnLog(fd.get())) fd.reset();
    return fd;
}

std::mutex& logLock() {
    static std::mutex lock;
    return lock;
}

}  // namespace

std::string Diagnostics::url() {
    return AppPaths::applicationFolder() + "/imager.log";
}

std::string Diagnostics::entry(std::string_view stage, std::string_view message,
                               std::string_view time) {
    std::string line = "{\"message\":";
    appendQuoted(line, firstGraphemes(message, kMessageCharacters));
    line += ",\"stage\":";
    appendQuoted(line, firstGraphemes(stage, kStageCharacters));
    line += ",\"time\":";
    appendQuoted(line, time);
    line += '}';
    return line;
}

void Diagnostics::log(std::string_view stage, std::string_view message) noexcept {
    try {
        log(AppPaths::applicationFolder(), stage, message);
    } catch (...) {
    }
}

void Diagnostics::log(const std::string& folder, std::string_view stage,
                      std::string_view message) noexcept {
    try {
        std::lock_guard<std::mutex> hold(logLock());
        AppPaths::makePrivate(folder);
        const std::string path = folder + "/imager.log";
        const std::string previous = path + ".previous";
        struct stat st {};
        if (::lstat(path.c_str(), &st) == 0 && st.st_size > kRotateAbove) {
            ::unlink(previous.c_str());
            if (::rename(path.c_str(), previous.c_str()) != 0) return;
        }
        std::string line = entry(stage, message, nowText());
        line += '\n';
        UniqueFd fd = openLog(path);
        if (!fd) return;
        try {
            ImageIO::writeAll(fd.get(),
                              std::span<const std::uint8_t>(
                                  reinterpret_cast<const std::uint8_t*>(line.data()), line.size()));
        } catch (...) {
        }
    } catch (...) {
    }
}

std::string Diagnostics::startupMessage() {
    std::string system;
    std::ifstream release("/etc/os-release");
    for (std::string line; std::getline(release, line);) {
        if (line.rfind("PRETTY_NAME=", 0) != 0) continue;
        system = line.substr(12);
        if (system.size() >= 2 && (system.front() == '"' || system.front() == '\'') &&
            system.back() == system.front())
            system = system.substr(1, system.size() - 2);
        break;
    }
    if (system.empty()) {
        utsname name{};
        if (::uname(&name) == 0) system = std::string(name.sysname) + " " + name.release;
    }
    return "Korvex Imager 0.8.1 Linux " + system;
}

}  // namespace korvex
