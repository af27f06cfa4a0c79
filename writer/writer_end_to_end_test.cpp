// The writer as a real process, run as root, writing to real loop devices, with this test playing
// the application: a real non-root user owns the channel directory and listener, pings every
// 0.5 s, reads the events and, in some cases, misbehaves on purpose.
//
// The test writer differs from the shipped one only in its disk-facts source, which also lists
// the loop device named by KVI_TEST_DRIVE as the external USB disk "sdkv" (test_writer_facts.cpp).
// The shipped writer is run for everything that happens before a drive is looked at.
#include <fcntl.h>
#include <poll.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <random>
#include <thread>

#include "core/image/image_io.hpp"
#include "core/native/native.h"
#include "core/base/base64.hpp"
#include "core/records/records.hpp"
#include "tests/loop_as_usb_facts.hpp"
#include "tests/test_support.hpp"

extern char** environ;

namespace korvex {

static void PrintTo(const WriteEvent& e, std::ostream* out) {
    *out << encode(e);
}

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;
using testing::TempDir;

using testing::kTestDriveName;

std::string uuid() {
    std::random_device random;
    char text[37];
    std::snprintf(text, sizeof text, "%08x-%04x-4%03x-8%03x-%04x%08x", random(), random() & 0xFFFF,
                  random() & 0xFFF, random() & 0xFFF, random() & 0xFFFF, random());
    return text;
}

bool isMounted(const std::string& directory) {
    if (directory.empty()) return false;
    std::string mounts = testing::readFile("/proc/self/mounts");
    return mounts.find(" " + directory + " ") != std::string::npos;
}

// A loop device holding a mounted ext4 file system, unmounted (if still mounted) and detached on
// destruction. Where the kernel reads partition tables the file system is on a partition
// (from 1 MiB to the end of an MBR disk, attached with --partscan); a kernel without them gets
// the file system on the whole device, mounted at two places, so the writer still has more than
// one mount point of the drive to take down.
class MountedDrive {
  public:
    explicit MountedDrive(const TempDir& dir) : backing_(dir.file("partitioned")) {
        std::string disk(8 << 20, '\0');
        const std::uint32_t start = 2048, sectors = (8 << 20) / 512 - 2048;
        unsigned char* entry = reinterpret_cast<unsigned char*>(disk.data()) + 446;
        entry[4] = 0x83;
        std::memcpy(entry + 8, &start, 4);
        std::memcpy(entry + 12, &sectors, 4);
        disk[510] = static_cast<char>(0x55);
        disk[511] = static_cast<char>(0xAA);
        testing::writeFile(backing_, disk);
        device_ = testing::shell("losetup --find --show --partscan '" + backing_ + "'");
        while (!device_.empty() && device_.back() == '\n') device_.pop_back();
        std::string volume = device_ + "p1";
        for (int i = 0; i < 50 && !fs::exists(volume); ++i) std::this_thread::sleep_for(20ms);
        if (!fs::exists(volume)) volume = device_;
        testing::shell("mkfs.ext4 -q -F " + volume + " >/dev/null 2>&1");
        for (const char* name : {"mounted", "mounted-again"}) {
            if (volume != device_ && !mountPoints_.empty()) break;
            mountPoints_.push_back(dir.file(name));
            fs::create_directory(mountPoints_.back());
            testing::shell("mount " + volume + " '" + mountPoints_.back() + "'");
        }
    }
    ~MountedDrive() {
        for (const auto& point : mountPoints_)
            if (isMounted(point)) umount2(point.c_str(), MNT_DETACH);
        if (!device_.empty()) std::system(("losetup -d " + device_ + " 2>/dev/null").c_str());
    }
    MountedDrive(const MountedDrive&) = delete;
    MountedDrive& operator=(const MountedDrive&) = delete;

    std::string name() const { return device_.substr(5); }
    const std::string& backing() const { return backing_; }
    bool anyMounted() const {
        return std::any_of(mountPoints_.begin(), mountPoints_.end(), isMounted);
    }
    bool allMounted() const {
        return std::all_of(mountPoints_.begin(), mountPoints_.end(), isMounted);
    }

