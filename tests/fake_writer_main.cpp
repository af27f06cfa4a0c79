// A stand-in for the writer that misbehaves on purpose, for the client's tests. It is run as root
// through the real launch script, so its one input is the request: the image file's name, without
// its extension, says what to do. Never installed.
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "core/native/native.h"
#include "core/base/base64.hpp"
#include "core/records/records.hpp"

using namespace korvex;

namespace {

int channel = -1;

void sendText(const std::string& text) {
    if (send(channel, text.data(), text.size(), MSG_NOSIGNAL)) {
    }
}

std::string line(const WriteEvent& e) {
    return encode(e) + "\n";
}

// Waits until the application closes the channel (it does on a protocol fault), at most 10 s.
void awaitClose() {
    char scratch[256];
    for (int i = 0; i < 100; ++i) {
        pollfd p{channel, POLLIN, 0};
        if (poll(&p, 1, 100) > 0 && recv(channel, scratch, sizeof scratch, 0) <= 0) return;
    }
}

}  // namespace

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    if (argc != 2) return 1;
    auto json = decodeBase64(argv[1], 16384);
    if (!json) return 1;
    WriteRequest r = decodeWriteRequest(*json);
    std::string mode = std::filesystem::path(r.source).stem();
    channel = kvi_unix_connect(r.socket.c_str());
    if (channel < 0) return 1;

    const std::string hello = line({"connected", 0, 0, r.nonce});
    const std::int64_t size = r.inspection.expanded;
    if (mode == "wrong-nonce") {
        sendText(line({"connected", 0, 0, "00000000-0000-4000-8000-000000000000"}));
    } else if (mode == "progress-first") {
        sendText(line({"writing", 0, size, {}}));
    } else if (mode == "second-connected") {
        sendText(hello + hello);
    } else if (mode == "unknown-stage") {
        sendText(hello + line({"flashing", 0, size, {}}));
    } else if (mode == "huge-total") {
        sendText(hello + line({"writing", 0, (std::int64_t{1} << 37) + 1, {}}));
    } else if (mode == "flood") {
        sendText(hello + std::string(16385, 'x'));
    } else if (mode == "wrong-complete") {
        sendText(hello + line({"complete", size - 512, size - 512, {}}));
    } else if (mode == "error-then-exit") {
        sendText(hello + line({"error", 0, 0, "Disk on fire."}));
        close(channel);
        return 0;
    } else if (mode == "two-in-one") {
        sendText(hello + line({"checking", 1, 2, {}}));
        std::string writing = line({"writing", size, size, {}});
        sendText(writing.substr(0, 7));
        usleep(100000);
        sendText(writing.substr(7));
        sendText(line({"complete", size, size, {}}));
        close(channel);
        return 0;
    }
    awaitClose();
    return 0;
}
