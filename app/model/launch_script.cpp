#include "app/model/launch_script.hpp"

#include <algorithm>

#include "core/base/ascii_text.hpp"
#include "core/base/shell_quote.hpp"
#include "core/native/platform.hpp"
#include "core/records/imager_error.hpp"

namespace korvex {
namespace {

bool isBase64Char(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
           c == '/' || c == '=';
}

}  // namespace

std::string launchScript(const std::string& helper, const std::string& sha,
                         const std::string& request) {
    bool digestOk = sha.size() == 64 && isHexText(sha);
    bool requestOk = !request.empty() && std::all_of(request.begin(), request.end(), isBase64Char);
    if (!digestOk || !requestOk) throw ImagerError("Invalid writer request.");

    const std::string lines[] = {
        "umask 077",
        "d=$(/usr/bin/mktemp -d " + std::string(platform::kLaunchTempTemplate) + ") || exit 1",
        // A signal must not skip the clean-up. The shell runs the trap when the current line
        // ends; any line still to come then fails for want of the copy.
        "trap '/bin/rm -rf \"$d\"' EXIT INT TERM HUP",
        "/bin/cp " + shellQuote(helper) + " \"$d/writer\" || exit 1",
        "/bin/chmod 500 \"$d/writer\" || exit 1",
        "actual=$(/usr/bin/sha256sum \"$d/writer\") || exit 1",
        "[ \"${actual%% *}\" = " + shellQuote(sha) + " ] || exit 1",
        "/usr/bin/env -i PATH=/usr/bin:/bin:/usr/sbin:/sbin \"$d/writer\" " + shellQuote(request),
    };
    std::string script;
    for (const std::string& line : lines) {
        if (!script.empty()) script += '\n';
        script += line;
    }
    return script;
}

}  // namespace korvex