  private:
    std::string backing_, device_;
    std::vector<std::string> mountPoints_;
};

std::uint64_t diskSequence(const std::string& name) {
    return std::stoull(testing::readFile("/sys/class/block/" + name + "/diskseq"));
}

std::uint64_t deviceBytes(const std::string& name) {
    return std::stoull(testing::readFile("/sys/class/block/" + name + "/size")) * 512;
}

// What the application does besides serving the channel.
struct App {
    enum class Act { None, Cancel, UpperCasePing, Flood, Close, StopPinging };
    bool asUser = true;   // false: the listener is root's, not the requesting user's
    Act act = Act::None;  // done once, at the first event of stage `actAt`
    std::string actAt = "checking";
};

struct Outcome {
    int status = -1;
    bool connected = false;
    std::vector<WriteEvent> events;
    Clock::duration actToEnd{};  // from the act to the last event
};

class WriterEndToEndTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        if (testing::isRoot()) account_ = std::make_unique<testing::TestUser>("kvie2e");
    }
    static void TearDownTestSuite() { account_.reset(); }
    void SetUp() override {
        KVI_REQUIRE_ROOT();
        ASSERT_TRUE(account_ && account_->valid()) << "no test user could be created";
    }

    std::string backing() const { return dir_.file("drive"); }

    // A loop device over a fresh 4 MiB backing() file with every byte `fill`.
    std::unique_ptr<testing::LoopDevice> attachDrive(char fill = '\0', unsigned sectorSize = 512) {
        testing::writeFile(backing(), std::string(4 << 20, fill));
        return std::make_unique<testing::LoopDevice>(backing(), sectorSize);
    }

    // An image file owned by the test user; `kind` is "img", "gz", "xz" or "zip".
    std::string makeImage(const std::string& expanded, const std::string& kind) {
        std::string raw = dir_.file("image.img");
        testing::writeFile(raw, expanded);
        std::string path = raw;
        if (kind == "gz")
            path = dir_.file("image.img.gz"), testing::shell("gzip -c " + raw + " > " + path);
        if (kind == "xz")
            path = dir_.file("image.img.xz"), testing::shell("xz -c " + raw + " > " + path);
        if (kind == "zip")
            path = dir_.file("image.zip"),
            testing::shell("cd " + dir_.path() + " && zip -q image.zip image.img");
        EXPECT_EQ(chown(path.c_str(), account_->uid(), account_->gid()), 0);
        return path;
    }

    // The request the application would send once the user confirmed `loop` for `image`.
    WriteRequest request(const std::string& image, const std::string& expanded,
                         const std::string& loop) {
        std::string stored = testing::readFile(image);
        WriteRequest r = requestFor(image, loop);
        r.inspection = Inspection{static_cast<std::int64_t>(stored.size()),
                                  static_cast<std::int64_t>(expanded.size()),
                                  ImageIO::digest(stored), ImageIO::digest(expanded)};
        return r;
    }

    WriteRequest requestFor(const std::string& image, const std::string& loop) {
        WriteRequest r;
        r.source = image;
        r.target = TargetDisk{kTestDriveName, "External drive", deviceBytes(loop),
                              diskSequence(loop), "USB"};
        r.uid = account_->uid();
        r.socket = "/tmp/kvi-" + uuid() + "/s";
        r.nonce = uuid();
        return r;
    }

    // A 2 GiB image of holes: 2,048 "checking" events, more than the channel holds and more than
    // the application reads in ten seconds when it reads slowly, so it can act while the image is
    // hashed. The inspection is never reached, so any well-formed one does.
    WriteRequest longRequest(const std::string& loop) {
        const std::int64_t size = 2LL << 30;
        std::string path = dir_.file("long.img");
        testing::writeFile(path, "");
        EXPECT_EQ(truncate(path.c_str(), size), 0);
        EXPECT_EQ(chown(path.c_str(), account_->uid(), account_->gid()), 0);
        WriteRequest r = requestFor(path, loop);
        r.inspection = Inspection{size, size, std::string(64, 'a'), std::string(64, 'b')};
        return r;
    }

    // Runs `program` with `arguments` as root (or as the test user), with the application's
    // side served as `app` says at `socketPath`, and collects what the application received.
    Outcome run(const char* program, const std::vector<std::string>& arguments,
                const std::string& socketPath, const App& app, const std::string& testDrive = "",
                bool writerAsUser = false) {
        int ready[2], control[2], result[2];
        if (pipe2(ready, O_CLOEXEC) || pipe2(control, O_CLOEXEC) || pipe2(result, O_CLOEXEC))
            throw std::runtime_error("pipe");
        pid_t appPid = fork();
        if (appPid == 0) {
            close(ready[0]), close(control[1]), close(result[0]);
            serve(app, socketPath, ready[1], control[0], result[1]);
            _exit(0);
        }
        close(ready[1]), close(control[0]), close(result[1]);
        char byte = 0;
        bool listening = read(ready[0], &byte, 1) == 1;
        close(ready[0]);

        Outcome outcome;
        if (listening) {
            pid_t writerPid = fork();
            if (writerPid == 0) {
                if (writerAsUser && !account_->become()) _exit(99);
                if (!testDrive.empty()) setenv("KVI_TEST_DRIVE", testDrive.c_str(), 1);
                std::vector<char*> argv{const_cast<char*>(program)};
                for (const auto& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
                argv.push_back(nullptr);
                execve(program, argv.data(), environ);
                _exit(98);
            }
            int status = 0;
            waitpid(writerPid, &status, 0);
            outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        close(control[1]);
        std::string received;
        char buffer[65536];
        for (ssize_t n; (n = read(result[0], buffer, sizeof buffer)) > 0;)
            received.append(buffer, static_cast<std::size_t>(n));
        close(result[0]);
        waitpid(appPid, nullptr, 0);
        fs::remove_all(fs::path(socketPath).parent_path());
        EXPECT_TRUE(listening) << "the application's side could not listen";

        // "C" or "N" (connected or not), the act-to-end time in ns, then the bytes received.
        if (received.empty()) return outcome;
        outcome.connected = received[0] == 'C';
        auto space = received.find(' ');
        outcome.actToEnd = std::chrono::nanoseconds(std::stoll(received.substr(1, space - 1)));
        std::string lines = received.substr(space + 1);
        for (std::size_t start = 0, end; (end = lines.find('\n', start)) != std::string::npos;
             start = end + 1)
            outcome.events.push_back(decodeWriteEvent(lines.substr(start, end - start)));
        return outcome;
    }

    Outcome write(const WriteRequest& r, const App& app, const std::string& loop) {
        return run(KVI_TEST_WRITER, {encodeBase64(encode(r))}, r.socket, app, loop);
    }

    // The application's side, in a child process: listens, accepts, pings every 0.5 s, reads the
    // events and acts once as told. Ends when the writer closes the channel or the test says so.
    void serve(const App& app, const std::string& socketPath, int ready, int control, int result) {
        if (app.asUser && !account_->become()) return;
        std::string directory = fs::path(socketPath).parent_path();
        if (mkdir(directory.c_str(), 0700) != 0) return;
        int listener = kvi_unix_listener(socketPath.c_str());
        if (listener < 0 || ::write(ready, "R", 1) != 1) return;
        close(ready);

        int channel = -1;
        bool connected = false, acted = false, pinging = true, slow = false;
        std::string received;
        std::size_t scanned = 0;
        auto nextPing = Clock::now(), nextRead = Clock::now(), pausedUntil = Clock::now();
        Clock::time_point actedAt{}, lastEvent{};
        for (;;) {
            auto now = Clock::now();
            bool reading = channel >= 0 && now >= pausedUntil && now >= nextRead;
            pollfd fds[2] = {{control, POLLIN, 0}, {channel >= 0 ? channel : listener, POLLIN, 0}};
            if (channel >= 0 && !reading) fds[1].fd = -1;
            if (channel < 0 && connected) fds[1].fd = -1;
            poll(fds, 2, 20);
            if (fds[0].revents != 0) {
                // The writer has ended: what it sent last is still in the channel.
                if (channel >= 0) {
                    fcntl(channel, F_SETFL, 0);
                    char buffer[65536];
                    for (ssize_t n; (n = recv(channel, buffer, sizeof buffer, 0)) > 0;)
                        received.append(buffer, static_cast<std::size_t>(n)),
                            lastEvent = Clock::now();
                }
                break;
            }
            now = Clock::now();
            if (channel < 0 && !connected && (fds[1].revents & POLLIN)) {
                channel = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
                connected = channel >= 0;
                continue;
            }
            if (channel >= 0 && reading && (fds[1].revents & (POLLIN | POLLHUP))) {
                char buffer[65536];
                ssize_t n = recv(channel, buffer, slow ? 256 : sizeof buffer, 0);
                if (n <= 0) break;
                received.append(buffer, static_cast<std::size_t>(n));
                lastEvent = now;
                if (slow) nextRead = now + 40ms;
            }
            for (std::size_t end;
                 !acted && (end = received.find('\n', scanned)) != std::string::npos;
                 scanned = end + 1) {
                if (decodeWriteEvent(received.substr(scanned, end - scanned)).stage != app.actAt)
                    continue;
                acted = true;
                actedAt = now;
                switch (app.act) {
                    case App::Act::None:
                        break;
                    case App::Act::Cancel:
                        send(channel, "cancel\n", 7, MSG_NOSIGNAL);
                        break;
                    case App::Act::UpperCasePing:
                        send(channel, "PING\n", 5, MSG_NOSIGNAL);
                        break;
                    case App::Act::Flood:
                        send(channel, std::string(1025, 'p').data(), 1025, MSG_NOSIGNAL);
                        break;
                    case App::Act::Close:
                        close(channel), channel = -1;
                        break;
                    case App::Act::StopPinging:
                        pinging = false, slow = true;
                        break;
                }
                // Hold back reading for a while: the writer's events pile up and its sends wait,
                // so it cannot finish hashing before the heartbeat has seen what we sent.
                if (app.act != App::Act::None && app.act != App::Act::StopPinging)
                    pausedUntil = now + 1s;
            }
            if (channel >= 0 && pinging && now >= nextPing) {
                send(channel, "ping\n", 5, MSG_NOSIGNAL);
                nextPing = now + 500ms;
            }
        }
        std::string report = std::string(connected ? "C" : "N") +
                             std::to_string(acted ? (lastEvent - actedAt).count() : 0) + " " +
                             received;
        for (std::size_t done = 0; done < report.size();) {
            ssize_t n = ::write(result, report.data() + done, report.size() - done);
            if (n <= 0) break;
            done += static_cast<std::size_t>(n);
        }
    }

    static std::unique_ptr<testing::TestUser> account_;
    TempDir dir_;
};

std::unique_ptr<testing::TestUser> WriterEndToEndTest::account_;

// The order in which stages may follow one another.
int stageRank(const std::string& stage) {
    const char* order[] = {"connected", "checking",  "inspecting",
                           "writing",   "verifying", "complete"};
    for (int i = 0; i < 6; ++i)
        if (stage == order[i]) return i;
    return -1;
}

void expectCompleteWrite(const Outcome& o, const WriteRequest& r) {
    EXPECT_EQ(o.status, 0);
    ASSERT_GE(o.events.size(), 2u);
    EXPECT_EQ(o.events.front(), (WriteEvent{"connected", 0, 0, r.nonce}));
    EXPECT_EQ(o.events.back(),
              (WriteEvent{"complete", r.inspection.expanded, r.inspection.expanded, std::nullopt}));
    int rank = 0;
    bool confirmedImage = false;
    for (const WriteEvent& e : o.events) {
        int next = stageRank(e.stage);
        ASSERT_GE(next, 0) << e.stage;
        EXPECT_GE(next, rank) << e.stage;
        rank = next;
        if (e == WriteEvent{"checking", r.inspection.bytes, r.inspection.bytes, std::nullopt})
            confirmedImage = true;
        if (next >= 3 && next <= 4) {
            EXPECT_EQ(e.total, r.inspection.expanded);
        }
    }
    EXPECT_TRUE(confirmedImage);
    EXPECT_TRUE(std::any_of(o.events.begin(), o.events.end(), [&](const WriteEvent& e) {
        return e ==
               WriteEvent{"verifying", r.inspection.expanded, r.inspection.expanded, std::nullopt};
    }));
}

void expectFailure(const Outcome& o, const std::string& stage, const std::string& message) {
    EXPECT_EQ(o.status, 1);
    ASSERT_FALSE(o.events.empty());
    EXPECT_EQ(o.events.back(), (WriteEvent{stage, 0, 0, message}));
}

bool hasStage(const Outcome& o, const std::string& stage) {
    return std::any_of(o.events.begin(), o.events.end(),
                       [&](const WriteEvent& e) { return e.stage == stage; });
}

TEST_F(WriterEndToEndTest, WritesAndProvesRawGzipXzAndZipImages) {
    // 3 MiB and three sectors: on the 4,096-byte device the last sector is padded.
    const std::string expanded = testing::noise((3 << 20) + 1536, 1);
    for (const char* kind : {"img", "gz", "xz", "zip"}) {
        const std::string image = makeImage(expanded, kind);
        for (unsigned sectorSize : {512u, 4096u}) {
            SCOPED_TRACE(std::string(kind) + " on " + std::to_string(sectorSize) + "-byte sectors");
            auto loop = attachDrive('\xAB', sectorSize);
            WriteRequest r = request(image, expanded, loop->name());

            expectCompleteWrite(write(r, App{}, loop->name()), r);

            std::string written = testing::readFile(backing());
            std::size_t padded = (expanded.size() + sectorSize - 1) / sectorSize * sectorSize;
            EXPECT_TRUE(written.compare(0, expanded.size(), expanded) == 0) << "the image";
            EXPECT_TRUE(written.find_first_not_of('\0', expanded.size()) == padded)
                << "zero padding up to the sector's end, nothing written after it";
            EXPECT_TRUE(written.find_first_not_of('\xAB', padded) == std::string::npos);
        }
    }
}

TEST_F(WriterEndToEndTest, UnmountsAMountedPartitionAndWrites) {
    MountedDrive drive(dir_);
    ASSERT_TRUE(drive.allMounted());
    const std::string expanded = testing::noise(2 << 20, 2);
    WriteRequest r = request(makeImage(expanded, "img"), expanded, drive.name());

    expectCompleteWrite(write(r, App{}, drive.name()), r);
    EXPECT_FALSE(drive.anyMounted());
    EXPECT_TRUE(testing::readFile(drive.backing()).compare(0, expanded.size(), expanded) == 0);
}

TEST_F(WriterEndToEndTest, ACancelDuringHashingStopsBeforeTheUnmount) {
    MountedDrive drive(dir_);
    WriteRequest r = longRequest(drive.name());
    Outcome o = write(r, App{true, App::Act::Cancel}, drive.name());
    expectFailure(o, "cancelled", "Operation cancelled.");
    EXPECT_TRUE(hasStage(o, "checking"));
    EXPECT_FALSE(hasStage(o, "writing"));
    EXPECT_TRUE(drive.allMounted()) << "the volumes stay mounted";
}

TEST_F(WriterEndToEndTest, AnyOtherLineOrAnOverlongOneCancels) {
    auto loop = attachDrive();
    for (App::Act act : {App::Act::UpperCasePing, App::Act::Flood}) {
        WriteRequest r = longRequest(loop->name());
        Outcome o = write(r, App{true, act}, loop->name());
        expectFailure(o, "cancelled", "Operation cancelled.");
        EXPECT_FALSE(hasStage(o, "writing"));
    }
}

TEST_F(WriterEndToEndTest, StoppingThePingsCancelsAfterTenSeconds) {
    auto loop = attachDrive();
    WriteRequest r = longRequest(loop->name());
    Outcome o = write(r, App{true, App::Act::StopPinging}, loop->name());
    expectFailure(o, "cancelled", "Operation cancelled.");
    // The last ping went out at most 0.5 s before the pings stopped.
    EXPECT_GE(o.actToEnd, 9500ms) << "cancelled before ten seconds without a ping";
}

TEST_F(WriterEndToEndTest, ClosingTheChannelEndsTheWriteWithStatusOne) {
    auto loop = attachDrive();
    WriteRequest r = longRequest(loop->name());
    Outcome o = write(r, App{true, App::Act::Close}, loop->name());
    EXPECT_EQ(o.status, 1);
    EXPECT_FALSE(hasStage(o, "writing"));
}

TEST_F(WriterEndToEndTest, AListenerOfAnotherUserGetsOneErrorAndNothingElse) {
    auto loop = attachDrive();
    const std::string expanded = testing::noise(1 << 20, 3);
    WriteRequest r = request(makeImage(expanded, "img"), expanded, loop->name());
    Outcome o = write(r, App{false}, loop->name());
    EXPECT_EQ(o.status, 1);
    ASSERT_EQ(o.events.size(), 1u);
    EXPECT_EQ(o.events[0], (WriteEvent{"error", 0, 0, "Invalid Imager channel owner."}));
    EXPECT_EQ(testing::readFile(backing()), std::string(4 << 20, '\0'));
}

TEST_F(WriterEndToEndTest, AnImageReplacedAfterInspectionIsRefusedBeforeTheUnmount) {
    MountedDrive drive(dir_);
    const std::string expanded = testing::noise(2 << 20, 4);
    std::string image = makeImage(expanded, "img");
    WriteRequest r = request(image, expanded, drive.name());
    testing::writeFile(image, testing::noise(2 << 20, 5));

    Outcome o = write(r, App{}, drive.name());
    expectFailure(o, "error", "The source changed after confirmation.");
    EXPECT_TRUE(hasStage(o, "checking"));
    EXPECT_TRUE(drive.allMounted());
}

TEST_F(WriterEndToEndTest, ADriveThatChangedOrIsTooSmallIsRefused) {
    const std::string expanded = testing::noise(2 << 20, 6);
    std::string image = makeImage(expanded, "img");
    {
        auto loop = attachDrive();
        WriteRequest r = request(image, expanded, loop->name());
        // Detached and attached again after the user confirmed: a new disk sequence number.
        loop.reset();
        testing::LoopDevice again(backing());
        Outcome o = write(r, App{}, again.name());
        expectFailure(
            o, "error",
            "The selected drive changed, is protected or was disconnected. Select it again.");
        EXPECT_FALSE(hasStage(o, "checking")) << "refused before the image is read";
    }
    {
        testing::writeFile(backing(), std::string((2 << 20) - 512, '\0'));
        testing::LoopDevice small(backing());
        WriteRequest r = request(image, expanded, small.name());
        Outcome o = write(r, App{}, small.name());
        expectFailure(o, "error", "The drive is too small or its geometry is unknown.");
        EXPECT_EQ(testing::readFile(backing()), std::string((2 << 20) - 512, '\0'));
    }
}

TEST_F(WriterEndToEndTest, RefusesSilentlyWhatItCannotTrust) {
    auto loop = attachDrive();
    const std::string expanded = testing::noise(1 << 20, 7);
    WriteRequest r = request(makeImage(expanded, "img"), expanded, loop->name());
    const std::string argument = encodeBase64(encode(r));

    struct Case {
        std::string what;
        std::vector<std::string> arguments;
        bool asUser;
    };
    std::string padded = encode(r);
    padded.insert(1, 16385 - padded.size(), ' ');
    const std::vector<Case> cases = {
        {"run as a normal user", {argument}, true},
        {"no argument", {}, false},
        {"two arguments", {argument, argument}, false},
        {"not Base64", {"eyJ2ZXJzaW9uIjoxfQ"}, false},
        {"Base64 with a line break", {argument.substr(0, 40) + "\n" + argument.substr(40)}, false},
        {"a request of 16,385 bytes", {encodeBase64(padded)}, false},
        {"not a request", {encodeBase64("{\"version\":1}")}, false},
    };
    // The user runs a copy it can reach: the build folder may be root's alone.
    TempDir programs;
    const std::string userWriter = testing::copyForUsers(programs, KVI_WRITER, "libexec");
    for (const Case& c : cases) {
        Outcome o = run(c.asUser ? userWriter.c_str() : KVI_WRITER, c.arguments, r.socket, App{},
                        "", c.asUser);
        EXPECT_EQ(o.status, 1) << c.what;
        EXPECT_FALSE(o.connected) << c.what;
        EXPECT_TRUE(o.events.empty()) << c.what;
    }

    // Nobody listening at the request's socket.
    pid_t pid = fork();
    if (pid == 0) {
        execl(KVI_WRITER, KVI_WRITER, argument.c_str(), static_cast<char*>(nullptr));
        _exit(98);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1);

    // 16,384 bytes are taken: the shipped writer connects, then finds no such drive.
    padded.erase(1, 1);
    Outcome o = run(KVI_WRITER, {encodeBase64(padded)}, r.socket, App{});
    EXPECT_TRUE(o.connected);
    expectFailure(o, "error",
                  "The selected drive changed, is protected or was disconnected. Select it again.");
    EXPECT_EQ(o.events.front(), (WriteEvent{"connected", 0, 0, r.nonce}));
}

}  // namespace
}  // namespace korvex
