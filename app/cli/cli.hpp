// The command-line face of Korvex Imager, for headless use and scripting:
//
//   korvex-imager-cli list
//   korvex-imager-cli inspect FILE
//   korvex-imager-cli write FILE --drive NAME [--confirm NAME]
//
// Uses the same inventory, inspection and writer client as the application, with the same texts.
// Exit status 0 only on success ("complete" for a write).
#pragma once

#include <iosfwd>

#include "app/model/writer_client.hpp"

namespace korvex {

// Runs one command. `in` answers the confirmation question; `out` gets results, `err` progress
// and errors. A Ctrl-C (SIGINT) during an operation cancels it.
int runCli(int argc, char** argv, const WriterClient::Environment& environment, std::istream& in,
           std::ostream& out, std::ostream& err);

}  // namespace korvex
