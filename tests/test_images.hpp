// Image test helpers: a file changed as a failing medium would, and progress events condensed.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "core/image/image_io.hpp"
#include "tests/test_support.hpp"

namespace korvex::testing {

inline void patchFile(const std::string& path, std::int64_t offset, const std::string& bytes) {
    const UniqueFd fd = openOrThrow(path, O_WRONLY);
    EXPECT_EQ(::pwrite(fd.get(), bytes.data(), bytes.size(), offset), std::ssize(bytes)) << path;
}

struct Recorded {
    std::string stage;
    std::int64_t completed, total;
    bool operator==(const Recorded&) const = default;
    friend std::ostream& operator<<(std::ostream& out, const Recorded& r) {
        return out << r.stage << " " << r.completed << "/" << r.total;
    }
};

// Records every event (none of which carries a message) into `events`, then passes it on.
inline ProgressCallback recordInto(std::vector<Recorded>& events, ProgressCallback next = {}) {
    return [&events, next = std::move(next)](const WriteEvent& e) {
        EXPECT_FALSE(e.message.has_value());
        events.push_back({e.stage, e.completed, e.total});
        if (next) next(e);
    };
}

inline std::vector<Recorded> only(const std::vector<Recorded>& events, const std::string& stage) {
    std::vector<Recorded> out;
    for (const Recorded& e : events)
        if (e.stage == stage) out.push_back(e);
    return out;
}

}  // namespace korvex::testing
