// Whole writes through the model, run by a real user in a child raising the writer through
// `sudo -n`: the test writer onto a loop device, or tests/fake_writer_main.cpp. REQUIRES: root.
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <thread>

#include "app/model/app_model.hpp"
#include "app/model/diagnostics.hpp"
#include "app/model/writer_client.hpp"
#include "core/native/native.h"
#include "core/system/disk_inventory.hpp"
#include "tests/loop_as_usb_facts.hpp"
#include "tests/test_platform_services.hpp"
#include "tests/test_support.hpp"

namespace korvex {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::TestUser;

// What one flow does in the child.
struct Flow {
    std::string image;        // chosen with the file panel
    std::string writer;       // where the test user may run it
    std::string replaceWith;  // written over the image while the question is asked
    bool fakePeer = false;    // the user connects to the channel while the writer is awaited
};

// What the model showed, as the child reported it.
struct Seen {
    std::vector<int> pages;
    std::vector<std::string> stages;  // consecutive repeats dropped
    std::string error;
    std::string afterBack;  // "page local selected target" after back()
    bool peerClosed = false;
};

// The child: runs one flow through a fresh model as the user it became, reports on `out`.
void childFlow(const std::string& loop, const Flow& flow, FILE* out) {
    setenv("XDG_DATA_HOME", (std::string(getenv("HOME")) + "/data").c_str(), 1);
    setenv("KORVEX_IMAGER_ELEVATE", "sudo", 1);
    int argc = 1;
    char name[] = "app_model_write_child";
    char* argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);
    auto list = [loop](const std::vector<std::string>& paths) {
        testing::LoopAsUsbFacts facts(loop);
        return DiskInventory::list(paths, facts);
    };
    AppServices services;
    services.listDrives = list;
    services.write = [list, &flow](const std::string& source, const Inspection& inspection,
                                   const TargetDisk& target, Cancellation& cancel,
                                   const std::function<void(const WriteEvent&)>& progress) {
        WriterClient::write(source, inspection, target, cancel, progress, {list, flow.writer});
    };
    services.log = [](const std::string& stage, const std::string& message) {
        Diagnostics::log(stage, message);
    };
    testing::TestPlatform platform;
    platform.file = flow.image;
    if (!flow.replaceWith.empty())
        platform.onConfirm = [&](const EraseConfirmation& c, auto answer) {
            testing::writeFile(flow.image + ".new", flow.replaceWith);
            fs::rename(flow.image + ".new", flow.image);
            answer({true, c.placeholder});
        };
    AppModel model(ProcessorInventory(), platform, services);
    QObject::connect(&model, &AppModel::pageChanged,
                     [&] { std::fprintf(out, "P %d\n", int(model.page())); });
    std::string last;
    QObject::connect(&model, &AppModel::statusChanged, [&] {
        std::string stage = model.status()["stage"].toString().toStdString();
        if (stage != last) std::fprintf(out, "S %s\n", stage.c_str());
        last = stage;
    });
    // A peer of the user's own: the client must close it and wait on.
    std::atomic<bool> peerClosed{false};
    std::thread peer([&] {
        for (auto end = std::chrono::steady_clock::now() + 30s;
             flow.fakePeer && std::chrono::steady_clock::now() < end;
             std::this_thread::sleep_for(5ms))
            for (const std::string& folder : testing::channelFoldersOf(getuid())) {
                UniqueFd fd(kvi_unix_connect((folder + "/s").c_str()));
                char byte;
                if (fd) return void(peerClosed = recv(fd.get(), &byte, 1, 0) == 0);
            }
    });
    auto settle = [&](const std::function<bool()>& done) {
        QTimer wake;
        wake.start(20);
        for (auto end = std::chrono::steady_clock::now() + 300s; !done();) {
            if (std::chrono::steady_clock::now() > end) throw std::runtime_error("model hangs");
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        }
    };
    model.chooseLocal();
    settle([&] { return !model.targets().isEmpty() && !model.refreshing(); });
    for (const QVariant& t : model.targets())
        if (t.toMap()["bsd"] == testing::kTestDriveName)
            model.setTargetID(t.toMap()["id"].toString());
    model.perform(false);
    settle([&] { return !model.busy(); });
    peer.join();
    std::fprintf(out, "E %s\nF %d\n", model.error().toStdString().c_str(), int(peerClosed));
    model.back();
    std::fprintf(out, "B %d %d %d %d\n", int(model.page()), int(model.local().isEmpty()),
                 int(model.selected().isEmpty()), int(model.targetID().isEmpty()));
}

