#include "core/image/source_file.hpp"

#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "core/records/imager_error.hpp"
#include "tests/test_support.hpp"

namespace korvex {
namespace {

constexpr const char* kCannotOpen = "Cannot open the image file.";
constexpr const char* kRefused = "The image must be an unlocked regular file owned by this user.";

std::string opening(const std::string& path, std::optional<std::uint32_t> owner,
                    bool writable = false) {
    const std::string failure = testing::failureOf([&] { SourceFile(path, owner, writable); });
    return failure == "(no failure)" ? "opened" : failure;
}

// Catches a size re-read after opening, an inheritable or non-blocking descriptor, a download
// readable by other users while it is written, and a partial download truncated on reopening.
TEST(SourceFile, OpensAPrivateFileWithTheSizeAtOpening) {
    testing::TempDir dir;
    const std::string path = dir.file("download.part");
    EXPECT_EQ(write(SourceFile(path, getuid(), true).fd(), "abc", 3), 3);
    struct stat status {};
    ASSERT_EQ(stat(path.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u);
    EXPECT_EQ(SourceFile(path, getuid(), true).size(), 3);
    const SourceFile file(path, getuid(), false);
    testing::writeFile(path, std::string(7000, 'y'));
    EXPECT_EQ(file.size(), 3);
    EXPECT_EQ(fcntl(file.fd(), F_GETFL) & O_NONBLOCK, 0);
    EXPECT_NE(fcntl(file.fd(), F_GETFD) & FD_CLOEXEC, 0);
}

// Catches an image read through a link or a second name, a FIFO, a directory, another's file, an
// image changed by a writer while it is read, and a lock outliving its SourceFile.
TEST(SourceFile, RefusesAnythingButAPlainSingleLinkedFileOfTheOwnerWithoutAWriter) {
    testing::TempDir dir;
    const std::string image = dir.file("disk.img");
    testing::writeFile(image, "data");
    ASSERT_EQ(symlink(image.c_str(), dir.file("link.img").c_str()), 0);
    ASSERT_EQ(mkfifo(dir.file("pipe.img").c_str(), 0600), 0);
    EXPECT_EQ(opening(dir.file("link.img"), std::nullopt), kCannotOpen);
    EXPECT_EQ(opening(dir.file("link.img"), std::nullopt, true), kCannotOpen);
    EXPECT_EQ(opening(dir.file("missing.img"), std::nullopt), kCannotOpen);
    EXPECT_EQ(opening(dir.path(), std::nullopt), kRefused);  // a directory opens, then fails
    EXPECT_EQ(opening(dir.file("pipe.img"), std::nullopt), kRefused);
    EXPECT_EQ(opening(image, getuid() + 1), kRefused);
    ASSERT_EQ(link(image.c_str(), dir.file("second.img").c_str()), 0);
    EXPECT_EQ(opening(image, std::nullopt), kRefused);
    ASSERT_EQ(unlink(dir.file("second.img").c_str()), 0);
    {
        SourceFile first(image, getuid(), false);
        SourceFile second(image, getuid(), false);  // two readers together
        EXPECT_EQ(opening(image, getuid(), true), kRefused);
    }
    {
        SourceFile writer(image, getuid(), true);
        EXPECT_EQ(opening(image, getuid(), false), kRefused);
    }
    EXPECT_EQ(opening(image, getuid(), true), "opened");  // released with the descriptor
    {
        const UniqueFd other = testing::openOrThrow(image, O_RDONLY);  // any other holder
        ASSERT_EQ(flock(other.get(), LOCK_EX), 0);
        EXPECT_EQ(opening(image, getuid(), false), kRefused);
        EXPECT_EQ(opening(image, getuid(), true), kRefused);
    }
    EXPECT_EQ(opening(image, getuid(), false), "opened");
    if (testing::isRoot()) {
        ASSERT_EQ(chown(image.c_str(), 4242, 4242), 0);
        EXPECT_EQ(opening(image, 0u), kRefused);
        EXPECT_EQ(opening(image, 4242u), "opened");
        EXPECT_EQ(opening(image, std::nullopt), "opened");
    }
}

}  // namespace
}  // namespace korvex
