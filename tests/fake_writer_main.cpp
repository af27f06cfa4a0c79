// A stand-in writer that misbehaves on purpose, run as root through the real launch script: the
// image file's name, without its extension, says how. Never installed.
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "core/base/base64.hpp"
#include "core/native/native.h"
#include "core/records/records.hpp"

using namespace korvex;

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    if (argc != 2) return 1;
    auto json = decodeBase64(argv[1], 16384);
    if (!json) return 1;
    WriteRequest r = decodeWriteRequest(*json);
    const std::string mode = std::filesystem::path(r.source).stem();
    const int channel = kvi_unix_connect(r.socket.c_str());
    if (channel < 0) return 1;

    std::string text = encode(WriteEvent{"connected", 0, 0, r.nonce}) + "\n";
    if (mode == "flood") text += std::string(16385, 'x');
    if (mode == "error-then-exit")
        text += encode(WriteEvent{"error", 0, 0, "Disk on fire."}) + "\n";
    if (mode == "wrong-complete") {  // a false "complete": one sector short of the image
        const std::int64_t size = r.inspection.expanded - 512;
        text += encode(WriteEvent{"complete", size, size, {}}) + "\n";
    }
    if (send(channel, text.data(), text.size(), MSG_NOSIGNAL) < 0 || mode == "error-then-exit")
        return 0;
    // Waits until the application closes the channel (it does on a protocol fault), at most 10 s.
    char scratch[256];
    for (int i = 0; i < 100; ++i) {
        pollfd p{channel, POLLIN, 0};
        if (poll(&p, 1, 100) > 0 && recv(channel, scratch, sizeof scratch, 0) <= 0) return 0;
    }
    return 0;
}
