// Test helpers for the image tests: image bytes, recorded progress, raw descriptors.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/records/records.hpp"
#include "tests/test_support.hpp"

namespace korvex::testing {

// A descriptor closed on destruction.
class Fd {
  public:
    Fd(const std::string& path, int flags) : fd_(::open(path.c_str(), flags | O_CLOEXEC, 0644)) {
        if (fd_ < 0) throw std::runtime_error("cannot open " + path);
    }
    ~Fd() { ::close(fd_); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

// Overwrites bytes of a file in place, through its own descriptor.
inline void patchFile(const std::string& path, std::int64_t offset, const std::string& bytes) {
    Fd fd(path, O_WRONLY);
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
