// Who is at the other end of a connected local socket, from the kernel's record of the peer.
#include <sys/socket.h>

#include "core/native/native.h"

extern "C" int kvi_peer_uid(int fd, uint32_t* uid) {
    if (uid == nullptr) return 0;
    int domain = 0;
    socklen_t domainLength = sizeof domain;
    if (::getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &domainLength) != 0 || domain != AF_UNIX)
        return 0;
    // Linux answers for a listener with the listener's own credentials: that is no peer.
    int listening = 0;
    socklen_t listeningLength = sizeof listening;
    if (::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &listeningLength) != 0 ||
        listening != 0)
        return 0;
    ucred peer{};
    socklen_t peerLength = sizeof peer;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &peerLength) != 0 ||
        peerLength != sizeof peer)
        return 0;
    // A local socket that is not connected (or a listener) still answers, with pid 0 and the
    // ids -1: there is no peer to name.
    if (peer.pid == 0 || peer.uid == static_cast<uid_t>(-1)) return 0;
    *uid = peer.uid;
    return 1;
}
