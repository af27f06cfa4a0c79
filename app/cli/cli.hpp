// The command-line face of Korvex Imager, for headless use and scripting:
//
//   korvex-imager-cli list
//   korvex-imager-cli inspect FILE
//   korvex-imager-cli catalogue [--product tower|nomad|boards] [--search TEXT]
//   korvex-imager-cli recommend [--cpu TEXT] [--graphics unknown|integrated|amd|nvidia]
//   korvex-imager-cli download ID
//   korvex-imager-cli write FILE|ID --drive NAME [--confirm NAME]
//   korvex-imager-cli help [COMMAND] | --help | --version
//
// with --chinese and --json anywhere on the line. Uses the same inventory, signed catalogue,
// recommender, image preparation and writer client as the application, with the same texts.
// Exit status 0 only on success ("complete" for a write); the others are CliStatus.
#pragma once

#include <functional>
#include <iosfwd>

#include "app/catalogue/device_profile.hpp"
#include "app/catalogue/processor_inventory.hpp"
#include "app/model/catalogue_view.hpp"
#include "app/model/image_preparation.hpp"
#include "app/model/writer_client.hpp"

namespace korvex {

enum CliStatus : int {
    kCliDone = 0,
    kCliFailed = 1,
    kCliUsage = 2,
    kCliCancelled = 3,  // Ctrl-C, SIGTERM, SIGHUP, or a confirmation that did not match
};

// What the command line reaches outside itself. system() is the shipped program's: the system's
// drives and writer, the shipped resources, the system's CAs and this computer's probe.
struct CliServices {
    WriterClient::Environment environment;
    CatalogueView::Bundled bundled;
    CatalogueView::Refresh refresh;
    ImagePreparation::Fetch fetch;  // empty: ImageDownload::fetch with its own options
    std::function<DeviceProfile()> probe;
    std::function<ProcessorInventory()> inventory;

    static CliServices system();
};

// Runs one command on the calling thread. REQUIRES: no other thread of the process has started
// yet, so that SIGINT, SIGTERM and SIGHUP during a download, an inspection or a write cancel it
// (in order: a started write is stopped by the writer, which reports, before this returns)
// instead of ending the process. `in` is the descriptor that answers the confirmation question;
// `out` gets results and help (with --json: only JSON objects, one per line), `err` progress,
// prompts and errors. Never throws.
int runCli(int argc, char** argv, const CliServices& services, int in, std::ostream& out,
           std::ostream& err);

}  // namespace korvex
