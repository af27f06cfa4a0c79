#include "bench/comparisons.hpp"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>

#include "bench/child_process.hpp"
#include "bench/measuring_modes.hpp"
#include "core/base/shell_quote.hpp"
#include "tests/loop_as_usb_facts.hpp"

namespace korvex::bench {
namespace fs = std::filesystem;
namespace {

constexpr std::int64_t kMiB = 1 << 20;
constexpr double kMemoryLimitMiB = 32;
// The .xz's decoder holds its dictionary and, expanding on several threads, blocks in flight.
constexpr double kXzMemoryLimitMiB = 64;
// Peak memory may differ by this much between the small and the large image and still count as
// "the same": page-granular noise of the allocator and the libraries, not growth with the image.
constexpr double kMemorySlackMiB = 1;

// The digest a tool printed: openssl's "SHA2-256(stdin)= HEX".
std::string digestOf(const std::string& output) {
    auto at = output.rfind("= ");
    if (at == std::string::npos) return {};
    std::string digest = output.substr(at + 2);
    while (!digest.empty() && (digest.back() == '\n' || digest.back() == ' ')) digest.pop_back();
    return digest;
}

// True when every run of both sides produced the same digest.
bool sameDigest(const Bench::Runs& runs) {
    if (runs.a.empty() || runs.b.empty() || runs.a.front().results.count("sha256") == 0)
        return false;
    const std::string expected = runs.a.front().results.at("sha256");
    auto all = [&](const std::vector<Measured>& side) {
        return std::all_of(side.begin(), side.end(), [&](const Measured& m) {
            auto it = m.results.find("sha256");
            return it != m.results.end() && it->second == expected;
        });
    };
    return !expected.empty() && all(runs.a) && all(runs.b);
}

std::string mib(double kib) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MiB", kib / 1024);
    return text;
}

bool isRoot() {
    return ::geteuid() == 0;
}

// A loop device's backing file in the work folder, the size of the image, removed afterwards.
class Backing {
  public:
    Backing(const fs::path& path, std::int64_t size) : path_(path) {
        testing::makeSparseFile(path_, static_cast<std::uint64_t>(size));
    }
    ~Backing() {
        std::error_code ignored;
        fs::remove(path_, ignored);
    }
    Backing(const Backing&) = delete;
    Backing& operator=(const Backing&) = delete;
    std::string path() const { return path_.string(); }

