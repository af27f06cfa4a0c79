#include "app/model/diagnostics.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>
#include <thread>

#include <nlohmann/json.hpp>

#include "tests/test_support.hpp"

namespace korvex {
namespace {

namespace fs = std::filesystem;

std::vector<nlohmann::json> entriesOf(const std::string& path) {
    std::vector<nlohmann::json> entries;
    std::istringstream in(testing::readFile(path));
    for (std::string line; std::getline(in, line);) entries.push_back(nlohmann::json::parse(line));
    return entries;
}

// Catches keys out of order, characters left bare or cut, a wrong bound, an invalid line.
TEST(Diagnostics, EntryIsOneBoundedJsonLine) {
    EXPECT_EQ(Diagnostics::entry("download/retry", "Say \"hi\"\n\x01 to C:\\ · 好",
                                 "2026-01-31T08:15:00Z"),
              "{\"message\":\"Say \\\"hi\\\"\\n\\u0001 to C:\\\\ · 好\",\"stage\":"
              "\"download\\/retry\",\"time\":\"2026-01-31T08:15:00Z\"}");
    std::string text;  // characters of two code points each
    for (int i = 0; i < 1500; ++i) text += "e\u0301";
    const auto entry = nlohmann::json::parse(Diagnostics::entry(text, text, "t"));
    EXPECT_EQ(entry["message"], text.substr(0, 1000 * 3));
    EXPECT_EQ(entry["stage"], text.substr(0, 40 * 3));
    EXPECT_TRUE(nlohmann::json::accept(Diagnostics::entry("x", "\xff\xfe", "t")));
}

// Catches a log or folder others can read, rotation too early, or the old generation kept.
TEST(Diagnostics, AppendsPrivatelyAndRotatesAboveOneMebibyte) {
    testing::TempDir root;
    const std::string folder = root.file("Korvex Imager"), log = folder + "/imager.log";
    Diagnostics::log(folder, "startup", "first");
    for (const std::string& path : {log, folder}) {
        struct stat st {};
        ASSERT_EQ(::stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, path == log ? 0600u : 0700u);
    }
    testing::writeFile(log, std::string(Diagnostics::kRotateAbove - 1, 'x') + "\n");
    testing::writeFile(log + ".previous", "older generation\n");
    Diagnostics::log(folder, "one", "kept in the big log");
    EXPECT_EQ(testing::readFile(log + ".previous"), "older generation\n");
    const auto big = fs::file_size(log);
    Diagnostics::log(folder, "two", "first of the new log");
    EXPECT_EQ(fs::file_size(log + ".previous"), big);
    ASSERT_EQ(entriesOf(log).size(), 1u);
    EXPECT_EQ(entriesOf(log)[0]["stage"], "two");
}

// Catches entries written through links or FIFOs or to another's file, a failure thrown.
TEST(Diagnostics, OnlyAPlainLogOfOurOwnIsWrittenAnythingElseMakesWayForAFreshOne) {
    testing::TempDir root;
    fs::create_directories(root.file("real/Korvex Imager"));
    fs::create_directory_symlink(root.file("real"), root.file("linked"));
    testing::writeFile(root.file("elsewhere"), "not a log\n");
    fs::create_symlink(root.file("elsewhere"), root.file("real/Korvex Imager/imager.log"));
    Diagnostics::log(root.file("real/Korvex Imager"), "stage", "message");
    Diagnostics::log(root.file("linked"), "stage", "message");
    Diagnostics::log(root.file("elsewhere/Korvex Imager"), "stage", "message");  // no throw
    EXPECT_EQ(testing::readFile(root.file("elsewhere")), "not a log\n");
    EXPECT_FALSE(fs::exists(root.file("real/imager.log")));

    KVI_REQUIRE_ROOT();
    testing::TestUser other("kvilog");
    ASSERT_TRUE(other.valid());
    for (const std::string plant : {"hard link", "another user's file", "FIFO"}) {
        SCOPED_TRACE(plant);
        const std::string folder = root.file(plant), log = folder + "/imager.log";
        fs::create_directory(folder);
        if (plant == "hard link") {
            fs::create_hard_link(root.file("elsewhere"), log);
        } else if (plant == "FIFO") {
            ASSERT_EQ(::mkfifo(log.c_str(), 0600), 0);
        } else {
            testing::writeFile(log, "not a log\n");
            ASSERT_EQ(::chown(log.c_str(), other.uid(), other.gid()), 0);
        }
        Diagnostics::log(folder, "stage", "message");
        EXPECT_EQ(testing::readFile(root.file("elsewhere")), "not a log\n");
        struct stat st {};
        ASSERT_EQ(::lstat(log.c_str(), &st), 0);
        ASSERT_TRUE(S_ISREG(st.st_mode));  // reading a FIFO would wait for ever
        EXPECT_EQ(entriesOf(log).size(), 1u);
        EXPECT_EQ(st.st_nlink, 1u);
        EXPECT_EQ(st.st_uid, ::geteuid());
        EXPECT_EQ(st.st_mode & 0777, 0600u);
    }
}

// Catches entries of several threads interleaved within a line, or lost.
TEST(Diagnostics, ConcurrentEntriesStayWholeLines) {
    testing::TempDir root;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 50; ++i)
                Diagnostics::log(root.path(), "thread", std::string(300 + i, char('a' + t)));
        });
    for (std::thread& t : threads) t.join();
    const auto entries = entriesOf(root.file("imager.log"));
    ASSERT_EQ(entries.size(), 200u);
    for (const auto& entry : entries) {
        const std::string& message = entry["message"].get_ref<const std::string&>();
        EXPECT_EQ(message.find_first_not_of(message[0]), std::string::npos);
    }
}

}  // namespace
}  // namespace korvex
