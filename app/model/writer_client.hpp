// WriterClient: the application's side of one write.
//
// Re-checks the drive, creates the private channel (a fresh folder holding a listening socket),
// starts the writer with administrator rights (an installed writer directly, any other through the
// launch script), serves the channel until
// the runner exits, and decides the outcome. Stateless between writes; each call owns its channel
// and runner and removes the channel on every way out. Blocks its caller for the whole write:
// never call it on the interface thread. The only object shared with other threads is `cancel`.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/records/cancellation.hpp"
#include "core/records/imager_error.hpp"
#include "core/records/records.hpp"

namespace korvex {

// "Writing did not complete…": the runner ended without the writer reporting an outcome. Carries
// the runner's last line of error output (a refusal, a missing polkit agent), which the command
// line shows under the text; empty when it said nothing.
class WriteIncomplete : public ImagerError {
  public:
    static constexpr const char* kText =
        "Writing did not complete. Authorisation may have been cancelled or the writer "
        "disconnected.";
    explicit WriteIncomplete(std::string runnerOutput)
        : ImagerError(kText), runnerOutput_(std::move(runnerOutput)) {}
    const std::string& runnerOutput() const noexcept { return runnerOutput_; }

  private:
    std::string runnerOutput_;
};

struct WriterClient {
    // Where the client looks for things; the defaults are the real ones.
    struct Environment {
        // The current candidate drives, protecting the disks that hold the given paths.
        std::function<std::vector<TargetDisk>(const std::vector<std::string>& extraProtectedPaths)>
            listCandidates;
        // The writer program to copy and run.
        std::string writerPath;
    };

    // The real environment: the disk inventory of this machine, and the writer found by
    // locateWriter.
    static Environment systemEnvironment();

    // The program `name` beside the running executable, else in ../libexec/korvex-imager/ relative
    // to it (the installed layout, which the build tree repeats).
    static std::string locateWriter(const std::string& name = "korvex-imager-writer");

    // The writer as installed: `writer` with symbolic links resolved, when it is a regular file
    // that only root can replace (the file and every folder above it owned by root and writable
    // by no group and no other user). Such a writer is started directly, by its resolved path;
    // anywhere else (a build tree, a user's folder, below /tmp) it goes through the launch script,
    // which runs a checked private copy. Decided from the file system alone, never from a setting.
    static std::optional<std::string> installedWriter(const std::string& writer);

    // The image file a user chose, as every part of a write names it: symbolic links resolved
    // (realpath). Throws ImagerError "Cannot open the image file." when it cannot be resolved, and
    // the text below when the result is not valid UTF-8, which the request cannot carry. Callers
    // that take a path from a user (the file chooser, the command line) call this before anything
    // else, so such a file is refused at once and the same way everywhere.
    static std::string resolveImage(const std::string& chosen);
    static constexpr const char* kPathNotUtf8 =
        "The image path is not valid UTF-8 text. Rename the file or its folder and choose it "
        "again.";

    // The launch script; throws ImagerError "Invalid writer request." on a malformed digest or
    // request argument.
    static std::string command(const std::string& helper, const std::string& sha,
                               const std::string& request);

    // Writes `source` (a path from resolveImage) to `target`. Returns on success; throws
    // ImagerError (a message or cancelled), DecodeError for an undecodable event, or
    // std::system_error when the writer cannot be read or the runner cannot start. `progress` is
    // called on this thread for each accepted event, in order. Once cancelled it still waits for
    // the writer to stop and report, so the drive is left flushed and nothing is left behind.
    static void write(const std::string& source, const Inspection& inspection,
                      const TargetDisk& target, Cancellation& cancel,
                      const std::function<void(const WriteEvent&)>& progress,
                      const Environment& environment = systemEnvironment());
};

}  // namespace korvex
