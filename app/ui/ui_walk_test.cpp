// A walk through the real window: korvex-imager-walk runs as a non-root user on an X server of
// the test's own (Xvfb), writes a local .xz image onto a loop device presented as a USB disk
// through `sudo -n` and the test writer, and saves the complete page as a picture.
// REQUIRES: root.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <utility>
#include <vector>

#include "tests/loop_as_usb_facts.hpp"
#include "tests/test_support.hpp"

namespace korvex::testing {
namespace {

namespace fs = std::filesystem;

// An X server on a display it chooses itself, stopped on destruction. `display()` is empty when
// it did not start.
class Xvfb {
  public:
    Xvfb() {
        int fds[2];
        if (pipe(fds) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            close(fds[0]);
            const std::string fd = std::to_string(fds[1]);
            execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1280x900x24",
                   "-nolisten", "tcp", "-noreset", static_cast<char*>(nullptr));
            _exit(127);
        }
        close(fds[1]);
        // The number comes when the server is ready, in pieces, ended by a new line.
        std::string number;
        char c = 0;
        while (pid_ > 0 && read(fds[0], &c, 1) == 1 && c != '\n') number += c;
        close(fds[0]);
        if (c == '\n' && !number.empty()) display_ = ":" + number;
    }
    ~Xvfb() {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
    const std::string& display() const { return display_; }

  private:
    pid_t pid_ = -1;
    std::string display_;
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

    const std::string backing = dir.file("drive");
    writeFile(backing, "");
    ASSERT_EQ(truncate(backing.c_str(), off_t{64} << 20), 0);
    LoopDevice loop(backing, 512);
    const std::string driveFile = testDriveFile(user.uid());
    writeFile(driveFile, loop.name() + "\n");
    chmod(driveFile.c_str(), 0644);

    const std::string raw = noise(3 << 20, 21);
    writeFile(dir.file("image.img"), raw);
    const std::string image = user.home() + "/walk.img.xz";
    const std::string picture = user.home() + "/complete.png";
    shell("xz -T1 -c " + dir.file("image.img") + " > " + image + " && chown " + user.name() +
          " " + image);

    Xvfb x;
    ASSERT_FALSE(x.display().empty()) << "Xvfb did not start";
    const pid_t pid = fork();
    if (pid == 0) {
        if (!user.become()) _exit(90);
        // The sanitizers' settings of the run pass through; nothing else of root's does.
        std::vector<std::pair<std::string, std::string>> kept;
        for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"})
            if (const char* value = std::getenv(name)) kept.emplace_back(name, value);
        clearenv();
        for (const auto& [name, value] : kept) setenv(name.c_str(), value.c_str(), 1);
        setenv("PATH", "/usr/local/bin:/usr/bin:/bin", 1);
        setenv("HOME", user.home().c_str(), 1);
        setenv("XDG_DATA_HOME", (user.home() + "/data").c_str(), 1);
        setenv("XDG_CONFIG_HOME", (user.home() + "/config").c_str(), 1);
        setenv("DISPLAY", x.display().c_str(), 1);
        setenv("QT_QPA_PLATFORM", "xcb", 1);
        // Xvfb has no graphics card: Qt Quick draws in software. Mesa's driver would otherwise be
        // loaded and unloaded again by the time the leak check runs, leaving reports that name
        // no module.
        setenv("QT_XCB_GL_INTEGRATION", "none", 1);
        setenv("QT_QUICK_BACKEND", "software", 1);
        setenv("KORVEX_IMAGER_ELEVATE", "sudo", 1);
        execl(walk.c_str(), walk.c_str(), loop.name().c_str(), writer.c_str(), image.c_str(),
              picture.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    fs::remove(driveFile);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "korvex-imager-walk ended with status " << status << " (its reason is above)";

    std::string device(raw.size(), '\0');
    const int fd = open(loop.path().c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(pread(fd, device.data(), device.size(), 0), static_cast<ssize_t>(device.size()));
    close(fd);
    EXPECT_TRUE(device == raw) << "the device does not hold the image";
    EXPECT_EQ(channelFoldersOf(user.uid()), std::set<std::string>{});

    // Kept beside the test for a person to look at.
    ASSERT_TRUE(fs::exists(picture));
    fs::copy_file(picture, "korvex-imager-walk.png", fs::copy_options::overwrite_existing);
    std::printf("the complete page: %s\n", fs::absolute("korvex-imager-walk.png").c_str());
}

}  // namespace
}  // namespace korvex::testing
