// PreferenceStore: the seam through which the back end reads the user's preferences.
//
// The application passes its QSettings-backed store; tests pass their own. Implementations must
// be safe to read from any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace korvex {

class PreferenceStore {
  public:
    virtual ~PreferenceStore() = default;
    // The string stored under `key`, or nullopt when there is none (or it is not a string).
    virtual std::optional<std::string> string(std::string_view key) const = 0;
};

// The key of the user's chosen download folder.
inline constexpr std::string_view kDownloadDirectoryKey = "downloadDirectory";

}  // namespace korvex
