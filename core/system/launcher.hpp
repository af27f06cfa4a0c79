// launchProcess: the one way the programs start another program.
//
// The child starts clean whatever this process has done to itself: no blocked signals and every
// signal at its default action (both programs ignore SIGPIPE, and the command line blocks its
// cancelling signals for the thread that waits for them; a child must inherit neither), every
// descriptor from 3 up closed (including any a library opened without close-on-exec), and as the
// leader of a process group of its own, so that signalling the group reaches whatever it starts in
// turn. Safe to call from several threads at once; the caller owns and reaps the child.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace korvex {

struct LaunchOptions {
    // Descriptors that become the child's standard input, output and error; -1 passes this
    // process's own on.
    int input = -1;
    int output = -1;
    int error = -1;
    // The child's whole environment ("NAME=value" each); nullopt passes this process's on.
    std::optional<std::vector<std::string>> environment;
    // A session of its own, so no controlling terminal, instead of only a process group.
    bool newSession = false;
    // argv[0] without a slash is looked up in this process's PATH.
    bool searchPath = false;
};

// Starts argv[0] with the rest of `argv` as its arguments; returns the child's process id, which
// is also its process group's id. Throws std::system_error "cannot launch " + argv[0] when it
// cannot start, a missing or non-executable program included (the code is the error number).
pid_t launchProcess(const std::vector<std::string>& argv, const LaunchOptions& options = {});

}  // namespace korvex
