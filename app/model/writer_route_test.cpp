// Which writer the client may start directly as root (only one that root alone could replace),
// and what a refused elevation ends with. REQUIRES: root.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "app/model/writer_client.hpp"
#include "tests/test_support.hpp"

namespace korvex {
namespace {

namespace fs = std::filesystem;

// Catches a writer judged installed that others could change, a link left unresolved.
TEST(WriterRoute, InstalledMeansRootOnlyAllTheWayUp) {
    KVI_REQUIRE_ROOT();
    char name[] = "/run/kvi-route-XXXXXX";  // /run and every folder above it are root's alone
    ASSERT_NE(mkdtemp(name), nullptr);
    const std::string root = name;
    const struct Removed {
        std::string path;
        ~Removed() {
            std::error_code ignored;
            fs::remove_all(path, ignored);
        }
    } removed{root};
    // A writer of root's, 0755, in `folder` (0755, made as needed) owned by `uid`.
    auto place = [](const std::string& folder, unsigned uid) {
        fs::create_directories(folder);
        chmod(folder.c_str(), 0755);
        EXPECT_EQ(chown(folder.c_str(), uid, uid), 0);
        fs::copy_file(KVI_FAKE_WRITER, folder + "/writer");
        EXPECT_EQ(chmod((folder + "/writer").c_str(), 0755), 0);
        return folder + "/writer";
    };
    chmod(name, 0755);
    const std::string writer = place(root + "/a/b", 0);
    const struct {
        std::string path;
        mode_t mode;
        bool installed;
    } cases[] = {
        {writer, 0755, true},        {writer, 0775, false},  // group-writable file
        {writer, 0757, false},                               // other-writable file
        {root + "/a", 0775, false},                          // group-writable folder above
        {root + "/a", 01777, false},                         // a /tmp-like folder above
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path + " " + std::to_string(c.mode));
        struct stat before {};
        ASSERT_EQ(stat(c.path.c_str(), &before), 0);
        chmod(c.path.c_str(), c.mode);
        EXPECT_EQ(WriterClient::installedWriter(writer).has_value(), c.installed);
        chmod(c.path.c_str(), before.st_mode & 07777);
    }
    EXPECT_FALSE(WriterClient::installedWriter(place(root + "/user", 65534)));  // a user's folder
    EXPECT_FALSE(WriterClient::installedWriter(root + "/missing"));
    fs::create_symlink(writer, root + "/link");
    EXPECT_EQ(WriterClient::installedWriter(root + "/link"), writer);
}

// Catches a refused elevation reported as success, waited on for ever, or without sudo's reason.
TEST(WriterRoute, ARefusedElevationFailsWithTheRunnersReason) {
    KVI_REQUIRE_ROOT();
    testing::TestUser user("kvinorule");  // no sudoers rule at all
    ASSERT_TRUE(user.valid()) << "no test user could be created";
    testing::TempDir dir;
    const std::string writer = testing::copyForUsers(dir, KVI_FAKE_WRITER, "libexec");
    const std::string image = dir.file("libexec/image.img");
    testing::writeFile(image, std::string(512, 'x'));
    const testing::ChildReport child = testing::forkReporting([&](FILE* out) {
        if (!user.become()) return 90;
        setenv("KORVEX_IMAGER_ELEVATE", "sudo", 1);
        const TargetDisk disk{"sdz", "Route Disk", 1 << 20, 7, "USB"};
        const std::string digest(64, 'a');
        Cancellation cancel;
        try {
            WriterClient::write(
                image, Inspection{512, 512, digest, digest}, disk, cancel, [](const WriteEvent&) {},
                {[disk](const std::vector<std::string>&) { return std::vector{disk}; }, writer});
            std::fputs("written", out);
        } catch (const WriteIncomplete& e) {
            std::fprintf(out, "%s | %s", e.what(), e.runnerOutput().c_str());
        } catch (const std::exception& e) {
            std::fputs(e.what(), out);
        }
        return 0;
    });
    EXPECT_TRUE(child.text.starts_with(std::string(WriteIncomplete::kText) + " | sudo"))
        << child.text;
}

}  // namespace
}  // namespace korvex
