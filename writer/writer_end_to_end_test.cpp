// The writer as a root process onto loop devices, this test playing the application as a real
// user: one test per way the two meet. The test writer shows KVI_TEST_DRIVE as "sdkv". Root only.
#include <poll.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <thread>

#include "core/base/base64.hpp"
#include "core/base/unique_fd.hpp"
#include "core/base/uuid.hpp"
#include "core/image/image_io.hpp"
#include "core/native/native.h"
#include "core/records/imager_error.hpp"
#include "core/records/records.hpp"
#include "tests/loop_as_usb_facts.hpp"
#include "tests/test_support.hpp"

namespace korvex {

static void PrintTo(const WriteEvent& e, std::ostream* out) {
    *out << encode(e);
}

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

std::string zeros(const std::string& path, std::size_t size) {
    testing::writeFile(path, std::string(size, '\0'));
    return path;
}

// An ext4 loop device mounted twice: the writer must take down every mount point.
class MountedDrive {
  public:
    explicit MountedDrive(const testing::TempDir& dir)
        : loop_(zeros(dir.file("mounted"), 8 << 20)) {
        testing::shell("mkfs.ext4 -q -F " + loop_.path() + " >/dev/null 2>&1");
        for (const char* name : {"at", "again"}) {
            points_.push_back(dir.file(name));
            fs::create_directory(points_.back());
            testing::shell("mount " + loop_.path() + " '" + points_.back() + "'");
        }
    }
    ~MountedDrive() {
        for (const auto& point : points_) umount2(point.c_str(), MNT_DETACH);
    }
    std::string name() const { return loop_.name(); }
    long mounts() const {
        const std::string table = testing::readFile("/proc/self/mounts");
        return std::count_if(points_.begin(), points_.end(), [&](const std::string& point) {
            return table.find(" " + point + " ") != std::string::npos;
        });
    }

