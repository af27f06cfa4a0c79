// The shell script that the elevation runner executes as root for one write.
//
// It copies the writer to a private temporary folder, checks the copy's SHA-256 against the
// digest the application computed, and runs the copy with an empty environment (PATH only) and
// exactly one argument, the Base64 request. The copy is removed when the script ends, and also
// when the script is stopped by SIGINT, SIGTERM or SIGHUP.
#pragma once

#include <string>

namespace korvex {

// Throws ImagerError "Invalid writer request." when `sha` is not 64 hexadecimal digits or
// `request` holds characters outside the Base64 alphabet. `helper` is only quoted, never tested.
std::string launchScript(const std::string& helper, const std::string& sha,
                         const std::string& request);

}  // namespace korvex
