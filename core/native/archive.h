/* The flat interface of the archive image reader: a raw image, a GZip-, XZ- or Zstandard-compressed
 * image, or a ZIP archive holding one image, presented as one stream of expanded bytes.
 *
 * Calling order: kvi_archive_open, then kvi_archive_read until it returns 0 (or fails), then
 * kvi_archive_finish, and kvi_archive_close on every path. The descriptor stays owned by the
 * caller; reading starts at its current offset, so rewind it first.
 *
 * Every function that can fail writes a NUL-terminated message into `error` (truncated to
 * `error_size` bytes; nothing is written when `error_size` is 0) and only when it fails. No
 * exception ever leaves these functions. A handle is used by one thread at a time.
 */
#ifndef KORVEX_CORE_NATIVE_ARCHIVE_H
#define KORVEX_CORE_NATIVE_ARCHIVE_H

#include <stddef.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Opaque: a heap-allocated reader. */
typedef struct kvi_archive kvi_archive;

/* Opens a reader on `fd` positioned at the payload's first byte; null on failure. */
kvi_archive* kvi_archive_open(int fd, char* error, size_t error_size);

/* Reads up to `size` expanded bytes into `buffer`: > 0 bytes read, 0 at the end of the payload,
 * negative on failure. */
ssize_t kvi_archive_read(kvi_archive* handle, void* buffer, size_t size, char* error,
                         size_t error_size);

/* After the payload's end: 1 when the archive holds nothing else that counts, 0 otherwise. */
int kvi_archive_finish(kvi_archive* handle, char* error, size_t error_size);

/* Destroys the reader (null allowed). Does not close the descriptor. */
void kvi_archive_close(kvi_archive* handle);

#ifdef __cplusplus
}
#endif

#endif
