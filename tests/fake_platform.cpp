// SPDX-License-Identifier: MIT
// The tool's allocation, sync and close, each able to fail once on demand.
#include "tests/fake_platform.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <stdio_ext.h>
#include <unistd.h>

#include "image/image.h"

namespace {

int countdown[3] = {};
int sync_errno = EIO;

bool fails(platform_call call)
{
    int &n = countdown[static_cast<int>(call)];
    return n > 0 && --n == 0;
}

}  // namespace

void fail_platform_call(platform_call call, int n, int err)
{
    countdown[static_cast<int>(call)] = n;
    if (call == platform_call::sync)
        sync_errno = err;
}

byte_buffer alloc_buffer(uint32_t len)
{
    if (fails(platform_call::alloc))
        return nullptr;
    return byte_buffer(static_cast<uint8_t *>(std::malloc(len ? len : 1)));
}

// What was written must have reached the kernel before it is synced; the tests expect nothing on
// standard error.
int sync_file(FILE *f)
{
    if (const size_t held = __fpending(f))
        std::fprintf(stderr, "sync_file: %zu bytes not yet flushed\n", held);
    if (fails(platform_call::sync)) {
        errno = sync_errno;
        return -1;
    }
    return fsync(fileno(f));
}

// A failed fclose still closes the stream, as the real one does.
int close_file(FILE *f)
{
    const int r = std::fclose(f);
    if (fails(platform_call::close)) {
        errno = EIO;
        return EOF;
    }
    return r;
}
