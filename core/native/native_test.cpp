#include "core/native/native.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "tests/test_support.hpp"

namespace korvex {
namespace {

using korvex::testing::LoopDevice;
using korvex::testing::openDescriptorCount;
using korvex::testing::readFile;
using korvex::testing::TempDir;
using korvex::testing::writeFile;

// A path of exactly `length` bytes inside `dir`.
std::string pathOfLength(const TempDir& dir, std::size_t length) {
    const std::string base = dir.path() + "/";
    EXPECT_LT(base.size(), length) << "the temporary folder's path is too long for this test";
    return base + std::string(length - base.size(), 's');
}

bool exists(const std::string& path) {
    struct stat status;
    return lstat(path.c_str(), &status) == 0;
}

TEST(NativeSocket, ListenerAndConnectorMeetAtTheLongestPath) {
    TempDir dir;
    const std::string path = pathOfLength(dir, 103);
    const int listener = kvi_unix_listener(path.c_str());
    ASSERT_GE(listener, 0);
    EXPECT_EQ(fcntl(listener, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);

    const int client = kvi_unix_connect(path.c_str());
    ASSERT_GE(client, 0);
    EXPECT_EQ(fcntl(client, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
    const int server = accept(listener, nullptr, nullptr);
    ASSERT_GE(server, 0);
    ASSERT_EQ(send(client, "ping\n", 5, MSG_NOSIGNAL), 5);
    char received[5];
    ASSERT_EQ(recv(server, received, sizeof received, MSG_WAITALL), 5);
    EXPECT_EQ(std::string(received, 5), "ping\n");

    std::uint32_t uid = 4242;
    EXPECT_EQ(kvi_peer_uid(server, &uid), 1);
    EXPECT_EQ(uid, geteuid());
    uid = 4242;
    EXPECT_EQ(kvi_peer_uid(client, &uid), 1);
    EXPECT_EQ(uid, geteuid());

    close(server);
    close(client);
    close(listener);
}

TEST(NativeSocket, RefusesWithoutCreatingOrLeavingAnything) {
    TempDir dir;
    const int openBefore = openDescriptorCount();

    // One byte too long: nothing is created, for either face.
    const std::string tooLong = pathOfLength(dir, 104);
    EXPECT_EQ(kvi_unix_listener(tooLong.c_str()), -1);
    EXPECT_FALSE(exists(tooLong));
    EXPECT_EQ(kvi_unix_connect(tooLong.c_str()), -1);

    // Empty would be an abstract socket on Linux, reachable from anywhere.
    EXPECT_EQ(kvi_unix_listener(""), -1);
    EXPECT_EQ(kvi_unix_listener(nullptr), -1);

    // Something already at the path stays as it was.
    const std::string taken = dir.file("taken");
    writeFile(taken, "keep me");
    EXPECT_EQ(kvi_unix_listener(taken.c_str()), -1);
    EXPECT_EQ(readFile(taken), "keep me");

    // So does a stale socket file left by an earlier listener; and nobody listens there.
    const std::string stale = dir.file("stale");
    const int first = kvi_unix_listener(stale.c_str());
    ASSERT_GE(first, 0);
    close(first);
    EXPECT_EQ(kvi_unix_listener(stale.c_str()), -1);
    EXPECT_TRUE(exists(stale));
    EXPECT_EQ(kvi_unix_connect(stale.c_str()), -1);
    EXPECT_EQ(kvi_unix_connect(dir.file("nothing").c_str()), -1);
    EXPECT_EQ(kvi_unix_connect(taken.c_str()), -1);

    EXPECT_EQ(openDescriptorCount(), openBefore);
}

TEST(NativeSocket, PeerUidNamesAnotherUser) {
    KVI_REQUIRE_ROOT();
    constexpr uid_t kNobody = 65534;
    TempDir dir;
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    const std::string path = dir.file("s");
    const int listener = kvi_unix_listener(path.c_str());
    ASSERT_GE(listener, 0);
    ASSERT_EQ(chmod(path.c_str(), 0777), 0);

    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (setgid(kNobody) != 0 || setuid(kNobody) != 0) _exit(2);
        _exit(kvi_unix_connect(path.c_str()) >= 0 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;

    // The connection waits in the backlog; the kernel kept the peer's credentials from connect.
    const int server = accept(listener, nullptr, nullptr);
    ASSERT_GE(server, 0);
    std::uint32_t uid = 0;
    EXPECT_EQ(kvi_peer_uid(server, &uid), 1);
    EXPECT_EQ(uid, kNobody);
    close(server);
    close(listener);
}

TEST(NativeSocket, PeerUidWithoutAPeerLeavesTheValue) {
    TempDir dir;
    const std::string file = dir.file("plain");
    writeFile(file, "x");
    const int regular = open(file.c_str(), O_RDONLY | O_CLOEXEC);
    int pipeEnds[2];
    ASSERT_EQ(pipe(pipeEnds), 0);
    const int unconnected = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int listener = kvi_unix_listener(dir.file("s").c_str());
    const int tcp = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);

    for (int fd : {regular, pipeEnds[0], unconnected, listener, tcp, -1}) {
        std::uint32_t uid = 777;
        EXPECT_EQ(kvi_peer_uid(fd, &uid), 0) << "descriptor " << fd;
        EXPECT_EQ(uid, 777u) << "descriptor " << fd;
    }
    for (int fd : {regular, pipeEnds[0], pipeEnds[1], unconnected, listener, tcp}) close(fd);
}

TEST(NativeSafeTarget, EveryConditionIsRequired) {
    EXPECT_EQ(kvi_safe_target(1, 0, 1, 1, 1), 1);
    EXPECT_EQ(kvi_safe_target(-3, 0, 7, 2, UINT64_MAX), 1);
    EXPECT_EQ(kvi_safe_target(0, 0, 1, 1, 1), 0);
    EXPECT_EQ(kvi_safe_target(1, 1, 1, 1, 1), 0);
    EXPECT_EQ(kvi_safe_target(1, -1, 1, 1, 1), 0);
    EXPECT_EQ(kvi_safe_target(1, 0, 0, 1, 1), 0);
    EXPECT_EQ(kvi_safe_target(1, 0, 1, 0, 1), 0);
    EXPECT_EQ(kvi_safe_target(1, 0, 1, 1, 0), 0);
}

TEST(NativeGeometry, ReadsLoopDevicesOfBothSectorSizes) {
    KVI_REQUIRE_ROOT();
    TempDir dir;
    const std::string backing = dir.file("disk.img");
    constexpr std::uint64_t kBytes = 8 << 20;
    writeFile(backing, std::string(kBytes, '\0'));
    for (unsigned sector : {512u, 4096u}) {
        LoopDevice loop(backing, sector);
        const int fd = open(loop.path().c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0) << loop.path();
        std::uint32_t blockSize = 0;
        std::uint64_t total = 0;
        EXPECT_EQ(kvi_geometry(fd, &blockSize, &total), 1) << loop.path();
        EXPECT_EQ(blockSize, sector);
        EXPECT_EQ(total, kBytes);
        close(fd);
    }
}

TEST(NativeGeometry, RefusesWhatIsNotABlockDevice) {
    TempDir dir;
    const std::string file = dir.file("disk.img");
    writeFile(file, std::string(1 << 20, '\0'));
    const int regular = open(file.c_str(), O_RDONLY | O_CLOEXEC);
    int pipeEnds[2];
    ASSERT_EQ(pipe(pipeEnds), 0);
    const int null = open("/dev/null", O_RDONLY | O_CLOEXEC);  // a character device
    for (int fd : {regular, pipeEnds[0], null, -1}) {
        std::uint32_t blockSize = 0;
        std::uint64_t total = 99;
        EXPECT_EQ(kvi_geometry(fd, &blockSize, &total), 0) << "descriptor " << fd;
        EXPECT_EQ(total, 99u);
    }
    for (int fd : {regular, pipeEnds[0], pipeEnds[1], null}) close(fd);
}

}  // namespace
}  // namespace korvex
