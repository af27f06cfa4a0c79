#include "app/model/diagnostics.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <regex>
#include <sstream>
#include <thread>

#include <nlohmann/json.hpp>

#include "tests/test_support.hpp"

namespace korvex {
namespace {

using testing::TempDir;

std::vector<std::string> linesOf(const std::string& path) {
    std::vector<std::string> lines;
    std::istringstream in(testing::readFile(path));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

TEST(Diagnostics, EntryHasSortedKeysEscapedSolidusAndCutsWholeCharacters) {
    EXPECT_EQ(Diagnostics::entry("download/retry", "Say \"hi\"\n\x01 to C:\\ · 好",
                                 "2026-01-31T08:15:00Z"),
              "{\"message\":\"Say \\\"hi\\\"\\n\\u0001 to C:\\\\ · 好\",\"stage\":"
              "\"download\\/retry\",\"time\":\"2026-01-31T08:15:00Z\"}");

    const std::string accented = "e\u0301";                                   // two code points
    const std::string family = "\U0001F468\u200D\U0001F469\u200D\U0001F467";  // one character
    std::string message, stage;
    for (int i = 0; i < 1500; ++i) message += i % 2 ? accented : family;
    for (int i = 0; i < 50; ++i) stage += accented;
    auto entry = nlohmann::json::parse(Diagnostics::entry(stage, message, "t"));
    std::string cutMessage, cutStage;
    for (int i = 0; i < 1000; ++i) cutMessage += i % 2 ? accented : family;
    for (int i = 0; i < 40; ++i) cutStage += accented;
    EXPECT_EQ(entry["message"], cutMessage);
    EXPECT_EQ(entry["stage"], cutStage);
    // Bytes that are not UTF-8 still make a valid line.
    EXPECT_TRUE(nlohmann::json::accept(Diagnostics::entry("x", "\xff\xfe", "t")));
}

TEST(Diagnostics, AppendsPrivatelyAndRotatesAboveOneMebibyte) {
    TempDir root;
    const std::string folder = root.file("Korvex Imager");
    const std::string log = folder + "/imager.log";
    Diagnostics::log(folder, "startup", Diagnostics::startupMessage());
    auto lines = linesOf(log);
    ASSERT_EQ(lines.size(), 1u);
    auto first = nlohmann::json::parse(lines[0]);
    EXPECT_EQ(first["stage"], "startup");
    EXPECT_TRUE(first["message"].get<std::string>().starts_with("Korvex Imager 0.8.1 Linux "));
    EXPECT_GT(first["message"].get<std::string>().size(), 26u);
    EXPECT_TRUE(std::regex_match(first["time"].get<std::string>(),
                                 std::regex("\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ")));
    struct stat st {};
    ASSERT_EQ(::stat(log.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(::stat(folder.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    // Exactly 1 MiB is not rotated; the entry after the one that grew it past 1 MiB is.
    testing::writeFile(log, std::string(Diagnostics::kRotateAbove - 1, 'x') + "\n");
    testing::writeFile(log + ".previous", "older generation\n");
    Diagnostics::log(folder, "one", "kept in the big log");
    EXPECT_EQ(testing::readFile(log + ".previous"), "older generation\n");
    auto big = std::filesystem::file_size(log);
    Diagnostics::log(folder, "two", "first of the new log");
    EXPECT_EQ(std::filesystem::file_size(log + ".previous"), big);
    ASSERT_EQ(linesOf(log).size(), 1u);
    EXPECT_EQ(nlohmann::json::parse(linesOf(log)[0])["stage"], "two");
}

TEST(Diagnostics, NeverFollowsALinkAndNeverFails) {
    TempDir root;
    const std::string folder = root.file("Korvex Imager");
    std::filesystem::create_directory(folder);
    testing::writeFile(root.file("target"), "");
    std::filesystem::create_symlink(root.file("target"), folder + "/imager.log");
    Diagnostics::log(folder, "stage", "message");
    EXPECT_EQ(testing::readFile(root.file("target")), "");

    std::filesystem::create_directory(root.file("real"));
    std::filesystem::create_directory_symlink(root.file("real"), root.file("linked"));
    Diagnostics::log(root.file("linked"), "stage", "message");
    EXPECT_FALSE(std::filesystem::exists(root.file("real/imager.log")));

    testing::writeFile(root.file("blocker"), "");
    Diagnostics::log(root.file("blocker/Korvex Imager"), "stage", "message");  // no throw
}

// Faults caught: entries appended through a hard link into the file it shares, or into a file of
// another user, who could read them all; and a FIFO in the log's place silencing the log for good.
TEST(Diagnostics, OnlyAPlainLogOfOurOwnIsWrittenAnythingElseMakesWayForAFreshOne) {
    KVI_REQUIRE_ROOT();
    testing::TestUser other("kvilog");
    ASSERT_TRUE(other.valid());
    for (const std::string plant : {"hard link", "another user's file", "FIFO"}) {
        SCOPED_TRACE(plant);
        TempDir root;
        const std::string folder = root.file("Korvex Imager");
        const std::string log = folder + "/imager.log";
        const std::string elsewhere = root.file("elsewhere");
        std::filesystem::create_directory(folder);
        if (plant == "hard link") {
            testing::writeFile(elsewhere, "not a log\n");
            std::filesystem::create_hard_link(elsewhere, log);
        } else if (plant == "another user's file") {
            testing::writeFile(log, "not a log\n");
            ASSERT_EQ(::chown(log.c_str(), other.uid(), other.gid()), 0);
        } else {
            ASSERT_EQ(::mkfifo(log.c_str(), 0600), 0);
        }

        Diagnostics::log(folder, "stage", "message");
        if (plant == "hard link") {
            EXPECT_EQ(testing::readFile(elsewhere), "not a log\n");
        }
        struct stat st {};
        ASSERT_EQ(::lstat(log.c_str(), &st), 0);
        ASSERT_TRUE(S_ISREG(st.st_mode));  // reading a FIFO would wait for ever
        ASSERT_EQ(linesOf(log).size(), 1u);
        EXPECT_EQ(nlohmann::json::parse(linesOf(log)[0])["stage"], "stage");
        EXPECT_EQ(st.st_nlink, 1u);
        EXPECT_EQ(st.st_uid, ::geteuid());
        EXPECT_EQ(st.st_mode & 0777, 0600u);
    }
}

TEST(Diagnostics, ConcurrentEntriesStayWholeLines) {
    TempDir root;
    const std::string folder = root.file("Korvex Imager");
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 50; ++i)
                Diagnostics::log(folder, "thread " + std::to_string(t),
                                 std::string(300 + i, static_cast<char>('a' + t)));
        });
    for (std::thread& t : threads) t.join();
    auto lines = linesOf(folder + "/imager.log");
    ASSERT_EQ(lines.size(), 200u);
    for (const std::string& line : lines) {
        auto entry = nlohmann::json::parse(line);
        const std::string& message = entry["message"].get_ref<const std::string&>();
        EXPECT_EQ(message.find_first_not_of(message[0]), std::string::npos);
    }
}

}  // namespace
}  // namespace korvex