class AppModelWrite : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        if (!testing::isRoot()) return;
        allowed_ = std::make_unique<TestUser>("kvimodel");
        refused_ = std::make_unique<TestUser>("kvimodno");
        if (allowed_->valid()) allowed_->allowSudoShell();
        programs_ = std::make_unique<testing::TempDir>();
        // A folder with a quote in its name: the launch script must keep the writer's path whole.
        testWriter_ = testing::copyForUsers(*programs_, KVI_TEST_WRITER, "it's here");
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
        testing::makeSparseFile(dir_.file("drive"), 64 << 20);
        loop_ = std::make_unique<testing::LoopDevice>(dir_.file("drive"));
        for (const TestUser* user : {allowed_.get(), refused_.get()})
            testing::writeFile(testing::testDriveFile(user->uid()), loop_->name() + "\n");
    }
    void TearDown() override {
        for (const TestUser* user : {allowed_.get(), refused_.get()})
            if (user) fs::remove(testing::testDriveFile(user->uid()));
    }

    // `bytes` as a file of `user` in the user's home.
    static std::string own(const std::string& name, const std::string& bytes,
                           const TestUser& user) {
        const std::string path = user.home() + "/" + name;
        testing::writeFile(path, bytes);
        EXPECT_EQ(chown(path.c_str(), user.uid(), user.gid()), 0);
        return path;
    }

    Seen run(const TestUser& user, const Flow& flow) {
        const std::string loop = loop_->name();
        const testing::ChildReport child = testing::forkReporting([&](FILE* out) -> int {
            try {
                if (!user.become() || setenv("HOME", user.home().c_str(), 1) != 0) return 90;
                childFlow(loop, flow, out);
                return 0;
            } catch (const std::exception& e) {
                std::fprintf(out, "X %s\n", e.what());
                return 91;
            }
        });
        EXPECT_TRUE(child.exitedCleanly()) << "child: " << child.text;
        EXPECT_EQ(testing::channelFoldersOf(user.uid()), std::set<std::string>{});
        Seen seen;
        std::istringstream lines(child.text);
        for (std::string l; std::getline(lines, l);) {
            const std::string rest = l.size() > 2 ? l.substr(2) : "";
            if (l[0] == 'P') seen.pages.push_back(std::stoi(rest));
            if (l[0] == 'S') seen.stages.push_back(rest);
            if (l[0] == 'E') seen.error = rest;
            if (l[0] == 'B') seen.afterBack = rest;
            if (l[0] == 'F') seen.peerClosed = rest == "1";
        }
        return seen;
    }

    // The last entry of `user`'s diagnostics log as "stage: message".
    static std::string lastLogged(const TestUser& user) {
        std::ifstream in(user.home() + "/data/Korvex Imager/imager.log");
        std::string line, last;
        while (std::getline(in, line)) last = line;
        if (last.empty()) return "(empty log)";
        auto entry = nlohmann::json::parse(last);
        return entry["stage"].get<std::string>() + ": " + entry["message"].get<std::string>();
    }

    static std::unique_ptr<TestUser> allowed_, refused_;
    static std::unique_ptr<testing::TempDir> programs_;
    static std::string testWriter_, fakeWriter_;
    testing::TempDir dir_;
    std::unique_ptr<testing::LoopDevice> loop_;
};

std::unique_ptr<TestUser> AppModelWrite::allowed_;
std::unique_ptr<TestUser> AppModelWrite::refused_;
std::unique_ptr<testing::TempDir> AppModelWrite::programs_;
std::string AppModelWrite::testWriter_, AppModelWrite::fakeWriter_;

// Catches stages out of order, a choice kept after a write, a user's own peer taken for the writer,
// a path cut at its quote, a channel left, a wrong drive; a failure left busy, on progress or
// unlogged; a write without elevation or of a replaced file; a fake writer's lies believed.
TEST_F(AppModelWrite, WritesOrEndsOnPrepareWithTheFaultsText) {
    const std::string bytes = testing::noise(1 << 20, 13);
    const TestUser &yes = *allowed_, &no = *refused_;
    struct Case {
        const TestUser& user;
        Flow flow;
        std::string logged;  // "stage: error", or empty when the image is written
    } cases[] = {
        // clang-format off
        {yes, {own("a.img", bytes, yes), testWriter_, "", true}, ""},
        {no, {own("b.img", bytes, no), testWriter_},
         "inspecting: " + std::string(WriteIncomplete::kText)},
        {yes, {own("c.img", bytes, yes), testWriter_, testing::noise(1 << 20, 15)},
         "checking: The source changed after confirmation."},
        {yes, {own("wrong-complete.img", bytes, yes), fakeWriter_},
         "connected: Incomplete writer result."},
        {yes, {own("error-then-exit.img", bytes, yes), fakeWriter_}, "connected: Disk on fire."},
        {yes, {own("flood.img", bytes, yes), fakeWriter_},
         "connected: Invalid writer response size."},
        // clang-format on
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.flow.image + " " + c.logged);
        const Seen seen = run(c.user, c.flow);
        EXPECT_EQ(seen.error, c.logged.empty() ? "" : c.logged.substr(c.logged.find(": ") + 2));
        ASSERT_GE(seen.pages.size(), 3u);  // ... progress, prepare or complete, then back()
        EXPECT_EQ(seen.pages[seen.pages.size() - 3], AppModel::Progress);
        if (!c.logged.empty()) {
            EXPECT_EQ(seen.pages[seen.pages.size() - 2], AppModel::Prepare);
            EXPECT_EQ(lastLogged(c.user), c.logged);
            continue;
        }
        EXPECT_EQ(seen.pages, (std::vector<int>{AppModel::Prepare, AppModel::Progress,
                                                AppModel::Complete, AppModel::Home}));
        EXPECT_EQ(seen.stages,
                  (std::vector<std::string>{"checking", "inspecting", "connected", "checking",
                                            "inspecting", "writing", "verifying", "complete"}));
        EXPECT_EQ(seen.afterBack, "0 1 1 1");  // home, nothing chosen
        EXPECT_TRUE(seen.peerClosed);
        EXPECT_TRUE(testing::readPrefix(loop_->path(), bytes.size()) == bytes) << "not the image";
    }
}

}  // namespace
}  // namespace korvex