  private:
    testing::LoopDevice loop_;
    std::vector<std::string> points_;
};

// What the application does besides pinging and reading.
struct App {
    bool cancel = false;  // sends "cancel" at the first "checking"
    bool asUser = true;   // false: the listener is root's, not the requesting user's
    bool listen = true;
};

struct Outcome {
    int status = -1;
    bool connected = false;
    std::vector<WriteEvent> events;
    bool has(const std::string& stage) const {
        return std::any_of(events.begin(), events.end(),
                           [&](const WriteEvent& e) { return e.stage == stage; });
    }
};

class WriterEndToEnd : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        if (testing::isRoot()) user_ = std::make_unique<testing::TestUser>("kvie2e");
    }
    static void TearDownTestSuite() { user_.reset(); }
    void SetUp() override {
        KVI_REQUIRE_ROOT();
        ASSERT_TRUE(user_ && user_->valid()) << "no test user could be created";
    }

    // `path` given to the test user.
    std::string owned(const std::string& path) {
        EXPECT_EQ(chown(path.c_str(), user_->uid(), user_->gid()), 0);
        return path;
    }

    // An image file of the test user, raw or compressed with xz.
    std::string makeImage(const std::string& expanded, bool xz = false) {
        const std::string path = dir_.file("image.img");
        testing::writeFile(path, expanded);
        if (xz) testing::shell("xz " + path);
        return owned(xz ? path + ".xz" : path);
    }

    // The request for `loop` and `image`; without one, 2 GiB of holes whose checking outlasts acts.
    WriteRequest request(const std::string& loop, std::string image = "",
                         const std::string& expanded = "") {
        Inspection inspection{2LL << 30, 2LL << 30, std::string(64, 'a'), std::string(64, 'b')};
        if (image.empty()) {
            testing::makeSparseFile(image = dir_.file("long.img"), inspection.bytes);
            owned(image);
        } else {
            const std::string stored = testing::readFile(image);
            inspection = Inspection{static_cast<std::int64_t>(stored.size()),
                                    static_cast<std::int64_t>(expanded.size()),
                                    ImageIO::digest(stored), ImageIO::digest(expanded)};
        }
        WriteRequest r{1, image, inspection, testing::testTarget(loop), user_->uid()};
        r.socket = "/tmp/kvi-" + randomUUID() + "/s";
        r.nonce = randomUUID();
        return r;
    }

    Outcome write(const WriteRequest& r, const App& app, const std::string& loop) {
        return run(KVI_TEST_WRITER, {encodeBase64(encode(r))}, r.socket, app, loop);
    }

    // Runs `program` as root (or the user) while a thread serves the application's side.
    Outcome run(const std::string& program, const std::vector<std::string>& arguments,
                const std::string& socketPath, const App& app, const std::string& testDrive = "",
                bool writerAsUser = false) {
        const std::string folder = fs::path(socketPath).parent_path();
        EXPECT_EQ(mkdir(folder.c_str(), 0700), 0);
        UniqueFd listener;
        if (app.listen && app.asUser) {
            owned(folder);
            EXPECT_TRUE(setegid(user_->gid()) == 0 && seteuid(user_->uid()) == 0);
        }
        if (app.listen) listener = UniqueFd(kvi_unix_listener(socketPath.c_str()));
        EXPECT_TRUE(seteuid(0) == 0 && setegid(0) == 0);
        EXPECT_EQ(bool(listener), app.listen) << "the application's side could not listen";

        testing::RunningProgram writer(program, arguments, writerAsUser ? user_.get() : nullptr,
                                       {"KVI_TEST_DRIVE=" + testDrive});
        std::atomic<bool> ended{false};
        Outcome outcome;
        std::thread serving([&] { serve(app, listener.get(), ended, outcome); });
        outcome.status = writer.finish();
        ended = true;
        serving.join();
        fs::remove_all(folder);
        return outcome;
    }

    // Accepts, pings every 0.5 s, reads, acts once; ends when the writer ended and all is read.
    static void serve(const App& app, int listener, const std::atomic<bool>& ended, Outcome& o) {
        UniqueFd channel;
        bool acted = false;
        std::string received;
        std::size_t scanned = 0;
        char buffer[65536];
        auto nextPing = Clock::now(), nextRead = nextPing;
        for (;;) {
            const bool writerEnded = ended;  // read first: then nothing sent before is missed
            const auto now = Clock::now();
            pollfd p{channel ? channel.get() : listener, POLLIN, 0};
            if (!channel && listener >= 0) {
                if (poll(&p, 1, writerEnded ? 0 : 20) > 0)
                    channel = UniqueFd(accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
                o.connected = bool(channel);
                if (!o.connected && writerEnded) break;
            } else if (channel && (writerEnded || now >= nextRead)) {
                if (writerEnded || poll(&p, 1, 20) > 0) {
                    const ssize_t n = recv(channel.get(), buffer, sizeof buffer, 0);
                    if (n <= 0) break;
                    received.append(buffer, static_cast<std::size_t>(n));
                }
            } else if (writerEnded) {
                break;
            } else {
                std::this_thread::sleep_for(20ms);
            }
            for (std::size_t end;
                 !acted && (end = received.find('\n', scanned)) != std::string::npos;
                 scanned = end + 1) {
                acted =
                    decodeWriteEvent(received.substr(scanned, end - scanned)).stage == "checking";
                // Reads pause 1 s after a cancel, so the writer cannot finish before seeing it.
                if (acted && app.cancel)
                    send(channel.get(), "cancel\n", 7, MSG_NOSIGNAL), nextRead = now + 1s;
            }
            if (channel && now >= nextPing) {
                send(channel.get(), "ping\n", 5, MSG_NOSIGNAL);
                nextPing = now + 500ms;
            }
        }
        for (std::size_t start = 0, end; (end = received.find('\n', start)) != std::string::npos;
             start = end + 1)
            o.events.push_back(decodeWriteEvent(received.substr(start, end - start)));
    }

    static inline std::unique_ptr<testing::TestUser> user_;
    testing::TempDir dir_;
};

// Catches going on after a cancel line or unmounting before the last checks; then, left to finish,
// stages out of order or missing, no full read-back, a drive left mounted or miswritten.
TEST_F(WriterEndToEnd, WritesAMountedDriveOnlyWhenLeftToFinish) {
    MountedDrive drive(dir_);
    Outcome o = write(request(drive.name()), App{true}, drive.name());
    EXPECT_EQ(o.status, 1);
    EXPECT_TRUE(o.has("checking"));
    EXPECT_FALSE(o.has("writing"));
    ASSERT_FALSE(o.events.empty());
    EXPECT_EQ(o.events.back(), (WriteEvent{"cancelled", 0, 0, "Operation cancelled."}));
    EXPECT_EQ(drive.mounts(), 2);

    const std::string expanded = testing::noise((2 << 20) + 1536, 1);
    const WriteRequest r = request(drive.name(), makeImage(expanded, true), expanded);
    o = write(r, App{}, drive.name());
    EXPECT_EQ(o.status, 0);
    ASSERT_GE(o.events.size(), 2u);
    EXPECT_EQ(o.events.front(), (WriteEvent{"connected", 0, 0, r.nonce}));
    const std::int64_t stored = r.inspection.bytes, size = r.inspection.expanded;
    EXPECT_EQ(o.events.back(), (WriteEvent{"complete", size, size, std::nullopt}));
    std::vector<std::string> stages;  // consecutive repeats dropped
    for (const WriteEvent& e : o.events) {
        if (stages.empty() || stages.back() != e.stage) stages.push_back(e.stage);
        if (e.stage == "writing" || e.stage == "verifying") {
            EXPECT_EQ(e.total, size);
        }
    }
    EXPECT_EQ(stages, (std::vector<std::string>{"connected", "checking", "inspecting", "writing",
                                                "verifying", "complete"}));
    for (const WriteEvent& e : {WriteEvent{"checking", stored, stored, std::nullopt},
                                WriteEvent{"verifying", size, size, std::nullopt}})
        EXPECT_NE(std::find(o.events.begin(), o.events.end(), e), o.events.end()) << encode(e);
    EXPECT_EQ(drive.mounts(), 0);
    EXPECT_TRUE(testing::readPrefix("/dev/" + drive.name(), expanded.size()) == expanded);
}

