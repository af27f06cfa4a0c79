// Command: runs one system tool as a child process with a fixed two-variable environment, bounded
// in time and in output.
//
// Stateless; run() may be called from several threads at once (calls share nothing). Blocks its
// caller for the whole call. No child process and no reader thread outlives a call.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace korvex {

struct Command {
    // Runs `path` with `arguments` (no shell) and returns its standard output.
    // Throws std::system_error when the child cannot be started; ImagerError
    // "System query timed out or returned too much data." when it is not finished and read within
    // `timeoutSeconds` or prints more than `limit` bytes on both streams together; ImagerError
    // "System query failed: " + the first 1,000 bytes of standard error on a non-zero status.
    static std::string run(const std::string& path, const std::vector<std::string>& arguments,
                           double timeoutSeconds, std::int64_t limit);
};

}  // namespace korvex
