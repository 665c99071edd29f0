// SPDX-License-Identifier: MIT
// The tool's allocation, syncs, close and temporary-file creation, each able to fail once on
// demand, or to be where the process is killed.
#include "tests/fake_platform.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <utility>
#include <stdio_ext.h>
#include <unistd.h>

#include "image/image.h"

namespace {

struct armed {
    int countdown = 0;
    int err = EIO;
    bool kills = false;
    std::function<void()> action;  // done instead of failing
};
armed calls[6];

// True when this call is the one to fail, with errno set; the process ends here if it is to be
// killed, and an action is done here instead of failing.
bool fails(platform_call call)
{
    armed &a = calls[static_cast<int>(call)];
    if (a.countdown <= 0 || --a.countdown != 0)
        return false;
    if (a.kills)
        raise(SIGKILL);
    if (a.action) {
        a.action();
        return false;
    }
    errno = a.err;
    return true;
}

}  // namespace

void fail_platform_call(platform_call call, int n, int err)
{
    calls[static_cast<int>(call)] = {n, err, false, {}};
}

void kill_at_platform_call(platform_call call, int n)
{
    calls[static_cast<int>(call)] = {n, EIO, true, {}};
}

void at_platform_call(platform_call call, int n, std::function<void()> action)
{
    calls[static_cast<int>(call)] = {n, EIO, false, std::move(action)};
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
    if (fails(platform_call::sync))
        return -1;
    return fsync(fileno(f));
}

// A failed fclose still closes the stream, as the real one does.
int close_file(FILE *f)
{
    const int r = std::fclose(f);
    if (fails(platform_call::close))
        return EOF;
    return r;
}

int create_temp(int folder, const char *name)
{
    if (fails(platform_call::create_temp))
        return -1;
    return openat(folder, name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
}

// A new name by a hard link, which cannot replace anything either: the way the tool takes on a
// file system without an exclusive rename. The system tests run the exclusive rename itself.
int rename_file(int folder, const char *from, const char *to, bool keep_existing)
{
    if (fails(platform_call::rename))
        return -1;
    if (!keep_existing)
        return renameat(folder, from, folder, to);
    if (linkat(folder, from, folder, to, 0) != 0)
        return -1;
    return unlinkat(folder, from, 0);
}

int sync_folder(int fd)
{
    if (fails(platform_call::sync_folder))
        return -1;
    return fsync(fd);
}
