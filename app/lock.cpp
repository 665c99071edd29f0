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

// Only root may have made or changed it: owned by root, writable by no one else. A folder or file
// another user could make or change would let that user hold root's lock.
bool roots_alone(int fd)
{
    struct stat st;
    return fstat(fd, &st) == 0 && st.st_uid == 0 && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

enum { NO_LOCK = -1, UNTRUSTED = -2 };

// The controller's lock file, created when missing; NO_LOCK when there is no place for it, or
// UNTRUSTED when the folder or the file is not root's alone (the run must not take the lock there,
// nor go on without one). The folder and the file are made root's alone (0700, 0600) and links
// are not followed, so no other user can hold the lock, nor make root create or lock a file
// elsewhere.
int open_lock_file(pci_dev *dev)
{
    if (mkdir(lock_dir, 0700) != 0 && errno != EEXIST)
        return NO_LOCK;
    const int dir = open(lock_dir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dir < 0)
        return errno == ENOTDIR || errno == ELOOP ? UNTRUSTED : NO_LOCK;
    if (!roots_alone(dir)) {
        close(dir);
        return UNTRUSTED;
    }
    char name[NAME_MAX];
    std::snprintf(name, sizeof name, "%04x:%02x:%02x.%d.lock", unsigned(dev->domain),
                  unsigned(dev->bus), unsigned(dev->dev), int(dev->func));
    const int fd =
        openat(dir, name, O_RDONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    const int open_errno = errno;
    close(dir);
    if (fd < 0)  // a link or a folder in the file's place is not the lock
        return open_errno == ELOOP || open_errno == EISDIR ? UNTRUSTED : NO_LOCK;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || !roots_alone(fd)) {
        close(fd);
        return UNTRUSTED;
    }
    return fd;
}

}  // namespace

// The lock is an flock on a file of the controller's own: runs on other controllers never wait
// for it. The descriptor stays open until the process ends, and the kernel drops the lock then
// however the run ends, so it cannot go stale. Only a run as root takes it: any other run cannot
// write configuration space, so it cannot disturb a run that holds the lock, and a folder it made
// where /run lets everyone create one would be another user's. A root run that cannot make the
// folder (no /run) goes on without the lock; one that finds a folder or file in the lock's place
// that another user made or may change stops before it touches the controller.
int orvex_lock_device(pci_dev *dev)
{
    if (!lock_dir || geteuid() != 0)
        return RES_OK;
    const int fd = open_lock_file(dev);
    if (fd == UNTRUSTED) {
        std::printf("* %s is not root's alone - remove it, then run again\n", lock_dir);
        return RES_BUSY;
    }
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
