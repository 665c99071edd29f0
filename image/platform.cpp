// SPDX-License-Identifier: MIT
// The C library calls whose failures the tests must be able to provoke; the test binary links
// tests/fake_platform.cpp in place of this file.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

#include "image/image.h"

// A failed allocation reaches the caller as null, which says so and gives up cleanly.
byte_buffer alloc_buffer(uint32_t len)
{
    return byte_buffer(static_cast<uint8_t *>(std::malloc(len ? len : 1)));
}

int sync_file(FILE *f)
{
    return fsync(fileno(f));
}

int close_file(FILE *f)
{
    return std::fclose(f);
}

int create_temp(int folder, const char *name)
{
    return openat(folder, name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
}

// A new name is given without ever replacing what may have turned up there meanwhile: by an
// exclusive rename, or, on a file system that has none (9p, NFS before 4.x), by a hard link,
// which fails the same way, and then the removal of the old name.
int rename_file(int folder, const char *from, const char *to, bool keep_existing)
{
    if (!keep_existing)
        return renameat(folder, from, folder, to);
    if (renameat2(folder, from, folder, to, RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS)
        return -1;
    if (linkat(folder, from, folder, to, 0) != 0)
        return -1;
    unlinkat(folder, from, 0);
    return 0;
}

int sync_folder(int fd)
{
    return fsync(fd);
}
