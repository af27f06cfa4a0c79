// The command-line face of Korvex Imager, for headless use and scripting:
//
//   korvex-imager-cli list
//   korvex-imager-cli inspect FILE
//   korvex-imager-cli write FILE --drive NAME [--confirm NAME]
//   korvex-imager-cli --help | --version
//
// Uses the same inventory, inspection and writer client as the application, with the same texts.
// Exit status 0 only on success ("complete" for a write); the others are CliStatus.
#pragma once

#include <iosfwd>

#include "app/model/writer_client.hpp"

namespace korvex {

enum CliStatus : int {
    kCliDone = 0,
    kCliFailed = 1,
    kCliUsage = 2,
    kCliCancelled = 3,  // Ctrl-C, SIGTERM, SIGHUP, or a confirmation that did not match
};

// Runs one command on the calling thread. REQUIRES: no other thread of the process has started
// yet, so that SIGINT, SIGTERM and SIGHUP during an inspection or a write cancel it (in order: a
// started write is stopped by the writer, which reports, before this returns) instead of ending
// the process. `in` is the descriptor that answers the confirmation question; `out` gets results
// and help, `err` progress, prompts and errors. Never throws.
int runCli(int argc, char** argv, const WriterClient::Environment& environment, int in,
           std::ostream& out, std::ostream& err);

}  // namespace korvex
