// Arbitrary bytes from the writer's side of the channel, cut into reads at arbitrary places: the
// session either accepts events or ends with ImagerError or DecodeError, never anything else, and
// never holds more than its bound.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "app/model/writer_session.hpp"
#include "core/records/decode_error.hpp"
#include "core/records/imager_error.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    // The first byte chooses the read size, as a socket would cut the stream.
    std::size_t cut = 1 + data[0] % 64;
    std::string_view stream(reinterpret_cast<const char*>(data + 1), size - 1);
    korvex::WriterSession session("6BA7B810-9DAD-11D1-80B4-00C04FD430C8", 4096);
    bool seenComplete = false;
    try {
        for (std::size_t at = 0; at < stream.size(); at += cut)
            session.feed(stream.substr(at, cut), [&](const korvex::WriteEvent& e) {
                if (e.stage == "complete") seenComplete = true;
            });
    } catch (const korvex::ImagerError&) {
    } catch (const korvex::DecodeError&) {
    }
    if (session.completed() && !seenComplete) std::abort();
    return 0;
}
