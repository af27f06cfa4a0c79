#include "core/native/native.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "tests/test_support.hpp"

namespace korvex {
namespace {

// Catches what is at the path replaced, an abstract or cut-short socket, a descriptor left open, a
// path cut short at the longest length, an end a child program inherits, a wrong peer.
TEST(NativeSocket, RefusesWithoutLeavingAnythingAndMeetsAtTheLongestPath) {
    testing::TempDir dir;
    const auto ofLength = [&](std::size_t length) {
        return dir.path() + "/" + std::string(length - dir.path().size() - 1, 's');
    };
    const int openBefore = testing::openDescriptorCount();
    const std::string tooLong = ofLength(KVI_MAX_SOCKET_PATH + 1);
    EXPECT_EQ(kvi_unix_listener(tooLong.c_str()), -1);
    EXPECT_EQ(kvi_unix_connect(tooLong.c_str()), -1);
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
    EXPECT_EQ(kvi_unix_listener(""), -1);
    EXPECT_EQ(kvi_unix_listener(nullptr), -1);
    const std::string taken = dir.file("taken"), stale = dir.file("stale");
    testing::writeFile(taken, "keep me");
    close(kvi_unix_listener(stale.c_str()));
    for (const std::string& path : {taken, stale}) {
        EXPECT_EQ(kvi_unix_listener(path.c_str()), -1) << path;
        EXPECT_EQ(kvi_unix_connect(path.c_str()), -1) << path;  // nobody listens
    }
    EXPECT_EQ(kvi_unix_connect(dir.file("nothing").c_str()), -1);
    EXPECT_EQ(testing::readFile(taken), "keep me");
    EXPECT_TRUE(std::filesystem::is_socket(stale));
    EXPECT_EQ(testing::openDescriptorCount(), openBefore);

    const std::string path = ofLength(KVI_MAX_SOCKET_PATH);
    const UniqueFd listener(kvi_unix_listener(path.c_str())),
        client(kvi_unix_connect(path.c_str())), server(accept(listener.get(), nullptr, nullptr));
    ASSERT_GE(server.get(), 0);
    EXPECT_TRUE(std::filesystem::is_socket(path));
    for (const int end : {listener.get(), client.get()})
        EXPECT_EQ(fcntl(end, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
    for (const int end : {client.get(), server.get()}) {
        std::uint32_t uid = 4242;
        EXPECT_EQ(kvi_peer_uid(end, &uid), 1);
        EXPECT_EQ(uid, geteuid());
    }
}

// Catches a peer or a geometry reported for what has none, and out-values written on failure.
TEST(Native, DescriptorsWithoutAPeerOrGeometryLeaveTheValues) {
    testing::TempDir dir;
    testing::writeFile(dir.file("plain"), "data");
    const Pipe pipe = makePipe();
    const UniqueFd regular = testing::openOrThrow(dir.file("plain"), O_RDONLY),
                   null = testing::openOrThrow("/dev/null", O_RDONLY),  // a character device
        unconnected(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)),
                   listener(kvi_unix_listener(dir.file("s").c_str())),
                   tcp(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    for (const int fd : {regular.get(), pipe.readEnd.get(), null.get(), unconnected.get(),
                         listener.get(), tcp.get(), -1}) {
        std::uint32_t uid = 777, blockSize = 0;
        std::uint64_t total = 99;
        EXPECT_EQ(kvi_peer_uid(fd, &uid), 0) << fd;
        EXPECT_EQ(kvi_geometry(fd, &blockSize, &total), 0) << fd;
        EXPECT_TRUE(uid == 777u && total == 99u) << fd;
    }
}

}  // namespace
}  // namespace korvex
