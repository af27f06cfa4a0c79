#include "app/model/app_paths.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "tests/test_support.hpp"

namespace korvex {
namespace {

struct Preferences : PreferenceStore {
    std::optional<std::string> download;
    std::optional<std::string> string(std::string_view key) const override {
        return key == kDownloadDirectoryKey ? download : std::nullopt;
    }
};

// Catches an empty or relative XDG_DATA_HOME used, the download choice ignored or kept unclean.
TEST(AppPaths, FolderAndCacheFollowTheEnvironmentAndThePreference) {
    ::setenv("HOME", "/home/tester", 1);
    const std::string home = "/home/tester/.local/share/Korvex Imager";
    const struct {
        const char* data;
        std::optional<std::string> download;
        std::string folder, cache;
    } cases[] = {
        {"/data/tester", std::nullopt, "/data/tester/Korvex Imager",
         "/data/tester/Korvex Imager/Images"},
        {nullptr, std::nullopt, home, home + "/Images"},
        {"", "", home, home + "/Images"},
        {"relative/data", "/media/tester/Stick/", home, "/media/tester/Stick/Images"},
    };
    for (const auto& c : cases) {
        c.data ? ::setenv("XDG_DATA_HOME", c.data, 1) : ::unsetenv("XDG_DATA_HOME");
        Preferences preferences;
        preferences.download = c.download;
        EXPECT_EQ(AppPaths::applicationFolder(), c.folder) << c.data;
        EXPECT_EQ(AppPaths::cache(preferences), c.cache) << c.data;
    }
}

// Catches umask modes, old modes changed, a link or file taken as the folder, parent links refused.
TEST(AppPaths, MakePrivateCreatesOwnerOnlyFoldersAndRefusesLinksAndFiles) {
    testing::TempDir root;
    auto mode = [&](const std::string& name) {
        struct stat st {};
        EXPECT_EQ(::lstat(root.file(name).c_str(), &st), 0) << name;
        return st.st_mode & 07777;
    };
    auto failure = [&](const std::string& name) {
        const std::string text =
            testing::failureOf([&] { AppPaths::makePrivate(root.file(name)); });
        return text.starts_with("other: ") ? "other" : text;
    };
    const mode_t old = ::umask(0);
    AppPaths::makePrivate(root.file("a/b/Korvex Imager"));
    ::umask(old);
    EXPECT_EQ(mode("a"), 0700u);
    EXPECT_EQ(mode("a/b/Korvex Imager"), 0700u);
    std::filesystem::create_directory(root.file("open"));
    ::chmod(root.file("open").c_str(), 0755);
    AppPaths::makePrivate(root.file("open"));
    EXPECT_EQ(mode("open"), 0755u);

    std::filesystem::create_directory_symlink(root.file("a/b/Korvex Imager"), root.file("link"));
    testing::writeFile(root.file("file"), "x");
    EXPECT_EQ(failure("link"), "Unsafe application directory.");
    EXPECT_EQ(failure("file"), "other");
    EXPECT_EQ(failure("file/below"), "other");
    EXPECT_EQ(failure("link/inner"), "(no failure)");
    EXPECT_EQ(mode("a/b/Korvex Imager/inner"), 0700u);
}

}  // namespace
}  // namespace korvex