// Catches writing a renumbered or too small drive, or talking on to another user's listener.
TEST_F(WriterEndToEnd, RefusesAStrangeListenerOrAChangedDriveBeforeWriting) {
    const std::string expanded = testing::noise(2 << 20, 6);
    const std::string image = makeImage(expanded);
    struct Case {
        std::size_t driveBytes;
        bool renumbered, listenerAsUser, imageRead;
        std::string error;
    } cases[] = {
        {4 << 20, false, false, false, "Invalid Imager channel owner."},
        {4 << 20, true, true, false, kSelectedDriveChanged},
        {(2 << 20) - 512, false, true, true, "The drive is too small or its geometry is unknown."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.error);
        const std::string backing = zeros(dir_.file("drive"), c.driveBytes);
        auto loop = std::make_unique<testing::LoopDevice>(backing);
        const WriteRequest r = request(loop->name(), image, expanded);
        if (c.renumbered) loop.reset(), loop = std::make_unique<testing::LoopDevice>(backing);
        const Outcome o = write(r, App{false, c.listenerAsUser}, loop->name());
        EXPECT_EQ(o.status, 1);
        ASSERT_FALSE(o.events.empty());
        EXPECT_EQ(o.events.back(), (WriteEvent{"error", 0, 0, c.error}));
        EXPECT_EQ(o.has("connected"), c.listenerAsUser);
        EXPECT_EQ(o.has("checking"), c.imageRead);
        EXPECT_EQ(testing::readFile(backing), std::string(c.driveBytes, '\0'));
    }
}

// Catches speaking before trusting its input: run by a user, argument count, lenient Base64, a
// request over 16,384 bytes, none, no listener. At 16,384 it connects, then finds no such drive.
TEST_F(WriterEndToEnd, RefusesSilentlyWhatItCannotTrust) {
    testing::LoopDevice loop(zeros(dir_.file("drive"), 1 << 20));
    const std::string image = makeImage(testing::noise(1 << 20, 7));
    const WriteRequest r = request(loop.name(), image, testing::noise(1 << 20, 7));
    const std::string argument = encodeBase64(encode(r));
    std::string padded = encode(r);
    padded.insert(1, 16385 - padded.size(), ' ');
    testing::TempDir programs;  // what the user runs must not depend on entering the build folder
    const std::string userWriter = testing::copyForUsers(programs, KVI_WRITER, "libexec");
    struct Case {
        std::vector<std::string> arguments;
        bool asUser = false, listen = true;
    } cases[] = {
        {{argument}, true},
        {{}},
        {{argument, argument}},
        {{"eyJ2ZXJzaW9uIjoxfQ"}},
        {{argument.substr(0, 40) + "\n" + argument.substr(40)}},
        {{encodeBase64(padded)}},
        {{encodeBase64("{\"version\":1}")}},
        {{argument}, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arguments.empty() ? "(none)" : c.arguments[0].substr(0, 60));
        const Outcome o = run(c.asUser ? userWriter : KVI_WRITER, c.arguments, r.socket,
                              App{false, true, c.listen}, "", c.asUser);
        EXPECT_EQ(o.status, 1);
        EXPECT_FALSE(o.connected);
        EXPECT_TRUE(o.events.empty());
    }
    padded.erase(1, 1);
    const Outcome o = run(KVI_WRITER, {encodeBase64(padded)}, r.socket, App{});
    EXPECT_EQ(o.status, 1);
    ASSERT_FALSE(o.events.empty());
    EXPECT_EQ(o.events.front(), (WriteEvent{"connected", 0, 0, r.nonce}));
    EXPECT_EQ(o.events.back(), (WriteEvent{"error", 0, 0, kSelectedDriveChanged}));
}

}  // namespace
}  // namespace korvex
