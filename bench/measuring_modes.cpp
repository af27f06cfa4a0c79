#include "bench/measuring_modes.hpp"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>

#include "core/image/image_io.hpp"
#include "core/image/source_file.hpp"
#include "core/records/cancellation.hpp"
#include "core/records/imager_error.hpp"

namespace korvex::bench {
namespace {

using Clock = std::chrono::steady_clock;

long peakResidentKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
    }
    return -1;
}

void ignoreEvent(const WriteEvent&) {}

int hashMode(const std::string& path) {
    Cancellation cancel;
    SourceFile source(path, ::getuid(), false);
    std::cout << "sha256=" << ImageIO::hashFile(source, cancel, ignoreEvent) << "\n";
    return 0;
}

int streamMode(const std::string& path) {
    Cancellation cancel;
    SourceFile source(path, ::getuid(), false);
    StreamResult result = ImageIO::stream(source, cancel, [](std::span<const std::uint8_t>) {});
    std::cout << "expanded=" << result.expanded << "\nsha256=" << result.expandedSHA256 << "\n";
    return 0;
}

int inspectMode(const std::string& path) {
    Cancellation cancel;
    Inspection inspection = ImageIO::inspect(path, cancel, ignoreEvent);
    std::cout << "inspection=" << encode(inspection) << "\nsha256=" << inspection.sha256
              << "\nexpanded_sha256=" << inspection.expandedSHA256 << "\n";
    return 0;
}

// The pass times come from the events, as a user would see them: the re-check of the stored file
// runs from the call to the first "inspecting" event, the re-check of the expanded image from there
// to the first "writing" event, the writing pass from there to the first "verifying" event, the
// read-back from there to the return.
int writeMode(const std::string& path, const std::string& devicePath, const std::string& json) {
    Inspection inspection = decodeInspection(json);
    Cancellation cancel;
    SourceFile source(path, ::getuid(), false);
    int device = ::open(devicePath.c_str(), O_RDWR | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_DIRECT);
    if (device < 0) throw std::runtime_error(devicePath + ": " + std::strerror(errno));
    int sectorSize = 0;
    if (::ioctl(device, BLKSSZGET, &sectorSize) != 0) {
        int saved = errno;
        ::close(device);
        throw std::runtime_error(devicePath + ": BLKSSZGET: " + std::strerror(saved));
    }

    std::optional<Clock::time_point> inspecting, writing, verifying;
    auto progress = [&](const WriteEvent& event) {
        if (!inspecting && event.stage == "inspecting") inspecting = Clock::now();
        if (!writing && event.stage == "writing") writing = Clock::now();
        if (!verifying && event.stage == "verifying") verifying = Clock::now();
    };
    const Clock::time_point called = Clock::now();
    try {
        ImageIO::writeAndVerify(source, device, inspection, sectorSize, cancel, progress);
    } catch (...) {
        ::close(device);
        throw;
    }
    Clock::time_point done = Clock::now();
    ::close(device);
    if (!inspecting || !writing || !verifying) throw std::runtime_error("an event is missing");
    std::cout << "checking=" << std::chrono::duration<double>(*inspecting - called).count()
              << "\ninspecting=" << std::chrono::duration<double>(*writing - *inspecting).count()
              << "\nwriting=" << std::chrono::duration<double>(*verifying - *writing).count()
              << "\nverifying=" << std::chrono::duration<double>(done - *verifying).count()
              << "\nsha256=" << inspection.expandedSHA256 << "\n";
    // Where the passes lie on CLOCK_MONOTONIC (steady_clock here), for profilers that can use it
    // (perf record -k CLOCK_MONOTONIC, then perf report --time START,END).
    std::cout.precision(15);
    std::cout << "writing_at=" << std::chrono::duration<double>(writing->time_since_epoch()).count()
              << "\nverifying_at="
              << std::chrono::duration<double>(verifying->time_since_epoch()).count()
              << "\ndone_at=" << std::chrono::duration<double>(done.time_since_epoch()).count()
              << "\n";
    std::cout.precision(6);
    return 0;
}

}  // namespace

int runMeasuringMode(const std::vector<std::string>& arguments) {
    try {
        const std::string mode = arguments.empty() ? "" : arguments[0];
        int status = 2;
        std::cout.precision(6);
        if (mode == "hash" && arguments.size() == 2) {
            status = hashMode(arguments[1]);
        } else if (mode == "stream" && arguments.size() == 2) {
            status = streamMode(arguments[1]);
        } else if (mode == "inspect" && arguments.size() == 2) {
            status = inspectMode(arguments[1]);
        } else if (mode == "write" && arguments.size() == 4) {
            status = writeMode(arguments[1], arguments[2], arguments[3]);
        } else {
            std::cerr << "kvi-bench --child: unknown mode or wrong arguments\n";
            return 2;
        }
        std::cout << "hwm_kib=" << peakResidentKiB() << "\n";
        return status;
    } catch (const std::exception& failure) {
        std::cerr << failure.what() << "\n";
        return 1;
    }
}

std::map<std::string, std::string> parseResults(const std::string& output) {
    std::map<std::string, std::string> results;
    std::istringstream lines(output);
    std::string line;
    while (std::getline(lines, line)) {
        auto equals = line.find('=');
        if (equals != std::string::npos) results[line.substr(0, equals)] = line.substr(equals + 1);
    }
    return results;
}

}  // namespace korvex::bench
