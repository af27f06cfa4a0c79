#include "tests/test_support.hpp"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace korvex::testing {

bool isRoot() {
    return geteuid() == 0;
}

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/kvi-test.XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path);
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string shell(const std::string& command) {
    FILE* p = popen(command.c_str(), "r");
    if (p == nullptr) throw std::runtime_error("popen failed: " + command);
    std::string out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    int status = pclose(p);
    if (status != 0) throw std::runtime_error("command failed: " + command);
    return out;
}

LoopDevice::LoopDevice(const std::string& backingFile, unsigned sectorSize, bool directIO) {
    std::string cmd = "losetup --find --show --sector-size " + std::to_string(sectorSize) +
                      (directIO ? " --direct-io=on " : " ") + "'" + backingFile + "'";
    path_ = shell(cmd);
    while (!path_.empty() && (path_.back() == '\n' || path_.back() == ' ')) path_.pop_back();
    if (path_.rfind("/dev/loop", 0) != 0) throw std::runtime_error("losetup gave " + path_);
}

LoopDevice::~LoopDevice() {
    if (!path_.empty() && std::system(("losetup -d " + path_ + " 2>/dev/null").c_str()) != 0) {
        // Nothing more to do: a busy device is detached by the kernel once released.
    }
}

std::string LoopDevice::name() const {
    return path_.substr(5);
}

}  // namespace korvex::testing
