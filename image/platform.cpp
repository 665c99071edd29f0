// SPDX-License-Identifier: MIT
// The C library calls whose failures the tests must be able to provoke; the test binary links
// tests/fake_platform.cpp in place of this file.
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

int create_temp(char *path_template)
{
    return mkostemp(path_template, O_CLOEXEC);
}

int sync_folder(int fd)
{
    return fsync(fd);
}
