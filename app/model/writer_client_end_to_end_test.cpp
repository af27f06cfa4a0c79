// Whole writes from the application's side: a real non-root user runs the client, which raises
// itself through `sudo -n` (a sudoers rule made for the test user alone) to run the launch script
// as root, which runs the test writer against a loop device presented as a USB disk. A stand-in
// writer that misbehaves on purpose plays the root peer for the protocol faults. REQUIRES: root.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <set>
#include <thread>

#include "app/model/writer_client.hpp"
#include "core/image/image_io.hpp"
#include "core/image/source_file.hpp"
#include "core/native/native.h"
#include "core/records/imager_error.hpp"
#include "core/system/disk_inventory.hpp"
#include "tests/loop_as_usb_facts.hpp"
#include "tests/test_support.hpp"

namespace korvex {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::LoopDevice;
using testing::TempDir;
using testing::TestUser;

const std::string kIncomplete =
    "Writing did not complete. Authorisation may have been cancelled or the writer disconnected.";

// What the client reported, as seen by the parent.
struct Result {
    std::vector<std::string> stages;
    std::string outcome;          // "ok", "cancelled" or the error text
    bool fakePeerClosed = false;  // a non-root connection was closed by the client
};

// What the client does besides writing.
struct Client {
    enum class Cancel { Never, Before, AtWriting } cancel = Cancel::Never;
    bool fakePeer = false;  // connect to the channel as the user while waiting for the writer
};

// Connects to the first channel of this user and waits for the other side to close it.
void playFakePeer(std::atomic<bool>& closed) {
    for (auto end = std::chrono::steady_clock::now() + 30s; std::chrono::steady_clock::now() < end;
         std::this_thread::sleep_for(5ms)) {
        for (const std::string& folder : testing::channelFoldersOf(getuid())) {
            int fd = kvi_unix_connect((folder + "/s").c_str());
            if (fd < 0) continue;
            char byte;
            closed = recv(fd, &byte, 1, 0) == 0;
            close(fd);
            return;
        }
    }
}

class WriterClientEndToEnd : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        if (!testing::isRoot()) return;
        allowed_ = std::make_unique<TestUser>("kvicli");
        refused_ = std::make_unique<TestUser>("kvino");
        if (allowed_->valid()) allowed_->allowSudoShell();
        programs_ = std::make_unique<TempDir>();
        testWriter_ = testing::copyForUsers(*programs_, KVI_TEST_WRITER, "libexec");
        fakeWriter_ = testing::copyForUsers(*programs_, KVI_FAKE_WRITER, "libexec");
    }
    static void TearDownTestSuite() {
        allowed_.reset();
        refused_.reset();
        programs_.reset();
    }

    void SetUp() override {
        KVI_REQUIRE_ROOT();
        ASSERT_TRUE(allowed_->valid() && refused_->valid()) << "no test users could be created";
        chmod(dir_.path().c_str(), 0755);
        std::string backing = dir_.file("drive");
        testing::writeFile(backing, "");
        ASSERT_EQ(truncate(backing.c_str(), off_t{3} << 30), 0);
        loop_ = std::make_unique<LoopDevice>(backing, 512);
        for (const TestUser* user : {allowed_.get(), refused_.get()})
            testing::writeFile(testing::testDriveFile(user->uid()), loop_->name() + "\n");
    }
    void TearDown() override {
        if (testing::isRoot())
            for (const TestUser* user : {allowed_.get(), refused_.get()})
                fs::remove(testing::testDriveFile(user->uid()));
        loop_.reset();
    }

    // A raw image of `size` bytes owned by `user`, named `name`.
    std::string makeImage(const std::string& name, std::size_t size, const TestUser& user) {
        std::string bytes = testing::noise(size, 7);
        std::string path = dir_.file(name);
        testing::writeFile(path, bytes);
        EXPECT_EQ(chown(path.c_str(), user.uid(), user.gid()), 0);
        image_ = bytes;
        return path;
    }

    Inspection inspectionOf(const std::string& path) {
        std::string stored = testing::readFile(path);
        const auto size = static_cast<std::int64_t>(stored.size());
        const std::string digest = ImageIO::digest(stored);
        return Inspection{size, size, digest, digest};
    }

    TargetDisk target() {
        testing::LoopAsUsbFacts facts(loop_->name());
        for (const TargetDisk& d : DiskInventory::list({}, facts))
            if (d.bsd == testing::kTestDriveName) return d;
        ADD_FAILURE() << "the loop device is not listed";
        return {};
    }

    // Runs WriterClient::write in a child process that has become `user`.
    Result write(const TestUser& user, const std::string& writer, const std::string& image,
                 const Inspection& inspection, const TargetDisk& disk, Client client = {}) {
        std::string loop = loop_->name();
        const testing::ChildReport child = testing::forkReporting([&](FILE* out) {
            if (!user.become()) return 90;
            setenv("KORVEX_IMAGER_ELEVATE", "sudo", 1);
            std::atomic<bool> fakeClosed{false};
            std::thread fake;
            if (client.fakePeer) fake = std::thread(playFakePeer, std::ref(fakeClosed));
            Cancellation cancel;
            if (client.cancel == Client::Cancel::Before) cancel.cancel();
            WriterClient::Environment env{[loop](const std::vector<std::string>& paths) {
                                              testing::LoopAsUsbFacts facts(loop);
                                              return DiskInventory::list(paths, facts);
                                          },
                                          writer};
            std::string outcome = testing::failureOf([&] {
                WriterClient::write(
                    image, inspection, disk, cancel,
                    [&](const WriteEvent& e) {
                        std::fprintf(out, "E %s\n", e.stage.c_str());
                        if (e.stage == "writing" && client.cancel == Client::Cancel::AtWriting)
                            cancel.cancel();
                    },
                    env);
            });
            if (outcome == "(no failure)") outcome = "ok";
            if (fake.joinable()) fake.join();
            std::fprintf(out, "F %d\nR %s\n", fakeClosed ? 1 : 0, outcome.c_str());
            return 0;
        });
        EXPECT_TRUE(child.exitedCleanly()) << "client child: " << child.status;
        const std::string& report = child.text;

        Result result;
        std::size_t start = 0;
        for (std::size_t end; (end = report.find('\n', start)) != std::string::npos;
             start = end + 1) {
            std::string l = report.substr(start, end - start);
            if (l.rfind("E ", 0) == 0 &&
                (result.stages.empty() || result.stages.back() != l.substr(2)))
                result.stages.push_back(l.substr(2));
            if (l == "F 1") result.fakePeerClosed = true;
            if (l.rfind("R ", 0) == 0) result.outcome = l.substr(2);
        }
        return result;
    }

    std::string deviceContent(std::size_t size) { return testing::readPrefix(loop_->path(), size); }

    static std::unique_ptr<TestUser> allowed_, refused_;
    // The writers, where the test users can read them whoever may enter the build folder.
    static std::unique_ptr<TempDir> programs_;
    static std::string testWriter_, fakeWriter_;
    TempDir dir_;
    std::unique_ptr<LoopDevice> loop_;
    std::string image_;
};

