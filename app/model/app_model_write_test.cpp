// Whole writes through the application model as the window drives it: a real non-root user runs
// the model in a child process with its own event loop; the image is a local file or a catalogue
// image downloaded from the local HTTPS test server; the writer is raised through `sudo -n` and
// writes a loop device presented as a USB disk. The parent (root) watches what the model showed.
// REQUIRES: root.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>

#include "app/model/app_model.hpp"
#include "app/model/diagnostics.hpp"
#include "app/model/image_download.hpp"
#include "app/model/writer_client.hpp"
#include "core/image/image_io.hpp"
#include "core/system/disk_inventory.hpp"
#include "tests/https_test_server.hpp"
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
    std::string writer;                     // the test writer, where the test user may run it
    std::optional<std::string> local;       // chosen with the file panel
    std::optional<ImageVariant> catalogue;  // chosen from the catalogue
    std::string caFile;                     // trusted by the download
    std::string replaceWith;                // written over the local file during the question
};

// What the model showed, as the child reported it.
struct Seen {
    std::vector<int> pages;
    std::vector<std::string> stages;  // consecutive repeats dropped
    std::string error;
    std::string afterBack;  // "page local selected target" after back()
};

bool settle(const std::function<bool()>& done) {
    QTimer wake;
    wake.start(20);
    for (auto end = std::chrono::steady_clock::now() + 300s; !done();) {
        if (std::chrono::steady_clock::now() > end) return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

// The child: becomes `user`, runs one flow through a fresh model, reports on `out`.
void childFlow(const TestUser& user, const std::string& loop, const Flow& flow, FILE* out) {
    setenv("XDG_DATA_HOME", (user.home() + "/data").c_str(), 1);
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
    services.fetch = [&flow](const ImageVariant& image, const std::string& directory,
                             const Cancellation& cancel,
                             const std::function<void(const WriteEvent&)>& progress) {
        NetworkOptions options = ImageDownload::networkOptions();
        options.caFile = flow.caFile;
        return ImageDownload::fetch(image, directory, cancel, progress, options);
    };
    services.write = [list, &flow](const std::string& source, const Inspection& inspection,
                                   const TargetDisk& target, Cancellation& cancel,
                                   const std::function<void(const WriteEvent&)>& progress) {
        WriterClient::write(source, inspection, target, cancel, progress, {list, flow.writer});
    };
    services.log = [](const std::string& stage, const std::string& message) {
        Diagnostics::log(stage, message);
    };

    testing::TestPlatform platform;
    platform.file = flow.local;
    if (!flow.replaceWith.empty())
        platform.onConfirm = [&](const EraseConfirmation& c,
                                 std::function<void(EraseAnswer)> answer) {
            const std::string fresh = *flow.local + ".new";
            testing::writeFile(fresh, flow.replaceWith);
            fs::rename(fresh, *flow.local);
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

    if (flow.local)
        model.chooseLocal();
    else
        model.choose(*flow.catalogue, "", AppModel::Catalogue);
    settle([&] { return !model.targets().isEmpty() && !model.refreshing(); });
    for (const QVariant& t : model.targets())
        if (t.toMap()["bsd"] == testing::kTestDriveName)
            model.setTargetID(t.toMap()["id"].toString());
    model.perform(false);
    settle([&] { return !model.busy(); });
    std::fprintf(out, "E %s\n", model.error().toStdString().c_str());
    model.back();
    std::fprintf(out, "B %d %d %d %d\n", int(model.page()), int(model.local().isEmpty()),
                 int(model.selected().isEmpty()), int(model.targetID().isEmpty()));
}

// Never returns into the test framework: the child ends here whatever happens.
[[noreturn]] void runChild(const TestUser& user, const std::string& loop, const Flow& flow,
                           FILE* out) {
    int code = 0;
    try {
        if (!user.become()) _exit(90);
        childFlow(user, loop, flow, out);
    } catch (const std::exception& e) {
        std::fprintf(out, "X %s\n", e.what());
        code = 91;
    }
    std::fclose(out);
    _exit(code);
}

class AppModelWrite : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        if (!testing::isRoot()) return;
        allowed_ = std::make_unique<TestUser>("kvimodel");
        refused_ = std::make_unique<TestUser>("kvimodno");
        if (allowed_->valid()) allowed_->allowSudoShell();
        programs_ = std::make_unique<testing::TempDir>();
        writer_ = testing::copyForUsers(*programs_, KVI_TEST_WRITER, "libexec");
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
        const std::string backing = dir_.file("drive");
        testing::writeFile(backing, "");
        ASSERT_EQ(truncate(backing.c_str(), off_t{64} << 20), 0);
        loop_ = std::make_unique<testing::LoopDevice>(backing, 512);
        for (const TestUser* user : {allowed_.get(), refused_.get()}) {
            testing::writeFile(testing::testDriveFile(user->uid()), loop_->name() + "\n");
            chmod(testing::testDriveFile(user->uid()).c_str(), 0644);
        }
        fs::copy_file(server_.caFile(), dir_.file("ca.pem"));
        chmod(dir_.file("ca.pem").c_str(), 0644);
    }
    void TearDown() override {
        if (allowed_) fs::remove(testing::testDriveFile(allowed_->uid()));
        if (refused_) fs::remove(testing::testDriveFile(refused_->uid()));
        loop_.reset();
    }

    // `bytes` as a file of `user` in the user's home.
    std::string own(const std::string& name, const std::string& bytes, const TestUser& user) {
        const std::string path = user.home() + "/" + name;
        testing::writeFile(path, bytes);
        EXPECT_EQ(chown(path.c_str(), user.uid(), user.gid()), 0);
        return path;
    }

    Seen run(const TestUser& user, Flow flow) {
        flow.writer = writer_;
        const std::string loop = loop_->name();
        const testing::ChildReport child =
            testing::forkReporting([&](FILE* out) -> int { runChild(user, loop, flow, out); });
        EXPECT_TRUE(child.exitedCleanly()) << "child: " << child.text;
        Seen seen;
        std::istringstream lines(child.text);
        for (std::string l; std::getline(lines, l);) {
            if (l.rfind("P ", 0) == 0) seen.pages.push_back(std::stoi(l.substr(2)));
            if (l.rfind("S ", 0) == 0) seen.stages.push_back(l.substr(2));
            if (l.rfind("E ", 0) == 0) seen.error = l.substr(2);
            if (l.rfind("B ", 0) == 0) seen.afterBack = l.substr(2);
        }
        return seen;
    }

    std::string device(std::size_t size) { return testing::readPrefix(loop_->path(), size); }

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
    static std::string writer_;
    testing::TempDir dir_;
    testing::HttpsTestServer server_;
    std::unique_ptr<testing::LoopDevice> loop_;
};

std::unique_ptr<TestUser> AppModelWrite::allowed_;
std::unique_ptr<TestUser> AppModelWrite::refused_;
std::unique_ptr<testing::TempDir> AppModelWrite::programs_;
std::string AppModelWrite::writer_;

// Then back() to home.
const std::vector<int> kWritten = {AppModel::Prepare, AppModel::Progress, AppModel::Complete,
                                   AppModel::Home};
const std::vector<std::string> kWriterStages = {"connected", "checking",  "inspecting",
                                                "writing",   "verifying", "complete"};

std::vector<std::string> join(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Catches a model that skips a step of the flow, shows the stages out of order, leaves the
// choice in place after the write, or writes anything but the image to the drive.
TEST_F(AppModelWrite, LocalXzAndCatalogueImagesReachTheDrive) {
    const std::string raw = testing::noise(3 << 20, 11);
    const std::string xz = own("image.img.xz", "", *allowed_);
    testing::writeFile(dir_.file("image.img"), raw);
    testing::shell("xz -T1 -c " + dir_.file("image.img") + " > " + xz);

    Seen local = run(*allowed_, Flow{.local = xz});
    EXPECT_EQ(local.error, "");
    EXPECT_EQ(local.pages, kWritten);
    EXPECT_EQ(local.stages, join({"checking", "inspecting"}, kWriterStages));
    EXPECT_TRUE(device(raw.size()) == raw) << "the device does not hold the image";
    EXPECT_EQ(local.afterBack, "0 1 1 1");  // home, nothing chosen

    const std::string served = testing::noise(2 << 20, 12);
    server_.serveFile("/tower.img", served);
    ImageVariant image;
    image.id = "tower-e2e";
    image.downloadUrl = server_.url("/tower.img");
    image.compression = "none";
    image.compressedSize = image.expandedSize = static_cast<std::int64_t>(served.size());
    image.sha256 = ImageIO::digest(served);
    Seen catalogue = run(*allowed_, Flow{.catalogue = image, .caFile = dir_.file("ca.pem")});
    EXPECT_EQ(catalogue.error, "");
    EXPECT_EQ(catalogue.pages, kWritten);
    EXPECT_EQ(catalogue.stages,
              join({"checking", "downloading", "checking", "inspecting"}, kWriterStages));
    EXPECT_TRUE(device(served.size()) == served) << "the device does not hold the image";
    EXPECT_EQ(testing::channelFoldersOf(allowed_->uid()), std::set<std::string>{});
}

// Catches a failure that leaves the model busy or on the progress page, is not logged with its
// stage, or leaves the channel behind; and a write that goes on with a file replaced after it
// was inspected or without elevation.
TEST_F(AppModelWrite, FaultsEndOnPrepareWithTheirText) {
    const std::string bytes = testing::noise(1 << 20, 13);
    server_.serveFile("/other.img", testing::noise(1 << 20, 14));
    ImageVariant other;
    other.id = "other";
    other.downloadUrl = server_.url("/other.img");
    other.compression = "none";
    other.compressedSize = other.expandedSize = static_cast<std::int64_t>(bytes.size());
    other.sha256 = ImageIO::digest(bytes);

    struct Case {
        const char* name;
        const TestUser* user;
        Flow flow;
        std::string error;
        std::string logged;  // stage: message
    } cases[] = {
        {"refused elevation", refused_.get(), Flow{.local = own("a.img", bytes, *refused_)},
         "Writing did not complete. Authorisation may have been cancelled or the writer "
         "disconnected.",
         "inspecting"},
        {"replaced after inspection", allowed_.get(),
         Flow{.local = own("b.img", bytes, *allowed_), .replaceWith = testing::noise(1 << 20, 15)},
         "The source changed after confirmation.", "checking"},
        {"other bytes served", allowed_.get(),
         Flow{.catalogue = other, .caFile = dir_.file("ca.pem")},
         "Downloaded image checksum is invalid. Remove the partial download and retry.",
         "checking"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Seen seen = run(*c.user, c.flow);
        EXPECT_EQ(seen.error, c.error);
        ASSERT_FALSE(seen.pages.empty());
        ASSERT_GE(seen.pages.size(), 3u);  // ... progress, prepare, then back()
        EXPECT_EQ(seen.pages[seen.pages.size() - 3], AppModel::Progress);
        EXPECT_EQ(seen.pages[seen.pages.size() - 2], AppModel::Prepare);
        EXPECT_EQ(lastLogged(*c.user), c.logged + ": " + c.error);
        EXPECT_EQ(testing::channelFoldersOf(c.user->uid()), std::set<std::string>{});
    }
}

}  // namespace
}  // namespace korvex
