// A walk through the real window: korvex-imager-walk runs as a non-root user on an X server of
// the test's own (Xvfb), writes a local .xz image onto a loop device presented as a USB disk
// through `sudo -n` and the test writer, and saves the complete page as a picture.
// REQUIRES: root.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "tests/loop_as_usb_facts.hpp"
#include "tests/test_support.hpp"

namespace korvex::testing {
namespace {

namespace fs = std::filesystem;

// An X server on a display it chooses itself, stopped on destruction; `display` stays empty when
// it did not start.
struct Xvfb {
    pid_t pid = -1;
    std::string display;

    Xvfb() {
        int fds[2];
        if (pipe(fds) != 0) return;
        if ((pid = fork()) == 0) {
            execlp("Xvfb", "Xvfb", "-displayfd", std::to_string(fds[1]).c_str(), "-screen", "0",
                   "1280x900x24", "-nolisten", "tcp", "-noreset", static_cast<char*>(nullptr));
            _exit(127);
        }
        close(fds[1]);
        // The number comes when the server is ready, in pieces, ended by a new line.
        char c = 0;
        std::string number;
        while (pid > 0 && read(fds[0], &c, 1) == 1 && c != '\n') number += c;
        close(fds[0]);
        if (c == '\n' && !number.empty()) display = ":" + number;
    }
    ~Xvfb() {
        if (pid > 0 && kill(pid, SIGTERM) == 0) waitpid(pid, nullptr, 0);
    }
};

// Catches a window that cannot be driven from the home page to a written drive: a chooser whose
// answer never reaches the model, a drive row or "Create USB" that does nothing, a confirmation
// that does not take the typed name, and a write through the window that leaves the drive without
// the image or never shows the complete page.
TEST(UiWalk, LocalXzImageThroughTheWindowReachesTheDrive) {
    KVI_REQUIRE_ROOT();
    TestUser user("kviwalk");
    ASSERT_TRUE(user.valid()) << "no test user could be created";
    user.allowSudoShell();
    TempDir programs, dir;
    const std::string writer = copyForUsers(programs, KVI_TEST_WRITER, "libexec");
    const std::string walk = copyForUsers(programs, KVI_WALK_PROGRAM, "bin");
    makeSparseFile(dir.file("drive"), 64 << 20);
    LoopDevice loop(dir.file("drive"), 512);
    const std::string driveFile = testDriveFile(user.uid());
    writeFile(driveFile, loop.name() + "\n");
    const std::string raw = noise(3 << 20, 21), image = user.home() + "/walk.img.xz",
                      picture = user.home() + "/complete.png";
    writeFile(dir.file("image.img"), raw);
    shell("xz -T1 -c " + dir.file("image.img") + " > " + image + " && chown " + user.name() + " " +
          image);

    Xvfb x;
    ASSERT_FALSE(x.display.empty()) << "Xvfb did not start";
    const ChildReport walked = forkReporting([&](FILE*) {
        if (!user.become()) return 90;
        // The sanitizers' settings of the run pass through; nothing else of root's does.
        std::vector<std::pair<std::string, std::string>> kept;
        for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"})
            if (const char* value = std::getenv(name)) kept.emplace_back(name, value);
        clearenv();
        for (const auto& [name, value] : kept) setenv(name.c_str(), value.c_str(), 1);
        // Xvfb has no graphics card: Qt Quick draws in software. Mesa's driver would otherwise be
        // loaded and unloaded again by the time the leak check runs, leaving reports that name
        // no module.
        for (const auto& [name, value] : std::vector<std::pair<std::string, std::string>>{
                 {"PATH", "/usr/local/bin:/usr/bin:/bin"},
                 {"HOME", user.home()},
                 {"XDG_DATA_HOME", user.home() + "/data"},
                 {"XDG_CONFIG_HOME", user.home() + "/config"},
                 {"DISPLAY", x.display},
                 {"QT_QPA_PLATFORM", "xcb"},
                 {"QT_XCB_GL_INTEGRATION", "none"},
                 {"QT_QUICK_BACKEND", "software"},
                 {"KORVEX_IMAGER_ELEVATE", "sudo"}})
            setenv(name.c_str(), value.c_str(), 1);
        execl(walk.c_str(), walk.c_str(), loop.name().c_str(), writer.c_str(), image.c_str(),
              picture.c_str(), static_cast<char*>(nullptr));
        return 127;
    });
    fs::remove(driveFile);
    ASSERT_TRUE(walked.exitedCleanly())
        << "korvex-imager-walk ended with status " << walked.status << " (its reason is above)";
    EXPECT_TRUE(readPrefix(loop.path(), raw.size()) == raw) << "the device does not hold the image";
    EXPECT_EQ(channelFoldersOf(user.uid()), std::set<std::string>{});
    // Kept beside the test for a person to look at.
    fs::copy_file(picture, "korvex-imager-walk.png", fs::copy_options::overwrite_existing);
    std::printf("the complete page: %s\n", fs::absolute("korvex-imager-walk.png").c_str());
}

}  // namespace
}  // namespace korvex::testing
