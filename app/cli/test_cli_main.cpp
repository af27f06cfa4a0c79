// korvex-imager-cli-test: the command line with the one disk-facts source that can present a loop
// device (named by KVI_TEST_DRIVE) as a USB disk, and the test writer, found as the shipped
// command line finds its writer. For tests and trials on loop devices; never installed.
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <iostream>

#include "app/cli/cli.hpp"
#include "core/system/disk_inventory.hpp"
#include "tests/loop_as_usb_facts.hpp"

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    const char* drive = std::getenv("KVI_TEST_DRIVE");
    const std::string loop = drive != nullptr ? drive : "";
    korvex::WriterClient::Environment environment{
        [loop](const std::vector<std::string>& paths) {
            korvex::testing::LoopAsUsbFacts facts(loop);
            return korvex::DiskInventory::list(paths, facts);
        },
        korvex::WriterClient::locateWriter("korvex-imager-writer-test")};
    try {
        return korvex::runCli(argc, argv, environment, STDIN_FILENO, std::cout, std::cerr);
    } catch (...) {
        std::cerr << "Unexpected failure.\n";
        return korvex::kCliFailed;
    }
}
