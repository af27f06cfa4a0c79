#include "app/model/launch_script.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <csignal>
#include <filesystem>

#include "core/image/image_io.hpp"
#include "tests/test_support.hpp"

namespace korvex {
namespace {

using testing::readFile;

// Catches a digest or request that could leave the script's quoting, or an empty request.
TEST(LaunchScript, RefusesMalformedDigestOrRequest) {
    auto failure = [](const std::string& sha, const std::string& request) {
        return testing::failureOf([&] { launchScript("/w", sha, request); });
    };
    for (const std::string& sha : {std::string(63, 'a'), std::string(63, 'a') + "g"})
        EXPECT_EQ(failure(sha, "abc"), "Invalid writer request.") << sha;
    for (const char* request : {"", "abc'; rm -rf /", "abc\n", "a-b"})
        EXPECT_EQ(failure(std::string(64, 'a'), request), "Invalid writer request.") << request;
    EXPECT_EQ(failure(std::string(64, 'A'), "abc"), "(no failure)");  // either letter case
}

// Catches a forged or writable copy run, a copy left behind, a path unquoted, the caller's env.
TEST(LaunchScript, RunsOnlyTheCheckedPrivateCopyAndAlwaysRemovesIt) {
    testing::TempDir dir;
    ::chmod(dir.path().c_str(), 0755);
    const std::string folder = dir.file("it's a \"dir\" $HOME"), report = dir.file("report");
    const std::string writer = folder + "/writer", path = dir.file("bin");
    for (const std::string& f : {folder, path}) std::filesystem::create_directories(f);
    // "forged": a digest not the writer's, which the sha256sum on the caller's PATH vouches for;
    // a signal: the writer sends it to the script.
    for (const std::string c : {"", "forged", "INT", "TERM", "HUP"}) {
        SCOPED_TRACE(c);
        const bool forged = c == "forged", signal = !c.empty() && !forged;
        std::filesystem::remove(report);
        testing::writeFile(writer,
                           "#!/bin/sh\n{ echo \"$#:$1\"; stat -c %a \"$0\" \"${0%/*}\"; umask; "
                           "env; echo \"$0\"; } > '" +
                               report + "'\n" + (signal ? "kill -" + c + " $PPID\n" : ""));
        ::chmod(writer.c_str(), 0755);
        std::string sha = ImageIO::digest(readFile(writer));
        if (forged) sha[0] = sha[0] == '0' ? '1' : '0';
        testing::writeFile(path + "/sha256sum", "#!/bin/sh\necho " + sha + "\n");
        ::chmod((path + "/sha256sum").c_str(), 0755);
        const auto run = testing::forkReporting([&](FILE*) {
            // As a runner starts it: a shell cannot trap what it was started ignoring.
            for (int s : {SIGINT, SIGTERM, SIGHUP}) std::signal(s, SIG_DFL);
            ::setenv("PATH", path.c_str(), 1);
            const std::string script = launchScript(writer, sha, "eyJ2Ijox+/==");
            ::execl("/bin/sh", "sh", "-c", script.c_str(), static_cast<char*>(nullptr));
            return 127;
        });
        if (forged) {
            EXPECT_FALSE(run.exitedCleanly());
            EXPECT_FALSE(std::filesystem::exists(report));
            continue;
        }
        EXPECT_TRUE(signal || run.exitedCleanly());
        const std::string seen = readFile(report);
        EXPECT_EQ(seen.rfind("1:eyJ2Ijox+/==\n500\n700\n0077\n", 0), 0u) << seen;
        EXPECT_EQ(seen.find("HOME="), std::string::npos);
        EXPECT_NE(seen.find("PATH=/usr/bin:/bin:/usr/sbin:/sbin\n"), std::string::npos);
        const std::string copy = seen.substr(seen.rfind('\n', seen.size() - 2) + 1);
        EXPECT_EQ(copy.rfind("/tmp/korvex-imager.", 0), 0u) << copy;
        EXPECT_FALSE(std::filesystem::exists(std::filesystem::path(copy).parent_path()));
    }
}

}  // namespace
}  // namespace korvex
