#include "app/model/launch_script.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <csignal>

#include <filesystem>

#include "core/image/image_io.hpp"
#include "core/records/imager_error.hpp"
#include "tests/test_support.hpp"

namespace korvex {
namespace {

using korvex::testing::readFile;
using korvex::testing::TempDir;
using korvex::testing::writeFile;

const std::string kSha(64, 'a');

std::string expectInvalid(const std::string& sha, const std::string& request) {
    return testing::failureOf([&] { launchScript("/w", sha, request); });
}

int runScript(const std::string& script) {
    pid_t pid = fork();
    if (pid == 0) {
        // As a runner starts it: a shell cannot trap what it was started ignoring.
        for (int s : {SIGINT, SIGTERM, SIGHUP}) signal(s, SIG_DFL);
        execl("/bin/sh", "sh", "-c", script.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(LaunchScript, ExactText) {
    std::string script = launchScript("/opt/it's here/writer", kSha, "eyJ2Ijox=");
    EXPECT_EQ(script,
              "umask 077\n"
              "d=$(/usr/bin/mktemp -d /tmp/korvex-imager.XXXXXXXX) || exit 1\n"
              "trap '/bin/rm -rf \"$d\"' EXIT INT TERM HUP\n"
              "/bin/cp '/opt/it'\\''s here/writer' \"$d/writer\" || exit 1\n"
              "/bin/chmod 500 \"$d/writer\" || exit 1\n"
              "actual=$(/usr/bin/sha256sum \"$d/writer\") || exit 1\n"
              "[ \"${actual%% *}\" = '" +
                  kSha +
                  "' ] || exit 1\n"
                  "/usr/bin/env -i PATH=/usr/bin:/bin:/usr/sbin:/sbin \"$d/writer\" 'eyJ2Ijox='");
}

TEST(LaunchScript, RefusesMalformedDigestOrRequest) {
    const std::string invalid = "Invalid writer request.";
    EXPECT_EQ(expectInvalid(std::string(64, 'A'), "abc"),
              "(no failure)");  // letter case is not tested
    EXPECT_EQ(expectInvalid(std::string(63, 'a'), "abc"), invalid);
    EXPECT_EQ(expectInvalid(std::string(63, 'a') + "g", "abc"), invalid);
    EXPECT_EQ(expectInvalid(kSha, ""), invalid);
    EXPECT_EQ(expectInvalid(kSha, "abc'; rm -rf /"), invalid);
    EXPECT_EQ(expectInvalid(kSha, "abc\n"), invalid);
    EXPECT_EQ(expectInvalid(kSha, "a-b"), invalid);
}

// The script really runs the checked copy with one argument and an empty environment, refuses
// a copy whose digest differs, and removes its private folder either way.
TEST(LaunchScript, RunsOnlyTheCheckedCopyAndCleansUp) {
    TempDir dir;
    std::string folder = dir.file("it's a \"dir\" $HOME");
    std::filesystem::create_directory(folder);
    std::string writer = folder + "/writer";
    std::string report = dir.file("report");
    writeFile(writer,
              "#!/bin/sh\n{ echo \"$#:$1\"; env | sort; echo \"$0\"; } > '" + report + "'\n");
    chmod(writer.c_str(), 0755);
    chmod(dir.path().c_str(), 0755);
    std::string sha = ImageIO::digest(readFile(writer));

    ASSERT_EQ(runScript(launchScript(writer, sha, "eyJ2Ijox+/==")), 0);
    std::string seen = readFile(report);
    EXPECT_EQ(seen.substr(0, seen.find('\n')), "1:eyJ2Ijox+/==");
    EXPECT_EQ(seen.find("HOME="), std::string::npos);
    EXPECT_NE(seen.find("PATH=/usr/bin:/bin:/usr/sbin:/sbin"), std::string::npos);
    std::string copy = seen.substr(seen.rfind('\n', seen.size() - 2) + 1);
    copy.pop_back();
    EXPECT_EQ(copy.rfind("/tmp/korvex-imager.", 0), 0u) << copy;
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::path(copy).parent_path()));

    std::filesystem::remove(report);
    std::string otherSha = sha;
    otherSha[0] = otherSha[0] == '0' ? '1' : '0';
    EXPECT_NE(runScript(launchScript(writer, otherSha, "eyJ2Ijox")), 0);
    EXPECT_FALSE(std::filesystem::exists(report));
}

// The script stopped by a signal while its writer runs still removes the private copy.
TEST(LaunchScript, SignalledScriptCleansUp) {
    TempDir dir;
    std::string writer = dir.file("writer");
    std::string report = dir.file("report");
    chmod(dir.path().c_str(), 0755);
    for (const char* signal : {"INT", "TERM", "HUP"}) {
        writeFile(writer,
                  "#!/bin/sh\necho \"$0\" > '" + report + "'\nkill -" + signal + " $PPID\n");
        chmod(writer.c_str(), 0755);
        runScript(launchScript(writer, ImageIO::digest(readFile(writer)), "eyJ2Ijox"));
        std::string copy = readFile(report);
        copy.pop_back();
        EXPECT_EQ(copy.rfind("/tmp/korvex-imager.", 0), 0u) << copy;
        EXPECT_FALSE(std::filesystem::exists(std::filesystem::path(copy).parent_path())) << signal;
    }
}

}  // namespace
}  // namespace korvex
