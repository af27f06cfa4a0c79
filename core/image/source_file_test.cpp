// SourceFile's opening checks against real links, FIFOs, directories, owners and locks.
#include "core/image/source_file.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "core/records/imager_error.hpp"
#include "tests/test_support.hpp"

namespace korvex {
namespace {

using testing::TempDir;
using testing::writeFile;

constexpr const char* kCannotOpen = "Cannot open the image file.";
constexpr const char* kRefused = "The image must be an unlocked regular file owned by this user.";

std::string failure(const std::string& path, std::optional<std::uint32_t> owner,
                    bool writable = false) {
    try {
        SourceFile file(path, owner, writable);
    } catch (const ImagerError& e) {
        return e.description();
    }
    return "opened";
}

// Another process holds an exclusive lock on `path` for as long as this object lives.
class LockingChild {
  public:
    explicit LockingChild(const std::string& path) {
        int ready[2], release[2];
        if (::pipe(ready) != 0 || ::pipe(release) != 0) throw std::runtime_error("pipe");
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(ready[0]);
            ::close(release[1]);
            const int fd = ::open(path.c_str(), O_RDONLY);
            const char ok = (fd >= 0 && ::flock(fd, LOCK_EX) == 0) ? 'y' : 'n';
            (void)::write(ready[1], &ok, 1);
            char byte;
            (void)::read(release[0], &byte, 1);  // returns when the parent closes its end
            ::_exit(0);
        }
        ::close(ready[1]);
        ::close(release[0]);
        release_ = release[1];
        char ok = 'n';
        (void)::read(ready[0], &ok, 1);
        ::close(ready[0]);
        if (ok != 'y') throw std::runtime_error("child could not lock");
    }
    ~LockingChild() {
        ::close(release_);
        int status = 0;
        ::waitpid(pid_, &status, 0);
    }

  private:
    pid_t pid_ = -1;
    int release_ = -1;
};

TEST(SourceFileTest, OpensARegularFileWithItsSizeAndABlockingDescriptor) {
    TempDir dir;
    const std::string path = dir.file("disk.img");
    writeFile(path, std::string(5000, 'x'));
    SourceFile file(path, ::getuid(), false);
    EXPECT_GE(file.fd(), 0);
    EXPECT_EQ(file.size(), 5000);
    EXPECT_EQ(::fcntl(file.fd(), F_GETFL) & O_NONBLOCK, 0);
    EXPECT_NE(::fcntl(file.fd(), F_GETFD) & FD_CLOEXEC, 0);

    writeFile(path, std::string(7000, 'y'));  // the size is the one taken at opening
    EXPECT_EQ(file.size(), 5000);

    SourceFile moved(std::move(file));
    EXPECT_LT(file.fd(), 0);
    EXPECT_GE(moved.fd(), 0);
    moved.close();
    EXPECT_LT(moved.fd(), 0);
}

TEST(SourceFileTest, RefusesWhatIsNotAPlainSingleLinkedFile) {
    TempDir dir;
    const std::string image = dir.file("disk.img");
    writeFile(image, "data");

    ASSERT_EQ(::symlink(image.c_str(), dir.file("link.img").c_str()), 0);
    EXPECT_EQ(failure(dir.file("link.img"), std::nullopt), kCannotOpen);
    EXPECT_EQ(failure(dir.file("link.img"), std::nullopt, true), kCannotOpen);
    EXPECT_EQ(failure(dir.file("missing.img"), std::nullopt), kCannotOpen);

    EXPECT_EQ(failure(dir.path(), std::nullopt), kRefused);  // a directory opens, then fails

    ASSERT_EQ(::mkfifo(dir.file("pipe.img").c_str(), 0600), 0);
    EXPECT_EQ(failure(dir.file("pipe.img"), std::nullopt), kRefused);  // and does not hang

    ASSERT_EQ(::link(image.c_str(), dir.file("second.img").c_str()), 0);
    EXPECT_EQ(failure(image, std::nullopt), kRefused);
    ASSERT_EQ(::unlink(dir.file("second.img").c_str()), 0);
    EXPECT_EQ(failure(image, std::nullopt), "opened");
}

TEST(SourceFileTest, OwnerMustMatchWhenGiven) {
    TempDir dir;
    const std::string image = dir.file("disk.img");
    writeFile(image, "data");
    EXPECT_EQ(failure(image, ::getuid()), "opened");
    EXPECT_EQ(failure(image, ::getuid() + 1), kRefused);

    if (testing::isRoot()) {
        ASSERT_EQ(::chown(image.c_str(), 4242, 4242), 0);
        EXPECT_EQ(failure(image, 0u), kRefused);
        EXPECT_EQ(failure(image, 4242u), "opened");
        EXPECT_EQ(failure(image, std::nullopt), "opened");
    }
}

TEST(SourceFileTest, LocksAreSharedForReadingAndExclusiveForWriting) {
    TempDir dir;
    const std::string image = dir.file("disk.img");
    writeFile(image, "data");
    {
        SourceFile first(image, ::getuid(), false);
        SourceFile second(image, ::getuid(), false);  // two readers together
        EXPECT_EQ(failure(image, ::getuid(), true), kRefused);
    }
    {
        SourceFile writer(image, ::getuid(), true);
        EXPECT_EQ(failure(image, ::getuid(), false), kRefused);
    }
    EXPECT_EQ(failure(image, ::getuid(), true), "opened");  // released with the descriptor
    {
        LockingChild child(image);
        EXPECT_EQ(failure(image, ::getuid(), false), kRefused);
        EXPECT_EQ(failure(image, ::getuid(), true), kRefused);
    }
    EXPECT_EQ(failure(image, ::getuid(), false), "opened");
}

TEST(SourceFileTest, WritableOpeningCreatesAPrivateFile) {
    TempDir dir;
    const std::string path = dir.file("download.part");
    {
        SourceFile file(path, ::getuid(), true);
        EXPECT_EQ(file.size(), 0);
        EXPECT_EQ(::write(file.fd(), "abc", 3), 3);
    }
    struct stat status {};
    ASSERT_EQ(::stat(path.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u);
    EXPECT_EQ(testing::readFile(path), "abc");
    EXPECT_EQ(SourceFile(path, ::getuid(), true).size(), 3);  // an existing file is kept
}

}  // namespace
}  // namespace korvex
