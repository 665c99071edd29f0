// One run at a time on a controller: a second run's accesses through the register window would
// land in the middle of the first one's SPI commands and corrupt what it writes.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <fcntl.h>
#include <sys/file.h>

#include "app/app.h"

namespace {

bool try_lock(int fd)
{
    return flock(fd, LOCK_EX | LOCK_NB) == 0;
}

}  // namespace

// The lock is an flock on the device's own configuration file in sysfs, the file libpci reads and
// writes: runs on other controllers never wait for it. The descriptor stays open until the
// process ends, and the kernel drops the lock then however the run ends, so it cannot go stale.
// Without such a file (no sysfs, another access method) the run goes on unlocked.
int orvex_lock_device(pci_access *acc, pci_dev *dev)
{
    char param[] = "sysfs.path";
    const char *sysfs = pci_get_param(acc, param);
    if (!sysfs)
        return RES_OK;
    char path[PATH_MAX];
    std::snprintf(path, sizeof path, "%s/devices/%04x:%02x:%02x.%d/config", sysfs,
                  unsigned(dev->domain), unsigned(dev->bus), unsigned(dev->dev), int(dev->func));
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
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
