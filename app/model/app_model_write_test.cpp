// A whole write through the model, run by a real user in a child raising the installed test
// writer through `sudo -n` onto a loop device. REQUIRES: root.
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "app/model/app_model.hpp"
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

// Removes, whatever the test's outcome, what it made outside its temporary folders.
struct Removed {
    std::vector<std::string> paths;
    ~Removed() {
        std::error_code ignored;
        for (const std::string& path : paths) fs::remove_all(path, ignored);
    }
};

// The child: writes `image` with a fresh model as the user it became, first replaced by
// `replaceWith` when given while the question is asked, and reports what it saw: pages, stages
// (repeats dropped), the error, and whether a channel peer of its own was shut out.
void writeAsUser(const std::string& loop, const std::string& image, const std::string& writer,
                 const std::string& replaceWith, FILE* out) {
    int argc = 1;
    char name[] = "app_model_write_child", *argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);
    auto list = [loop](const std::vector<std::string>& paths) {
        testing::LoopAsUsbFacts facts(loop);
        return DiskInventory::list(paths, facts);
    };
    AppServices services;
    services.listDrives = list;
    services.write = [&](auto& source, auto& inspection, auto& target, auto& cancel,
                         auto& progress) {
        WriterClient::write(source, inspection, target, cancel, progress, {list, writer});
    };
    testing::TestPlatform platform;
    platform.file = image;
    if (!replaceWith.empty())
        platform.onConfirm = [&](const EraseConfirmation& c, auto answer) {
            testing::writeFile(image, replaceWith);
            answer({true, c.placeholder});
        };
    AppModel model(ProcessorInventory(), platform, services);
    QObject::connect(&model, &AppModel::pageChanged,
                     [&] { std::fprintf(out, "page %d\n", int(model.page())); });
    std::string last;
    QObject::connect(&model, &AppModel::statusChanged, [&] {
        const std::string stage = model.status()["stage"].toString().toStdString();
        if (stage != last) std::fprintf(out, "stage %s\n", stage.c_str());
        last = stage;
    });
    std::atomic<bool> peerClosed{false};
    std::thread peer([&] {
        for (auto end = std::chrono::steady_clock::now() + 30s;
             std::chrono::steady_clock::now() < end; std::this_thread::sleep_for(5ms))
            for (const std::string& folder : testing::channelFoldersOf(getuid())) {
                UniqueFd fd(kvi_unix_connect((folder + "/s").c_str()));
                char byte;
                if (fd) return void(peerClosed = recv(fd.get(), &byte, 1, 0) == 0);
            }
    });
    model.chooseLocal();
    testing::runEventsUntil([&] { return !model.targets().isEmpty() && !model.refreshing(); });
    for (const QVariant& t : model.targets())
        if (t.toMap()["bsd"] == testing::kTestDriveName)
            model.setTargetID(t.toMap()["id"].toString());
    model.perform(false);
    if (!testing::runEventsUntil([&] { return !model.busy(); }, 300s)) std::fputs("hangs\n", out);
    peer.join();
    std::fprintf(out, "error %s\npeer closed %d\n", model.error().toStdString().c_str(),
                 int(peerClosed));
}

// Catches a replaced image written, stages misordered, a peer trusted, the writer scripted.
TEST(AppModelWrite, WritesThroughTheInstalledWriterAsARealUser) {
    KVI_REQUIRE_ROOT();
    testing::TestUser user("kvimodel");
    ASSERT_TRUE(user.valid()) << "no test user could be created";
    char root[] = "/run/kvi-model-XXXXXX";  // /run and every folder above it are root's alone
    ASSERT_NE(mkdtemp(root), nullptr);
    const std::string folder = std::string(root) + "/libexec", writer = folder + "/writer",
                      rule = "/etc/sudoers.d/" + user.name() + "-writer";
    const Removed removed{{root, rule}};
    fs::create_directories(folder);
    fs::copy_file(KVI_TEST_WRITER, writer);
    for (const std::string& f : {std::string(root), folder}) chmod(f.c_str(), 0755);
    ASSERT_TRUE(WriterClient::installedWriter(writer));
    // A rule naming the writer alone: the launch script's route would be refused.
    testing::writeFile(rule, user.name() + " ALL=(root) NOPASSWD: " + writer + "\n");
    chmod(rule.c_str(), 0440);
    testing::TempDir dir;
    const testing::TestDrive drive(dir.file("drive"), 64 << 20, {user.uid()});
    const std::string bytes = testing::noise(1 << 20, 13), image = user.home() + "/a.img";
    testing::writeFile(image, bytes);
    ASSERT_EQ(chown(image.c_str(), user.uid(), user.gid()), 0);
    auto run = [&](const std::string& replaceWith) {
        return testing::forkReporting([&](FILE* out) -> int {
            if (!user.become() || setenv("HOME", user.home().c_str(), 1) != 0) return 90;
            setenv("XDG_DATA_HOME", (user.home() + "/data").c_str(), 1);
            setenv("KORVEX_IMAGER_ELEVATE", "sudo", 1);
            try {
                writeAsUser(drive.loop().name(), image, writer, replaceWith, out);
                return 0;
            } catch (const std::exception& e) {
                std::fprintf(out, "exception %s\n", e.what());
                return 91;
            }
        });
    };
    const testing::ChildReport replaced = run(testing::noise(1 << 20, 15));
    EXPECT_NE(replaced.text.find("error The source changed after confirmation.\n"),
              std::string::npos)
        << replaced.text;
    EXPECT_TRUE(testing::readPrefix(drive.loop().path(), 4096) == std::string(4096, '\0'));
    testing::writeFile(image, bytes);
    const testing::ChildReport child = run("");
    EXPECT_TRUE(child.exitedCleanly());
    const auto page = [](AppModel::Page p) { return "page " + std::to_string(int(p)) + "\n"; };
    EXPECT_EQ(child.text, page(AppModel::Prepare) + page(AppModel::Progress) +
                              "stage checking\nstage inspecting\nstage connected\n"
                              "stage checking\nstage inspecting\nstage writing\nstage verifying\n"
                              "stage complete\n" +
                              page(AppModel::Complete) + "error \npeer closed 1\n");
    EXPECT_EQ(testing::channelFoldersOf(user.uid()), std::set<std::string>{});
    EXPECT_TRUE(testing::readPrefix(drive.loop().path(), bytes.size()) == bytes) << "not the image";
}

}  // namespace
}  // namespace korvex