  private:
    fs::path path_;
};

using testing::LoopDevice;

std::int64_t roundUpToMiB(std::int64_t bytes) {
    return (bytes + kMiB - 1) / kMiB * kMiB;
}

// ---- the comparisons ----

void compareHashFile(Bench& bench) {
    const std::string& image = bench.images().raw;
    warmPageCache(image);
    Bench::Runs runs = bench.interleave(
        [&] {
            return bench.ours({"hash", image});
        },
        [&] {
            return bench.tool({"openssl", "dgst", "-sha256", image});
        });
    bench.add(ratioRow("hashFile raw 512 MiB", median(secondsOf(runs.a)), median(secondsOf(runs.b)),
                       1.10, sameDigest(runs),
                       "openssl dgst -sha256 FILE" + cpuNote(runs.a, runs.b)));
}

void compareStream(Bench& bench, const std::string& image, const std::string& label,
                   const std::string& expander, double target) {
    warmPageCache(image);
    const std::string script = expander + " " + shellQuote(image) + " | openssl dgst -sha256";
    Bench::Runs runs = bench.interleave(
        [&] {
            return bench.ours({"stream", image});
        },
        [&] { return bench.pipeline(script); });
    bench.add(ratioRow("stream " + label, median(secondsOf(runs.a)), median(secondsOf(runs.b)),
                       target, sameDigest(runs),
                       expander + " FILE | openssl dgst -sha256" + cpuNote(runs.a, runs.b)));
}

void compareInspect(Bench& bench) {
    const std::string& image = bench.images().raw;
    warmPageCache(image);
    Bench::Runs runs = bench.interleave(
        [&] {
            return bench.ours({"inspect", image});
        },
        [&] {
            return bench.tool({"openssl", "dgst", "-sha256", image});
        });
    bench.add(ratioRow("inspect raw 512 MiB", median(secondsOf(runs.a)), median(secondsOf(runs.b)),
                       1.25, sameDigest(runs),
                       "openssl dgst -sha256 FILE" + cpuNote(runs.a, runs.b)));
}

// Both passes of writeAndVerify come from the same runs of ours; each round also runs dd's write
// and dd's read-back, in that order, on the same loop device. `drive` selects a loop device that
// does direct I/O to its backing file, a stand-in for a real drive (no cache below the device,
// the read-back reads the disk); without it the backing file's page cache sits below the device,
// which makes the device faster than SHA-256 and the rows informational only.
void compareWritePasses(Bench& bench, bool drive) {
    const std::string writeName =
        drive ? "writeAndVerify writing pass" : "writing pass, cached loop";
    const std::string readName =
        drive ? "writeAndVerify read-back pass" : "read-back pass, cached loop";
    if (!isRoot()) {
        bench.add(noFigureRow(writeName, Verdict::Skipped, "needs root (loop device)"));
        bench.add(noFigureRow(readName, Verdict::Skipped, "needs root (loop device)"));
        return;
    }
    const std::string& image = bench.images().raw;
    const std::int64_t size = fileSize(image);
    const std::string approved = encode(bench.inspection(image));
    Backing backing(fs::path(bench.settings().workdir) / "target-512m.bin", roundUpToMiB(size));
    LoopDevice loop(backing.path(), 512, drive);
    if (drive && !loop.directIO()) {
        bench.add(noFigureRow(writeName, Verdict::Skipped, "loop device refused direct I/O"));
        bench.add(noFigureRow(readName, Verdict::Skipped, "loop device refused direct I/O"));
        return;
    }
    warmPageCache(image);

    const std::string count = std::to_string(roundUpToMiB(size) / kMiB);
    const std::vector<std::string> ddWrite = {"dd",         "if=" + image,  "of=" + loop.path(),
                                              "bs=1M",      "oflag=direct", "conv=fsync",
                                              "status=none"};
    const std::string ddRead = "dd if=" + loop.path() + " bs=1M iflag=direct count=" + count +
                               " status=none | openssl dgst -sha256";

    auto oursRun = [&] { return bench.ours({"write", image, loop.path(), approved}); };
    // Warm-up: the backing file gets its blocks, the tools their pages.
    oursRun();
    bench.tool(ddWrite);
    bench.pipeline(ddRead);
    // The writing pass hashes every byte it writes, so it can be no faster than the slower of
    // the device and SHA-256; openssl's hash of the image is timed too, to show that floor.
    const std::vector<std::string> hashOnly = {"openssl", "dgst", "-sha256", image};
    std::vector<Measured> ours, writes, reads, hashes;
    for (int round = 0; round < bench.settings().rounds; ++round) {
        ours.push_back(oursRun());
        writes.push_back(bench.tool(ddWrite));
        reads.push_back(bench.pipeline(ddRead));
        if (drive) hashes.push_back(bench.tool(hashOnly));
    }
    const std::string expected = bench.inspection(image).expandedSHA256;
    bool readsAgree = std::all_of(reads.begin(), reads.end(), [&](const Measured& m) {
        return m.results.count("sha256") && m.results.at("sha256") == expected;
    });
    const std::string device = drive ? ", loop device with direct I/O" : ", cached loop device";
    // The pass hashes what it writes: its target is the slower of the two, dd alone is shown.
    bench.add(ratioRow(writeName, median(secondsOf(ours, "writing")), median(secondsOf(writes)), 0,
                       true, "dd bs=1M oflag=direct conv=fsync" + device));
    if (drive) {
        const double floor = std::max(median(secondsOf(writes)), median(secondsOf(hashes)));
        bench.add(ratioRow("writing pass against its floor", median(secondsOf(ours, "writing")),
                           floor, 1.10, true, "max(dd write, openssl dgst -sha256 FILE)"));
    }
    bench.add(ratioRow(readName, median(secondsOf(ours, "verifying")), median(secondsOf(reads)),
                       drive ? 1.10 : 0, readsAgree,
                       "dd bs=1M iflag=direct | openssl dgst -sha256" + device));
}

// The whole write of the .xz as a user makes it, in a fresh process of the writer client run by a
// test user: the client raises the test writer through `sudo -n` and the writer re-checks the
// stored file and its expansion, writes and reads back the drive-like loop device that it sees as
// a USB disk. Against bmaptool's unverified write of the same file to the same device; the shell's
// verified way (expand to the device, then read it back through a hash) is shown for information.
// Each round runs the three in turn.
void compareWholeWrite(Bench& bench) {
    const std::string name = "whole write .xz 512 MiB";
    const std::string shellName = "whole write .xz, shell verified";
    if (!isRoot()) {
        bench.add(noFigureRow(name, Verdict::Skipped, "needs root (loop device)"));
        bench.add(noFigureRow(shellName, Verdict::Skipped, "needs root (loop device)"));
        return;
    }
    // The client runs as a user of its own, which `sudo -n` lets run the launch script; the image
    // is that user's copy of the .xz, and the test writer a copy every user may read.
    testing::TestUser user("kvibench");
    if (!user.valid()) throw BenchError("no test user could be made");
    user.allowSudoShell();
    const testing::TempDir programs;
    const std::string writer = testing::copyForUsers(programs, KVI_TEST_WRITER, "libexec");
    const std::string image = user.home() + "/" + fs::path(bench.images().xz).filename().string();
    fs::copy_file(bench.images().xz, image);
    if (::chown(image.c_str(), user.uid(), user.gid()) != 0) throw BenchError("chown " + image);
    const std::int64_t expanded = fileSize(bench.images().raw);
    const Inspection& inspection = bench.inspection(bench.images().xz);
    const std::string approved = encode(inspection);
    const fs::path backing = fs::path(bench.settings().workdir) / "target-512m.bin";
    Backing removed(backing, roundUpToMiB(expanded));
    const testing::TestDrive drive(backing.string(), roundUpToMiB(expanded), {user.uid()}, 512,
                                   true);
    const LoopDevice& loop = drive.loop();
    if (!loop.directIO()) {
        bench.add(noFigureRow(name, Verdict::Skipped, "loop device refused direct I/O"));
        bench.add(noFigureRow(shellName, Verdict::Skipped, "loop device refused direct I/O"));
        return;
    }
    warmPageCache(image);
    const std::string count = std::to_string(roundUpToMiB(expanded) / kMiB);
    const std::vector<std::string> bmaptool = {"bmaptool", "-q",  "copy",
                                               "--nobmap", image, loop.path()};
    const std::string verified =
        "xz -T2 -dc " + shellQuote(image) + " | dd of=" + loop.path() +
        " bs=1M oflag=direct conv=fsync status=none && dd if=" + loop.path() +
        " bs=1M iflag=direct count=" + count + " status=none | openssl dgst -sha256";
    auto oursRun = [&] {
        return bench.ours({"client-write", user.name(), writer, image, loop.name(), approved});
    };
    oursRun();
    bench.tool(bmaptool);
    bench.pipeline(verified);
    std::vector<Measured> ours, tools, shells;
    for (int round = 0; round < bench.settings().rounds; ++round) {
        ours.push_back(oursRun());
        tools.push_back(bench.tool(bmaptool));
        shells.push_back(bench.pipeline(verified));
    }
    const std::string expected = inspection.expandedSHA256;
    const bool shellAgrees = std::all_of(shells.begin(), shells.end(), [&](const Measured& m) {
        return m.results.count("sha256") && m.results.at("sha256") == expected;
    });
    char passes[200];
    std::snprintf(passes, sizeof passes,
                  "; %.2f + %.2f + %.2f + %.2f + %.2f s (client and elevation, stored re-check, "
                  "expanded re-check, writing, read-back)",
                  median(secondsOf(ours, "starting")), median(secondsOf(ours, "checking")),
                  median(secondsOf(ours, "inspecting")), median(secondsOf(ours, "writing")),
                  median(secondsOf(ours, "verifying")));
    bench.add(ratioRow(name, median(secondsOf(ours)), median(secondsOf(tools)), 1.00, true,
                       "bmaptool copy --nobmap FILE DEV, unverified" + std::string(passes) +
                           cpuNote(ours, tools)));
    bench.add(ratioRow(shellName, median(secondsOf(ours)), median(secondsOf(shells)), 0,
                       shellAgrees,
                       "xz -T2 -dc | dd oflag=direct; dd iflag=direct | openssl dgst -sha256" +
                           cpuNote(ours, shells)));
}

// Peak resident memory of a whole writeAndVerify, in a fresh process: bounded, and not growing
// with the image. The .xz shows the dearest decoder (its dictionary), without a target.
void compareMemory(Bench& bench) {
    const std::string smallName = "peak memory writeAndVerify 512 MiB";
    const std::string largeName = "peak memory writeAndVerify 4 GiB";
    const std::string xzName = "peak memory writeAndVerify .xz";
    if (!isRoot()) {
        for (const std::string& name : {smallName, largeName, xzName})
            bench.add(noFigureRow(name, Verdict::Skipped, "needs root (loop device)"));
        return;
    }
    auto peakKiB = [&](const std::string& image, std::int64_t expanded, const std::string& name) {
        const std::string approved = encode(bench.inspection(image));
        Backing backing(fs::path(bench.settings().workdir) / name, roundUpToMiB(expanded));
        LoopDevice loop(backing.path(), 512, true);
        Measured run = bench.ours({"write", image, loop.path(), approved});
        return std::stod(run.results.at("hwm_kib"));
    };
    const std::int64_t rawSize = fileSize(bench.images().raw);
    const double small = peakKiB(bench.images().raw, rawSize, "target-512m.bin");
    bench.add(limitRow(smallName, mib(small), "<= 32 MiB", small / 1024 <= kMemoryLimitMiB,
                       "VmHWM of the whole process (raw image)"));
    const double large =
        peakKiB(bench.images().large, fileSize(bench.images().large), "target-4g.bin");
    bench.add(limitRow(largeName, mib(large), "<= 32 MiB, = 512 MiB's",
                       large / 1024 <= kMemoryLimitMiB && (large - small) / 1024 <= kMemorySlackMiB,
                       "VmHWM (raw image); within 1 MiB of the 512 MiB one counts as the same"));
    const double xz = peakKiB(bench.images().xz, rawSize, "target-512m.bin");
    bench.add(limitRow(xzName, mib(xz), "<= 64 MiB", xz / 1024 <= kXzMemoryLimitMiB,
                       "VmHWM (xz -6 -T2 image of the 512 MiB one)"));
}

}  // namespace

