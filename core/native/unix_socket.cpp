// The channel's local socket: both faces of one routine, so the listener and the connector build
// the same address the same way.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/native/native.h"

namespace {

static_assert(sizeof(sockaddr_un::sun_path) > KVI_MAX_SOCKET_PATH,
              "the path field must hold the longest path and its NUL");

int unixSocket(const char* path, bool listen) {
    // An empty path would name an abstract socket on Linux, outside every folder's protection.
    if (path == nullptr || path[0] == '\0') return -1;
    const std::size_t length = ::strnlen(path, KVI_MAX_SOCKET_PATH + 1);
    if (length > KVI_MAX_SOCKET_PATH) return -1;

    sockaddr_un address;
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path, length);  // the zero fill supplies the NUL

    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    const auto* generic = reinterpret_cast<const sockaddr*>(&address);
    const bool ok = listen ? ::bind(fd, generic, sizeof address) == 0 && ::listen(fd, 1) == 0
                           : ::connect(fd, generic, sizeof address) == 0;
    if (!ok) {
        const int saved = errno;  // for a caller that wants to log why
        ::close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

}  // namespace

extern "C" int kvi_unix_listener(const char* path) {
    return unixSocket(path, true);
}

extern "C" int kvi_unix_connect(const char* path) {
    return unixSocket(path, false);
}
