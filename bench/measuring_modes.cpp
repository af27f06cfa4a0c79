#include "bench/measuring_modes.hpp"

#include <fcntl.h>
#include <grp.h>
#include <linux/fs.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <optional>
#include <sstream>

#include "app/model/writer_client.hpp"
#include "core/image/image_io.hpp"
#include "core/image/source_file.hpp"
#include "core/records/cancellation.hpp"
#include "core/records/imager_error.hpp"
#include "core/system/disk_inventory.hpp"
#include "tests/loop_as_usb_facts.hpp"

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

// The times of the passes, from the first event of each stage as a user would see them: the
// re-check of the stored file runs from `checking` (or the call) to the first "inspecting" event,
// the re-check of the expanded image from there to the first "writing" event, the writing pass from
// there to the first "verifying" event, the read-back from there to the return.
struct PassClock {
    Clock::time_point called = Clock::now();
    std::optional<Clock::time_point> checking, inspecting, writing, verifying;

    void operator()(const WriteEvent& event) {
        for (auto [stage, at] : {std::pair{"checking", &checking},
                                 {"inspecting", &inspecting},
                                 {"writing", &writing},
                                 {"verifying", &verifying}})
            if (!*at && event.stage == stage) *at = Clock::now();
    }

    void print() const {
        const Clock::time_point done = Clock::now();
        if (!inspecting || !writing || !verifying) throw std::runtime_error("an event is missing");
        auto seconds = [](Clock::duration d) { return std::chrono::duration<double>(d).count(); };
        const Clock::time_point start = checking.value_or(called);
        std::cout << "starting=" << seconds(start - called)
                  << "\nchecking=" << seconds(*inspecting - start)
                  << "\ninspecting=" << seconds(*writing - *inspecting)
                  << "\nwriting=" << seconds(*verifying - *writing)
                  << "\nverifying=" << seconds(done - *verifying) << "\n";
        // Where the passes lie on CLOCK_MONOTONIC (steady_clock here), for profilers that can use
        // it (perf record -k CLOCK_MONOTONIC, then perf report --time START,END).
        std::cout.precision(15);
        std::cout << "writing_at=" << seconds(writing->time_since_epoch())
                  << "\nverifying_at=" << seconds(verifying->time_since_epoch())
                  << "\ndone_at=" << seconds(done.time_since_epoch()) << "\n";
        std::cout.precision(6);
    }
};

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
    PassClock passes;
    try {
        ImageIO::writeAndVerify(source, device, inspection, sectorSize, cancel, std::ref(passes));
    } catch (...) {
        ::close(device);
        throw;
    }
    passes.print();
    ::close(device);
    std::cout << "sha256=" << inspection.expandedSHA256 << "\n";
    return 0;
}

// The whole write as a user makes it: this process becomes `user`, whose client raises `writer`
// (the test writer) through `sudo -n` and the launch script, and the writer writes the loop device
// `loop`, which it sees as the USB disk of tests/loop_as_usb_facts.hpp. The time before the first
// "checking" event is the client's own: the drive's re-check, the channel, the elevation, the
// launch script's check of its copy of the writer and the writer's start.
int clientWriteMode(const std::vector<std::string>& a) {
    const std::string &user = a[1], &writer = a[2], &path = a[3], &loop = a[4];
    const passwd* entry = ::getpwnam(user.c_str());
    if (entry == nullptr || ::setgroups(0, nullptr) != 0 ||
        ::setresgid(entry->pw_gid, entry->pw_gid, entry->pw_gid) != 0 ||
        ::setresuid(entry->pw_uid, entry->pw_uid, entry->pw_uid) != 0)
        throw std::runtime_error("cannot become the user " + user);
    ::setenv("HOME", entry->pw_dir, 1);
    ::setenv("KORVEX_IMAGER_ELEVATE", "sudo", 1);
    const Inspection inspection = decodeInspection(a[5]);
    const WriterClient::Environment environment{[loop](const std::vector<std::string>& paths) {
                                                    testing::LoopAsUsbFacts facts(loop);
                                                    return DiskInventory::list(paths, facts);
                                                },
                                                writer};
    Cancellation cancel;
    PassClock passes;
    WriterClient::write(WriterClient::resolveImage(path), inspection, testing::testTarget(loop),
                        cancel, std::ref(passes), environment);
    passes.print();
    std::cout << "sha256=" << inspection.expandedSHA256 << "\n";
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
        } else if (mode == "client-write" && arguments.size() == 6) {
            status = clientWriteMode(arguments);
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
