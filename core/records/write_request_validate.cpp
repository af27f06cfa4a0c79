#include "core/base/ascii_text.hpp"
#include "core/native/platform.hpp"
#include "core/records/imager_error.hpp"
#include "core/records/records.hpp"

namespace korvex {
namespace {

// ^[a-f0-9]{64}$, letter case ignored.
bool isDigestText(std::string_view text) {
    return text.size() == 64 && isHexText(text);
}

// ^<prefix>[A-Fa-f0-9-]{36}/s$, letter case ignored like every pattern of the request.
bool isChannelSocketPath(std::string_view path) {
    const std::string_view prefix = platform::kChannelPrefix;
    const std::string_view suffix = "/s";
    if (path.size() != prefix.size() + 36 + suffix.size()) return false;
    if (!equalsIgnoringAsciiCase(path.substr(0, prefix.size()), prefix)) return false;
    if (!equalsIgnoringAsciiCase(path.substr(prefix.size() + 36), suffix)) return false;
    for (char c : path.substr(prefix.size(), 36))
        if (!isHexDigit(c) && c != '-') return false;
    return true;
}

}  // namespace

bool isCanonicalUUID(std::string_view text) {
    if (text.size() != 36) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        bool hyphen = i == 8 || i == 13 || i == 18 || i == 23;
        if (hyphen ? text[i] != '-' : !isHexDigit(text[i])) return false;
    }
    return true;
}

void WriteRequest::validate() const {
    const std::string badSource = "Invalid image owner/path.";
    if (version != 1 || uid < 500) throw ImagerError(badSource);
    if (source.empty() || source.front() != '/') throw ImagerError(badSource);
    if (source.size() > 4095) throw ImagerError(badSource);
    if (source.find('\0') != std::string::npos) throw ImagerError(badSource);

    if (!platform::isListedWholeDiskName(target.bsd) || target.capacity == 0 ||
        target.registryID == 0)
        throw ImagerError("Invalid target.");

    if (!isChannelSocketPath(socket)) throw ImagerError("Invalid writer channel.");
    if (!isCanonicalUUID(nonce)) throw ImagerError("Invalid writer channel.");

    const Inspection& i = inspection;
    bool sizes = i.bytes >= 1 && i.bytes <= kMaxImageBytes && i.expanded >= 1 &&
                 i.expanded <= kMaxImageBytes && i.expanded % kSectorBytes == 0;
    if (!sizes || !isDigestText(i.sha256) || !isDigestText(i.expandedSHA256))
        throw ImagerError("Invalid image inspection.");
}

}  // namespace korvex