Bench::Bench(Settings settings, BenchImages images)
    : settings_(std::move(settings)), images_(std::move(images)) {}

Measured Bench::ours(const std::vector<std::string>& modeArguments) const {
    std::vector<std::string> argv = {settings_.self, "--child"};
    argv.insert(argv.end(), modeArguments.begin(), modeArguments.end());
    Finished finished = run(argv);
    return Measured{finished.seconds, finished.cpuSeconds, parseResults(finished.out)};
}

Measured Bench::tool(const std::vector<std::string>& argv) const {
    Finished finished = run(argv);
    Measured measured{finished.seconds, finished.cpuSeconds, {}};
    if (std::string digest = digestOf(finished.out); !digest.empty())
        measured.results["sha256"] = digest;
    return measured;
}

Measured Bench::pipeline(const std::string& script) const {
    return tool({"bash", "-o", "pipefail", "-c", script});
}

Bench::Runs Bench::interleave(const std::function<Measured()>& a,
                              const std::function<Measured()>& b) const {
    a();
    b();
    Runs runs;
    for (int round = 0; round < settings_.rounds; ++round) {
        runs.a.push_back(a());
        runs.b.push_back(b());
    }
    return runs;
}

const Inspection& Bench::inspection(const std::string& image) {
    auto it = inspections_.find(image);
    if (it == inspections_.end()) {
        Measured measured = ours({"inspect", image});
        it = inspections_.emplace(image, decodeInspection(measured.results.at("inspection"))).first;
    }
    return it->second;
}

