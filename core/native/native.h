/* The flat native helpers: the channel's local socket on both sides, the peer's identity, the
 * last gate a drive passes before it may be written, and a raw disk's geometry.
 *
 * Plain C interface: integers, text pointers and out-parameters only. The functions hold no state,
 * allocate nothing, are reentrant and may be called from any thread. They report failure only by
 * their result (-1 for the socket functions, 0 for the others) and never let an exception out.
 * A returned descriptor belongs to the caller, and is close-on-exec.
 *
 * Linux has no per-socket switch that suppresses SIGPIPE, so these sockets do not carry one:
 * every send on them must pass MSG_NOSIGNAL, and both programs ignore SIGPIPE as well.
 */
#ifndef KORVEX_CORE_NATIVE_NATIVE_H
#define KORVEX_CORE_NATIVE_NATIVE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The longest socket path accepted, in bytes, without the terminating NUL. */
#define KVI_MAX_SOCKET_PATH 103

/* A local stream socket bound to `path` and listening with a backlog of 1, or -1. Fails (and
 * leaves the file alone) when something already exists at `path`; fails without creating
 * anything when `path` is longer than KVI_MAX_SOCKET_PATH bytes. Sets no permissions: the private
 * folder around the socket protects it. */
int kvi_unix_listener(const char* path);

/* A local stream socket connected to the listener at `path` (one attempt, no retry), or -1 with
 * nothing left open. */
int kvi_unix_connect(const char* path);

/* Stores the effective user id of the peer of the connected local socket `fd` in `*uid` and
 * returns 1; returns 0 and leaves `*uid` untouched when that cannot be learned. */
int kvi_peer_uid(int fd, uint32_t* uid);

/* 1 exactly when the protected disks are known (`protection_known` non-zero), this disk is not
 * one of them (`is_protected` zero), both further checks passed (non-zero) and `size` is not 0. */
int kvi_safe_target(int protection_known, int is_protected, int check_a, int check_b,
                    uint64_t size);

/* Reads the geometry of the block device open on `fd`: its logical sector size and the bytes of
 * its whole sectors (sector count times sector size). 1 with both stored; 0 when `fd` is not a
 * block device, the device reports a sector size of 0, or the product does not fit in 64 bits.
 * `*block_size` may be written even when the result is 0; use the values only after a 1. */
int kvi_geometry(int fd, uint32_t* block_size, uint64_t* total_bytes);

#ifdef __cplusplus
}
#endif

#endif /* KORVEX_CORE_NATIVE_NATIVE_H */
