// How the writer is started depends on who could have replaced it: a writer only root can replace
// is started directly (sudo naming that writer alone), any other goes through the launch script
// (sudo /bin/sh). A real non-root user runs the client with a sudoers rule that names only the
// writer, so the direct route reaches the writer and the script route is refused; the stand-in
// writer answers "Disk on fire." when reached. REQUIRES: root.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include "app/model/elevation_runner.hpp"
#include "app/model/writer_client.hpp"
#include "core/records/imager_error.hpp"
#include "tests/test_support.hpp"

namespace korvex {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;
using testing::TestUser;

// A folder tree that only root can write: below /run, whose chain up to / is root's alone.
class RootTree {
  public:
    RootTree() {
        char name[] = "/run/kvi-route-XXXXXX";
        if (mkdtemp(name) != nullptr) path_ = name;
        chmod(path_.c_str(), 0755);
    }
    ~RootTree() {
        std::error_code ec;
        if (!path_.empty()) fs::remove_all(path_, ec);
    }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

// `program` copied to `folder`/kvi-fake-writer with `mode`, owned by `uid`; folders 0755.
std::string place(const std::string& folder, unsigned uid, mode_t mode) {
    fs::create_directories(folder);
    chmod(folder.c_str(), 0755);
    const std::string copy = folder + "/kvi-fake-writer";
    fs::copy_file(KVI_FAKE_WRITER, copy, fs::copy_options::overwrite_existing);
    EXPECT_EQ(chown(copy.c_str(), uid, uid), 0);
    EXPECT_EQ(chmod(copy.c_str(), mode), 0);
    return copy;
}

class WriterRoute : public ::testing::Test {
  protected:
    void SetUp() override {
        KVI_REQUIRE_ROOT();
        user_ = std::make_unique<TestUser>("kviroute");
        ASSERT_TRUE(user_->valid()) << "no test user could be created";
        ASSERT_FALSE(root_.path().empty());
    }
    void TearDown() override {
        if (!sudoers_.empty()) fs::remove(sudoers_);
        user_.reset();
    }

    // Lets the test user run `writer` alone as root through sudo -n.
    void allowOnly(const std::string& writer) {
        sudoers_ = "/etc/sudoers.d/" + user_->name() + "-writer";
        testing::writeFile(sudoers_, user_->name() + " ALL=(root) NOPASSWD: " + writer + "\n");
        chmod(sudoers_.c_str(), 0440);
    }

    // WriterClient::write as the test user with `writer`; the outcome, and the runner's last
    // line when the write did not complete.
    std::pair<std::string, std::string> write(const std::string& writer) {
        // The stand-in writer's behaviour is named by the image's file name.
        const std::string image = images_.file("error-then-exit.img");
        testing::writeFile(image, std::string(512, 'x'));
        chmod(images_.path().c_str(), 0755);
        const testing::ChildReport child = testing::forkReporting([&](FILE* out) {
            if (!user_->become()) return 90;
            setenv("KORVEX_IMAGER_ELEVATE", "sudo", 1);
            const TargetDisk disk{"sdz", "Route Disk", 1 << 20, 7, "USB"};
            const std::string digest(64, 'a');
            WriterClient::Environment env{
                [disk](const std::vector<std::string>&) { return std::vector{disk}; }, writer};
            Cancellation cancel;
            std::string said;
            std::string outcome = testing::failureOf([&] {
                try {
                    WriterClient::write(
                        image, Inspection{512, 512, digest, digest}, disk, cancel,
                        [](const WriteEvent&) {}, env);
                } catch (const WriteIncomplete& e) {
                    said = e.runnerOutput();
                    throw;
                }
            });
            std::fprintf(out, "%s\n%s", outcome.c_str(), said.c_str());
            return 0;
        });
        const std::string& text = child.text;
        const std::size_t cut = text.find('\n');
        if (cut == std::string::npos) return {text, ""};
        return {text.substr(0, cut), text.substr(cut + 1)};
    }

