#include "app/model/app_paths.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <system_error>

#include "core/records/imager_error.hpp"
#include "tests/test_support.hpp"

namespace korvex {
namespace {

using testing::TempDir;

// Sets or clears an environment variable for one scope.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        if (value)
            ::setenv(name, value, 1);
        else
            ::unsetenv(name);
    }
    ~ScopedEnv() {
        if (old_)
            ::setenv(name_, old_->c_str(), 1);
        else
            ::unsetenv(name_);
    }

  private:
    const char* name_;
    std::optional<std::string> old_;
};

struct MapPreferences : PreferenceStore {
    std::map<std::string, std::string, std::less<>> values;
    std::optional<std::string> string(std::string_view key) const override {
        auto it = values.find(key);
        if (it == values.end()) return std::nullopt;
        return it->second;
    }
};

mode_t modeOf(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

std::string failureOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const ImagerError& e) {
        return e.description();
    } catch (const std::system_error&) {
        return "system error";
    }
    return "succeeded";
}

TEST(AppPaths, FolderAndCacheFollowTheEnvironmentAndThePreference) {
    ScopedEnv home("HOME", "/home/tester");
    {
        ScopedEnv data("XDG_DATA_HOME", "/data/tester");
        EXPECT_EQ(AppPaths::applicationFolder(), "/data/tester/Korvex Imager");
    }
    for (const char* ignored : {static_cast<const char*>(nullptr), "", "relative/data"}) {
        ScopedEnv data("XDG_DATA_HOME", ignored);
        EXPECT_EQ(AppPaths::applicationFolder(), "/home/tester/.local/share/Korvex Imager");
    }
    ScopedEnv data("XDG_DATA_HOME", nullptr);
    MapPreferences preferences;
    EXPECT_EQ(AppPaths::cache(preferences), "/home/tester/.local/share/Korvex Imager/Images");
    preferences.values["downloadDirectory"] = "";
    EXPECT_EQ(AppPaths::cache(preferences), "/home/tester/.local/share/Korvex Imager/Images");
    preferences.values["downloadDirectory"] = "/media/tester/Stick/";
    EXPECT_EQ(AppPaths::cache(preferences), "/media/tester/Stick/Images");
}

TEST(AppPaths, MakePrivateCreatesOwnerOnlyFoldersAndRefusesLinksAndFiles) {
    TempDir root;
    const std::string nested = root.file("a/b/Korvex Imager");
    mode_t old = ::umask(0);  // a permissive umask must not widen what is created
    AppPaths::makePrivate(nested);
    ::umask(old);
    EXPECT_EQ(modeOf(root.file("a")), 0700u);
    EXPECT_EQ(modeOf(nested), 0700u);

    // An existing folder is accepted as it is.
    std::filesystem::create_directory(root.file("open"));
    ::chmod(root.file("open").c_str(), 0755);
    AppPaths::makePrivate(root.file("open"));
    EXPECT_EQ(modeOf(root.file("open")), 0755u);

    std::filesystem::create_directory_symlink(nested, root.file("link"));
    EXPECT_EQ(failureOf([&] { AppPaths::makePrivate(root.file("link")); }),
              "Unsafe application directory.");
    testing::writeFile(root.file("file"), "x");
    EXPECT_EQ(failureOf([&] { AppPaths::makePrivate(root.file("file")); }), "system error");
    EXPECT_EQ(failureOf([&] { AppPaths::makePrivate(root.file("file/below")); }), "system error");
    // A link in a parent is the user's own arrangement and is fine.
    AppPaths::makePrivate(root.file("link/inner"));
    EXPECT_EQ(modeOf(nested + "/inner"), 0700u);
}

}  // namespace
}  // namespace korvex
