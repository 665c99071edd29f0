// SPDX-License-Identifier: MIT
// One run at a time on a controller: a second run's accesses through the register window would
// land in the middle of the first one's SPI commands and corrupt what it writes.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "app/app.h"

const char *lock_dir = "/run/orvex";

namespace {

bool try_lock(int fd)
{
    return flock(fd, LOCK_EX | LOCK_NB) == 0;
}

// The controller's lock file, created when missing, or -1 when it cannot be opened. The folder
// and the file are root's alone (0700, 0600) and links are not followed, so no other user can
// hold the lock, nor make root create or lock a file elsewhere.
int open_lock_file(pci_dev *dev)
{
    if (mkdir(lock_dir, 0700) != 0 && errno != EEXIST)
        return -1;
    const int dir = open(lock_dir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dir < 0)
        return -1;
    char name[NAME_MAX];
    std::snprintf(name, sizeof name, "%04x:%02x:%02x.%d.lock", unsigned(dev->domain),
                  unsigned(dev->bus), unsigned(dev->dev), int(dev->func));
    const int fd = openat(dir, name, O_RDONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    close(dir);
    return fd;
}

}  // namespace

// The lock is an flock on a file of the controller's own: runs on other controllers never wait
// for it. The descriptor stays open until the process ends, and the kernel drops the lock then
// however the run ends, so it cannot go stale. A run that cannot open the file (no root, no /run)
// goes on without it: without root it cannot write configuration space either, so it cannot
// disturb a run that holds the lock.
int orvex_lock_device(pci_dev *dev)
{
    if (!lock_dir)
        return RES_OK;
    const int fd = open_lock_file(dev);
    if (fd < 0 || try_lock(fd) || errno != EWOULDBLOCK)
        return RES_OK;

    std::printf("* waiting for another orvex run to finish\n");
    std::fflush(stdout);
    const int64_t start = orvex_clock_ns();
    while (orvex_clock_ns() - start < LOCK_WAIT_NS) {
        orvex_sleep_us(LOCK_POLL_INTERVAL_US);
        if (try_lock(fd))
            return RES_OK;
    }
    std::printf("* another orvex run is using the ORVEX\n");
    return RES_BUSY;
}
