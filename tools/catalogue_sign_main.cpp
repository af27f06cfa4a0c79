// korvex-catalogue-sign: makes signing keys and signed catalogue envelopes for publishers.
//
//   korvex-catalogue-sign keygen PRIVATE.pem PUBLIC.pem
//   korvex-catalogue-sign sign PRIVATE.pem KEY-ID CATALOGUE.json ENVELOPE.json
//   korvex-catalogue-sign verify CONFIG.json ENVELOPE.json
//
// "sign" signs the catalogue file's exact bytes and then runs the application's own check on the
// result, so a catalogue the application would refuse is never written.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>

#include "app/catalogue/internet_date.hpp"
#include "app/catalogue/signed_catalogue.hpp"
#include "core/base/unique_fd.hpp"
#include "core/image/image_io.hpp"
#include "tools/catalogue_signing.hpp"

namespace {

using namespace korvex;

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// Writes a new file (never replacing one) with the given mode.
void writeNew(const std::string& path, const std::string& bytes, mode_t mode) {
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
    if (!fd) throw std::runtime_error("cannot create " + path + " (it must not exist yet)");
    ImageIO::writeAll(
        fd.get(), std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                                                bytes.size()));
    if (::fsync(fd.get()) != 0 || fd.reset() != 0) throw std::runtime_error("cannot write " + path);
}

// Replaces `path` with `bytes` through a temporary file.
void replace(const std::string& path, const std::string& bytes) {
    std::string temporary = path + ".tmp";
    ::unlink(temporary.c_str());
    writeNew(temporary, bytes, 0644);
    if (std::rename(temporary.c_str(), path.c_str()) != 0)
        throw std::runtime_error("cannot write " + path);
}

void summarise(const Catalogue& catalogue) {
    std::cout << "OK: catalogue " << catalogue.catalogueVersion << " generated "
              << catalogue.generatedAt << ", " << catalogue.images.size() << " images ("
              << catalogue.active().size() << " active), " << catalogue.rules.size() << " rules\n";
}

int usage() {
    std::cerr << "usage:\n"
                 "  korvex-catalogue-sign keygen PRIVATE.pem PUBLIC.pem\n"
                 "  korvex-catalogue-sign sign PRIVATE.pem KEY-ID CATALOGUE.json ENVELOPE.json\n"
                 "  korvex-catalogue-sign verify CONFIG.json ENVELOPE.json\n";
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        std::string command = argc > 1 ? argv[1] : "";
        if (command == "keygen" && argc == 4) {
            signing::SigningKey key = signing::SigningKey::generate();
            writeNew(argv[2], key.privatePem(), 0600);
            writeNew(argv[3], key.publicPem(), 0644);
            return 0;
        }
        if (command == "sign" && argc == 6) {
            signing::SigningKey key = signing::SigningKey::fromPrivatePem(readAll(argv[2]));
            std::string payload = readAll(argv[4]);
            std::string envelope = signing::envelope(payload, argv[3], key);
            CatalogueConfig config;
            config.url = "https://catalogue.invalid/";
            config.publicKeys[argv[3]] = key.publicPem();
            summarise(SignedCatalogue::verify(envelope, config, currentTime()));
            replace(argv[5], envelope);
            return 0;
        }
        if (command == "verify" && argc == 4) {
            CatalogueConfig config = decodeCatalogueConfig(readAll(argv[2]));
            summarise(SignedCatalogue::verify(readAll(argv[3]), config, currentTime()));
            return 0;
        }
        return usage();
    } catch (const std::exception& e) {
        std::cerr << "korvex-catalogue-sign: " << e.what() << "\n";
        return 1;
    }
}
