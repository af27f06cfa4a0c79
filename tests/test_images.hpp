// Test helpers for the image tests: patched image bytes and recorded progress.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/records/records.hpp"
#include "core/base/unique_fd.hpp"
#include "tests/test_support.hpp"

namespace korvex::testing {

// Overwrites bytes of a file in place, through its own descriptor.
inline void patchFile(const std::string& path, std::int64_t offset, const std::string& bytes) {
    const UniqueFd fd = openOrThrow(path, O_WRONLY);
    if (::pwrite(fd.get(), bytes.data(), bytes.size(), offset) !=
        static_cast<ssize_t>(bytes.size())) {
        throw std::runtime_error("cannot patch " + path);
    }
}

// The events of one operation, condensed for comparison.
struct Recorded {
    std::string stage;
    std::int64_t completed;
    std::int64_t total;
    bool operator==(const Recorded&) const = default;
};

inline std::ostream& operator<<(std::ostream& out, const Recorded& r) {
    return out << r.stage << " " << r.completed << "/" << r.total;
}

inline std::vector<Recorded> only(const std::vector<Recorded>& events, const std::string& stage) {
    std::vector<Recorded> out;
    for (const Recorded& e : events) {
        if (e.stage == stage) out.push_back(e);
    }
    return out;
}

}  // namespace korvex::testing
