#include "app/model/writer_session.hpp"

#include <algorithm>
#include <array>

#include "core/records/imager_error.hpp"

namespace korvex {
namespace {

constexpr std::array<std::string_view, 8> kStages = {"connected", "checking",  "inspecting",
                                                     "writing",   "verifying", "complete",
                                                     "error",     "cancelled"};

}  // namespace

WriterSession::WriterSession(std::string nonce, std::int64_t expanded)
    : nonce_(std::move(nonce)), expanded_(expanded) {}

void WriterSession::feed(std::string_view bytes,
                         const std::function<void(const WriteEvent&)>& onEvent) {
    buffer_.append(bytes);
    if (buffer_.size() > kMaxBuffered) throw ImagerError("Invalid writer response size.");
    for (std::size_t end; (end = buffer_.find('\n')) != std::string::npos;) {
        WriteEvent event = decodeWriteEvent(std::string_view(buffer_).substr(0, end));
        buffer_.erase(0, end + 1);
        accept(event);
        onEvent(event);
    }
}

void WriterSession::connectionFailed() {
    failure_ = "Writer connection failed.";
}

void WriterSession::accept(const WriteEvent& event) {
    bool known = std::find(kStages.begin(), kStages.end(), event.stage) != kStages.end();
    if (!known || event.completed < 0 || event.total < 0 || event.total > kMaxTotal ||
        (event.total != 0 && event.completed > event.total))
        throw ImagerError("Invalid writer progress.");

    if (event.stage == "connected") {
        if (handshaken_ || event.message != nonce_) throw ImagerError("Writer session mismatch.");
    } else if (!handshaken_) {
        throw ImagerError("Writer handshake is missing.");
    } else if (event.stage == "error") {
        failure_ = event.message.value_or("Writing failed.");
    } else if (event.stage == "cancelled") {
        failure_ = "cancelled";
    } else if (event.stage == "complete") {
        if (event.completed != expanded_ || event.total != expanded_)
            throw ImagerError("Incomplete writer result.");
        completed_ = true;
    }
    handshaken_ = true;
}

}  // namespace korvex
