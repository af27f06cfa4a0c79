// WriterClient: the application's side of one write.
//
// Re-checks the drive, creates the private channel (a fresh folder holding a listening socket),
// starts the writer with administrator rights through the launch script, serves the channel until
// the runner exits, and decides the outcome. Stateless between writes; each call owns its channel
// and runner and removes the channel on every way out. Blocks its caller for the whole write:
// never call it on the interface thread. The only object shared with other threads is `cancel`.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "core/records/cancellation.hpp"
#include "core/records/records.hpp"

namespace korvex {

struct WriterClient {
    // Where the client looks for things; the defaults are the real ones.
    struct Environment {
        // The current candidate drives, protecting the disks that hold the given paths.
        std::function<std::vector<TargetDisk>(const std::vector<std::string>& extraProtectedPaths)>
            listCandidates;
        // The writer program to copy and run.
        std::string writerPath;
    };

    // The real environment: the disk inventory of this machine, and the writer installed beside
    // (or, when installed, in libexec/korvex-imager/ relative to) the running executable.
    static Environment systemEnvironment();

    // The launch script; throws ImagerError "Invalid writer request." on a malformed digest or
    // request argument.
    static std::string command(const std::string& helper, const std::string& sha,
                               const std::string& request);

    // Writes `source` to `target`. Returns on success; throws ImagerError (a message or
    // cancelled), DecodeError for an undecodable event, or std::system_error when the writer
    // cannot be read or the runner cannot start. `progress` is called on this thread for each
    // accepted event, in order.
    static void write(const std::string& source, const Inspection& inspection,
                      const TargetDisk& target, Cancellation& cancel,
                      const std::function<void(const WriteEvent&)>& progress,
                      const Environment& environment = systemEnvironment());
};

// A fresh random UUID in canonical upper-case text form.
std::string randomUUID();

}  // namespace korvex
