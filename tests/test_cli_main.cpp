// korvex-imager-cli-test: the command line over LoopAsUsbFacts (the loop device KVI_TEST_DRIVE as a
// USB disk) with the test writer; the catalogue from the resource folder KVI_TEST_RESOURCES, and
// network trust only in the CA file KVI_TEST_CA (the test server's). Never installed.
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <iostream>

#include "app/catalogue/signed_catalogue.hpp"
#include "app/cli/cli.hpp"
#include "app/model/image_download.hpp"
#include "core/system/disk_inventory.hpp"
#include "tests/loop_as_usb_facts.hpp"

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    auto variable = [](const char* name) {
        const char* value = std::getenv(name);
        return std::string(value != nullptr ? value : "");
    };
    const std::string loop = variable("KVI_TEST_DRIVE");
    const std::string resources = variable("KVI_TEST_RESOURCES");
    const std::string ca = variable("KVI_TEST_CA");
    korvex::CliServices services = korvex::CliServices::system();
    services.environment = {[loop](const std::vector<std::string>& paths) {
                                korvex::testing::LoopAsUsbFacts facts(loop);
                                return korvex::DiskInventory::list(paths, facts);
                            },
                            korvex::WriterClient::locateWriter("korvex-imager-writer-test")};
    if (!resources.empty()) {
        services.bundled = [resources] { return korvex::SignedCatalogue::bundled(resources); };
        services.inventory = [resources] { return korvex::ProcessorInventory::load(resources); };
    }
    if (!ca.empty()) {
        services.refresh = [ca](const korvex::Catalogue& current,
                                const korvex::CatalogueConfig& config) {
            korvex::SignedCatalogue::RefreshOptions options;
            options.network.caFile = ca;
            return korvex::SignedCatalogue::refresh(current, config, options);
        };
        services.fetch = [ca](const korvex::ImageVariant& image, const std::string& directory,
                              const korvex::Cancellation& cancel,
                              const korvex::ProgressCallback& progress) {
            korvex::NetworkOptions options = korvex::ImageDownload::networkOptions();
            options.caFile = ca;
            return korvex::ImageDownload::fetch(image, directory, cancel, progress, options);
        };
    }
    try {
        return korvex::runCli(argc, argv, services, STDIN_FILENO, std::cout, std::cerr);
    } catch (...) {
        std::cerr << "Unexpected failure.\n";
        return korvex::kCliFailed;
    }
}