    std::unique_ptr<TestUser> user_;
    RootTree root_;
    TempDir images_;
    std::string sudoers_;
};

// Fault caught: an installed writer still sent through the launch script, so a sudoers rule
// naming the writer alone (the headless set-up) could never start it.
TEST_F(WriterRoute, WriterOnlyRootCanReplaceIsStartedDirectly) {
    const std::string writer = place(root_.path() + "/libexec/korvex-imager", 0, 0755);
    ASSERT_EQ(WriterClient::installedWriter(writer), writer);
    allowOnly(writer);
    EXPECT_EQ(write(writer).first, "Disk on fire.");
}

// Fault caught: a writer that a user could swap started as root by its path (no copy, no digest
// check); and a refusal reported without the runner's reason.
TEST_F(WriterRoute, WriterAUserCouldReplaceGoesThroughTheScript) {
    TempDir owned;
    ASSERT_EQ(chown(owned.path().c_str(), user_->uid(), user_->gid()), 0);
    chmod(owned.path().c_str(), 0755);
    const std::string cases[] = {
        place(owned.path() + "/libexec", user_->uid(), 0755),  // the user's own file
        place(owned.path() + "/root", 0, 0755),                // root's, below the user's folder
    };
    EXPECT_EQ(chown((owned.path() + "/root").c_str(), 0, 0), 0);
    for (const std::string& writer : cases) {
        SCOPED_TRACE(writer);
        EXPECT_FALSE(WriterClient::installedWriter(writer));
        allowOnly(writer);  // were it started directly, this rule would let it run
        auto [outcome, said] = write(writer);
        EXPECT_EQ(outcome, WriteIncomplete::kText);
        EXPECT_NE(said.find("sudo"), std::string::npos) << said;
    }
}

// Fault caught: a root-owned writer judged installed although a group, another user or a
// symbolic link's target folder could change what runs.
TEST_F(WriterRoute, InstalledMeansRootOnlyAllTheWayUp) {
    const std::string folder = root_.path() + "/a/b";
    const std::string writer = place(folder, 0, 0755);
    struct Case {
        std::string path;
        mode_t mode;
        bool installed;
    } cases[] = {
        {writer, 0755, true},
        {writer, 0775, false},                // group-writable file
        {writer, 0757, false},                // other-writable file
        {root_.path() + "/a", 0775, false},   // group-writable folder above
        {root_.path() + "/a", 01777, false},  // a /tmp-like folder above
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path + " " + std::to_string(c.mode));
        struct stat before {};
        const bool exists = stat(c.path.c_str(), &before) == 0;
        if (exists) chmod(c.path.c_str(), c.mode);
        EXPECT_EQ(WriterClient::installedWriter(writer).has_value(), c.installed);
        if (exists) chmod(c.path.c_str(), before.st_mode & 07777);
    }
    EXPECT_FALSE(WriterClient::installedWriter(root_.path() + "/missing"));
    // A link resolves to the writer it names, which is then what runs.
    fs::create_symlink(writer, images_.file("link"));
    EXPECT_EQ(WriterClient::installedWriter(images_.file("link")), writer);
}

// Fault caught: the runner's reason lost behind trailing blank lines, or its escape sequences and
// broken text passed on to the user's terminal.
TEST(ElevationRunnerOutput, LastLineOfErrorOutputAsPlainText) {
    const std::string longLine(600, 'x');
    struct Case {
        std::string script, line;
    } cases[] = {
        {"printf 'first\\nsudo: a password is required\\n\\n  \\n' >&2",
         "sudo: a password is required"},
        {"printf 'red \\033[31mtext\\r' >&2; echo out", "red  [31mtext"},
        {"printf '\\303\\050 bad' >&2", "\xEF\xBF\xBD( bad"},
        {"printf '%s' " + longLine + " >&2", longLine.substr(0, ElevationRunner::kLineLimit)},
        {"echo only-standard-output", ""},
    };
    for (const Case& c : cases) {
        ElevationRunner runner({"/bin/sh", "-c", c.script});
        runner.wait();
        EXPECT_EQ(runner.lastErrorLine(), c.line) << c.script;
    }
}

}  // namespace
}  // namespace korvex
