// Diagnostics: the local log of noteworthy events. Nothing in it ever leaves the machine.
//
// One JSON object per line, keys "message", "stage" and "time" in that (sorted) order, "/"
// written as "\/". The message is cut to its first 1,000 and the stage to its first 40
// user-perceived characters. Before an entry is appended to a log larger than 1 MiB, the log
// becomes "imager.log.previous" (replacing the older one). The log is never opened through a
// symbolic link, and is written only when it is a regular file of this user with one link;
// anything else in its place (a hard link, another user's file) is replaced by a fresh log.
//
// log() never fails and never reports anything: a failure costs at most that one entry. All
// calls in the process are serialised by one lock, so a rotation and an append never interleave;
// appends are O_APPEND, so lines stay whole even when another process shares the file.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace korvex {

struct Diagnostics {
    static constexpr std::int64_t kRotateAbove = 1'048'576;
    static constexpr std::size_t kMessageCharacters = 1000;
    static constexpr std::size_t kStageCharacters = 40;

    // "<application folder>/imager.log". Throws what AppPaths::applicationFolder throws.
    static std::string url();

    // Appends one entry to the log in the application folder.
    static void log(std::string_view stage, std::string_view message) noexcept;
    // The same with the log in `folder` (made private first), for tests and tools.
    static void log(const std::string& folder, std::string_view stage,
                    std::string_view message) noexcept;

    // The text of the start-up entry: "Korvex Imager 0.8.1 Linux " followed by the system's
    // PRETTY_NAME from /etc/os-release, or `uname -sr` when there is none.
    static std::string startupMessage();

    // One log line without its line feed, for `time` given as text. Exposed for tests.
    static std::string entry(std::string_view stage, std::string_view message,
                             std::string_view time);
};

}  // namespace korvex