std::unique_ptr<TestUser> WriterClientEndToEnd::allowed_;
std::unique_ptr<TestUser> WriterClientEndToEnd::refused_;
std::unique_ptr<TempDir> WriterClientEndToEnd::programs_;
std::string WriterClientEndToEnd::testWriter_, WriterClientEndToEnd::fakeWriter_;

// The real writer, found at a path with a single quote in it, writes the image; a non-root
// connection on the way is closed without ending the session; nothing of the channel remains.
TEST_F(WriterClientEndToEnd, WritesThroughRealElevationAndLeavesNothingBehind) {
    fs::create_directory(dir_.file("it's here"));
    std::string writer = dir_.file("it's here/korvex-imager-writer");
    fs::copy_file(testWriter_, writer);
    std::string image = makeImage("image.img", 5 << 20, *allowed_);

    Result r = write(*allowed_, writer, image, inspectionOf(image), target(),
                     Client{Client::Cancel::Never, true});
    EXPECT_EQ(r.outcome, "ok");
    EXPECT_EQ(r.stages, (std::vector<std::string>{"connected", "checking", "inspecting", "writing",
                                                  "verifying", "complete"}));
    EXPECT_TRUE(r.fakePeerClosed);
    EXPECT_TRUE(deviceContent(image_.size()) == image_) << "the device does not hold the image";
    EXPECT_TRUE(testing::channelFoldersOf(allowed_->uid()).empty());
}