void Bench::add(Row row) {
    printRow(std::cout, row);
    rows_.push_back(std::move(row));
}

std::vector<double> secondsOf(const std::vector<Measured>& runs, const std::string& key) {
    std::vector<double> seconds;
    for (const Measured& m : runs)
        seconds.push_back(key.empty() ? m.seconds : std::stod(m.results.at(key)));
    return seconds;
}

std::vector<double> cpuSecondsOf(const std::vector<Measured>& runs) {
    std::vector<double> seconds;
    for (const Measured& m : runs) seconds.push_back(m.cpuSeconds);
    return seconds;
}

std::string cpuNote(const std::vector<Measured>& ours, const std::vector<Measured>& tool) {
    char text[64];
    std::snprintf(text, sizeof text, "; cpu %.2f/%.2f s", median(cpuSecondsOf(ours)),
                  median(cpuSecondsOf(tool)));
    return text;
}

const std::vector<Comparison>& comparisons() {
    static const std::vector<Comparison> all = {
        {"hashFile", "hashFile of the raw image vs openssl dgst -sha256", compareHashFile},
        {"stream-gz", "stream of the .gz vs gzip -dc | openssl dgst -sha256",
         [](Bench& b) { compareStream(b, b.images().gz, ".gz of 512 MiB", "gzip -dc", 0.65); }},
        {"stream-xz", "stream of the .xz vs xz -dc | openssl dgst -sha256",
         [](Bench& b) { compareStream(b, b.images().xz, ".xz of 512 MiB", "xz -dc", 0.60); }},
        {"stream-zst", "stream of the .zst vs zstd -dc | openssl dgst -sha256",
         [](Bench& b) { compareStream(b, b.images().zst, ".zst of 512 MiB", "zstd -dc", 1.00); }},
        {"stream-zip", "stream of the .zip vs unzip -p | openssl dgst -sha256 (no target)",
         [](Bench& b) { compareStream(b, b.images().zip, ".zip of 512 MiB", "unzip -p", 0); }},
        {"inspect", "inspect of the raw image vs openssl dgst -sha256", compareInspect},
        {"write",
         "writeAndVerify's writing and read-back passes vs dd, drive-like loop device (root)",
         [](Bench& b) { compareWritePasses(b, true); }},
        {"write-cached", "the same on a loop device cached by its backing file, no target (root)",
         [](Bench& b) { compareWritePasses(b, false); }},
        {"whole-write",
         "the writer client's whole write of the .xz vs bmaptool copy --nobmap, drive-like loop "
         "device (root)",
         compareWholeWrite},
        {"memory", "peak memory of writeAndVerify: 512 MiB, 4 GiB, and the .xz (root)",
         compareMemory},
    };
    return all;
}

}  // namespace korvex::bench
