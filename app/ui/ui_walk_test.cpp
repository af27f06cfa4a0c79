// korvex-imager-walk run as a non-root user on an X server of its own, writing through `sudo -n`
// and the test writer onto a loop device presented as a USB disk. REQUIRES: root.
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/loop_as_usb_facts.hpp"
#include "tests/test_support.hpp"

namespace korvex::testing {
namespace {

namespace fs = std::filesystem;

// Catches a window that cannot be driven from the home page to a written drive: a chooser whose
// answer never reaches the model, a drive row, "Create USB" or typed confirmation that does
// nothing, a drive left without the image, no complete page.
TEST(UiWalk, LocalXzImageThroughTheWindowReachesTheDrive) {
    KVI_REQUIRE_ROOT();
    SudoUser user("kviwalk");
    ASSERT_TRUE(user.valid()) << "no test user could be created";
    TempDir dir;
    makeSparseFile(dir.file("drive"), 64 << 20);
    LoopDevice loop(dir.file("drive"), 512);
    const std::string driveFile = testDriveFile(user.uid());
    writeFile(driveFile, loop.name() + "\n");
    const std::string raw = noise(3 << 20, 21), image = user.home() + "/walk.img.xz",
                      picture = user.home() + "/complete.png";
    writeFile(dir.file("image.img"), raw);
    shell("xz -T1 -c " + dir.file("image.img") + " > " + image + " && chown " + user.name() + " " +
          image);

    // Xvfb has no graphics card: Qt Quick draws in software, so Mesa's driver is never loaded
    // and unloaded again before the leak check, leaving reports that name no module.
    std::vector<std::string> env = {
        "HOME=" + user.home(), "XDG_DATA_HOME=" + user.home() + "/data",
        "XDG_CONFIG_HOME=" + user.home() + "/config", "QT_QPA_PLATFORM=xcb",
        "QT_XCB_GL_INTEGRATION=none", "QT_QUICK_BACKEND=software", "KORVEX_IMAGER_ELEVATE=sudo"};
    for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"})
        if (const char* value = std::getenv(name)) env.push_back(std::string(name) + "=" + value);
    RunningProgram walk("/usr/bin/xvfb-run",
                        {"-a", "-s", "-screen 0 1280x900x24", user.install(KVI_WALK_PROGRAM, "bin"),
                         loop.name(), user.install(KVI_TEST_WRITER, "libexec"), image, picture},
                        &user, env);
    const int status = walk.finish();
    fs::remove(driveFile);
    ASSERT_EQ(status, 0) << walk.err;
    EXPECT_TRUE(readPrefix(loop.path(), raw.size()) == raw) << "the device does not hold the image";
    EXPECT_EQ(channelFoldersOf(user.uid()), std::set<std::string>{});
    // Kept beside the test for a person to look at.
    fs::copy_file(picture, "korvex-imager-walk.png", fs::copy_options::overwrite_existing);
    std::printf("the complete page: %s\n", fs::absolute("korvex-imager-walk.png").c_str());
}

}  // namespace
}  // namespace korvex::testing
