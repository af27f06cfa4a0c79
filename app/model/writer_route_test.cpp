// A real user whose sudoers rule names only the writer: a writer only root can replace is started
// directly and reached, any other goes through the launch script (sudo /bin/sh) and is refused.
// The stand-in writer answers "Disk on fire." when reached. REQUIRES: root.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include "app/model/writer_client.hpp"
#include "core/records/imager_error.hpp"
#include "tests/test_support.hpp"

namespace korvex {
namespace {

namespace fs = std::filesystem;

// The stand-in writer copied to `folder`/kvi-fake-writer, owned by `uid`; folders 0755.
std::string place(const std::string& folder, unsigned uid) {
    fs::create_directories(folder);
    chmod(folder.c_str(), 0755);
    const std::string copy = folder + "/kvi-fake-writer";
    fs::copy_file(KVI_FAKE_WRITER, copy, fs::copy_options::overwrite_existing);
    EXPECT_EQ(chown(copy.c_str(), uid, uid), 0);
    EXPECT_EQ(chmod(copy.c_str(), 0755), 0);
    return copy;
}

class WriterRoute : public ::testing::Test {
  protected:
    void SetUp() override {
        KVI_REQUIRE_ROOT();
        char name[] = "/run/kvi-route-XXXXXX";  // /run and every folder above it are root's alone
        ASSERT_NE(mkdtemp(name), nullptr);
        chmod((root_ = name).c_str(), 0755);
        user_ = std::make_unique<testing::TestUser>("kviroute");
        ASSERT_TRUE(user_->valid()) << "no test user could be created";
        fs::create_directory(root_ + "/home");  // a folder of the user's, below root's alone
        ASSERT_EQ(chown((root_ + "/home").c_str(), user_->uid(), user_->gid()), 0);
        sudoers_ = "/etc/sudoers.d/" + user_->name() + "-writer";
    }
    void TearDown() override {
        std::error_code ignored;
        if (!root_.empty()) fs::remove_all(root_, ignored);
        fs::remove(sudoers_, ignored);
        user_.reset();
    }

    // WriterClient::write as the test user, allowed to run `writer` alone through sudo -n: what
    // it failed with, and after " | " the runner's last line when the write did not complete.
    std::string write(const std::string& writer) {
        testing::writeFile(sudoers_, user_->name() + " ALL=(root) NOPASSWD: " + writer + "\n");
        chmod(sudoers_.c_str(), 0440);
        const std::string image = images_.file("error-then-exit.img");  // the stand-in's cue
        testing::writeFile(image, std::string(512, 'x'));
        chmod(images_.path().c_str(), 0755);
        const testing::ChildReport child = testing::forkReporting([&](FILE* out) {
            if (!user_->become()) return 90;
            setenv("KORVEX_IMAGER_ELEVATE", "sudo", 1);
            const TargetDisk disk{"sdz", "Route Disk", 1 << 20, 7, "USB"};
            const std::string digest(64, 'a');
            Cancellation cancel;
            try {
                WriterClient::write(
                    image, Inspection{512, 512, digest, digest}, disk, cancel,
                    [](const WriteEvent&) {},
                    {[disk](const std::vector<std::string>&) { return std::vector{disk}; },
                     writer});
            } catch (const WriteIncomplete& e) {
                std::fprintf(out, "%s | %s", e.what(), e.runnerOutput().c_str());
            } catch (const std::exception& e) {
                std::fprintf(out, "%s", e.what());
            }
            return 0;
        });
        return child.text;
    }

    std::string root_, sudoers_;
    std::unique_ptr<testing::TestUser> user_;
    testing::TempDir images_;
};

// Catches an installed writer sent through the script, a user's started directly, a mute refusal.
TEST_F(WriterRoute, OnlyAWriterOnlyRootCanReplaceIsStartedDirectly) {
    const std::string installed = place(root_ + "/libexec/korvex-imager", 0);
    ASSERT_EQ(WriterClient::installedWriter(installed), installed);
    EXPECT_EQ(write(installed), "Disk on fire.");

    const std::string users = place(root_ + "/home/libexec", user_->uid());
    ASSERT_FALSE(WriterClient::installedWriter(users));
    const std::string refused = write(users);  // were it started directly, the rule would let it
    EXPECT_TRUE(refused.starts_with(std::string(WriteIncomplete::kText) + " | sudo")) << refused;
}

// Catches a writer judged installed that others could change, a link left unresolved.
TEST_F(WriterRoute, InstalledMeansRootOnlyAllTheWayUp) {
    const std::string writer = place(root_ + "/a/b", 0);
    const struct {
        std::string path;
        mode_t mode;
        bool installed;
    } cases[] = {
        {writer, 0755, true},         {writer, 0775, false},  // group-writable file
        {writer, 0757, false},                                // other-writable file
        {root_ + "/a", 0775, false},                          // group-writable folder above
        {root_ + "/a", 01777, false},                         // a /tmp-like folder above
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path + " " + std::to_string(c.mode));
        struct stat before {};
        ASSERT_EQ(stat(c.path.c_str(), &before), 0);
        chmod(c.path.c_str(), c.mode);
        EXPECT_EQ(WriterClient::installedWriter(writer).has_value(), c.installed);
        chmod(c.path.c_str(), before.st_mode & 07777);
    }
    EXPECT_FALSE(WriterClient::installedWriter(place(root_ + "/home/root", 0)));  // user's folder
    EXPECT_FALSE(WriterClient::installedWriter(root_ + "/missing"));
    fs::create_symlink(writer, images_.file("link"));
    EXPECT_EQ(WriterClient::installedWriter(images_.file("link")), writer);
}

}  // namespace
}  // namespace korvex