TEST_F(WriterClientEndToEnd, RefusedElevationAndCancellation) {
    std::string image = makeImage("image.img", 8 << 20, *refused_);
    Result refused = write(*refused_, testWriter_, image, inspectionOf(image), target());
    EXPECT_EQ(refused.outcome, kIncomplete);
    EXPECT_TRUE(refused.stages.empty());

    image = makeImage("image.img", 8 << 20, *allowed_);
    Result early = write(*allowed_, testWriter_, image, inspectionOf(image), target(),
                         Client{Client::Cancel::Before, false});
    EXPECT_EQ(early.outcome, "cancelled");

    // Long enough that the cancel line, sent with the next keep-alive (at most 0.5 s) and read at
    // the writer's next heartbeat (at most 0.2 s), still finds the writer writing: the writing
    // pass hashes every byte, which takes more than a second for 2 GiB.
    const std::int64_t size = std::int64_t{2} << 30;
    std::string big = dir_.file("big.img");
    testing::writeFile(big, "");
    ASSERT_EQ(truncate(big.c_str(), size), 0);
    ASSERT_EQ(chown(big.c_str(), allowed_->uid(), allowed_->gid()), 0);
    std::string zeros = ImageIO::hashFile(SourceFile(big, std::nullopt, false), Cancellation{},
                                          [](const WriteEvent&) {});
    Inspection holes{size, size, zeros, zeros};
    Result during = write(*allowed_, testWriter_, big, holes, target(),
                          Client{Client::Cancel::AtWriting, false});
    EXPECT_EQ(during.outcome, "cancelled");
    ASSERT_FALSE(during.stages.empty());
    EXPECT_EQ(during.stages.back(), "cancelled");
    for (const TestUser* user : {allowed_.get(), refused_.get()})
        EXPECT_TRUE(testing::channelFoldersOf(user->uid()).empty());
}

TEST_F(WriterClientEndToEnd, ChangedDriveIsRefusedBeforeAnythingStarts) {
    std::string image = makeImage("image.img", 1 << 20, *allowed_);
    TargetDisk disk = target();
    disk.registryID += 1;
    Result r = write(*allowed_, testWriter_, image, inspectionOf(image), disk);
    EXPECT_EQ(r.outcome,
              "The selected drive changed, is protected or was disconnected. Select it again.");
    EXPECT_TRUE(r.stages.empty());

    // A path the request's JSON cannot carry is a text of ours, not the encoder's exception.
    std::string latin1 = makeImage("caf\xe9.img", 1 << 20, *allowed_);
    Result notUtf8 = write(*allowed_, testWriter_, latin1, inspectionOf(latin1), target());
    EXPECT_EQ(notUtf8.outcome, WriterClient::kPathNotUtf8);
    EXPECT_TRUE(testing::channelFoldersOf(allowed_->uid()).empty());
}

// A root peer that breaks the protocol ends the session with the fault's own text.
TEST_F(WriterClientEndToEnd, ProtocolFaultsOfARootPeer) {
    struct Case {
        const char* mode;
        std::string outcome;
    } cases[] = {
        {"wrong-nonce", "Writer session mismatch."},
        {"progress-first", "Writer handshake is missing."},
        {"second-connected", "Writer session mismatch."},
        {"unknown-stage", "Invalid writer progress."},
        {"huge-total", "Invalid writer progress."},
        {"flood", "Invalid writer response size."},
        {"wrong-complete", "Incomplete writer result."},
        {"error-then-exit", "Disk on fire."},
        {"two-in-one", "ok"},
    };
    TargetDisk disk = target();
    for (const Case& c : cases) {
        std::string image = makeImage(std::string(c.mode) + ".img", 1 << 20, *allowed_);
        Result r = write(*allowed_, fakeWriter_, image, inspectionOf(image), disk);
        EXPECT_EQ(r.outcome, c.outcome) << c.mode;
        if (std::string(c.mode) == "two-in-one") {
            EXPECT_EQ(r.stages,
                      (std::vector<std::string>{"connected", "checking", "writing", "complete"}));
        }
    }
    EXPECT_TRUE(testing::channelFoldersOf(allowed_->uid()).empty());
}

}  // namespace
}  // namespace korvex
