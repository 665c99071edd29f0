// SPDX-License-Identifier: MIT
// orvex-replay: replays a recorded run's configuration-space accesses, and nothing else, on a
// device's config file: the floor any implementation of the same run faces on that path.
//
//   orvex-replay CONFIG LOG RESULT
//
// LOG is the output of `orvex-sim log` for a run on a bus with one device ("W 4 0x78 000400fc").
// Each access becomes one pread or pwrite of the same width at the same offset; after every status
// byte that reports the flash busy, it sleeps 100 microseconds as the tool's wait does. A status
// byte is recognised as a read of Rx_REG0 while the last word sent to Tx_REG0 was the read-status
// opcode 0x05. The log is read before the clock starts. RESULT gets one line: the time the accesses
// and sleeps took, their numbers, and how many values read differed from the recording.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace {

struct Access {
    char kind;
    unsigned width;
    unsigned offset;
    uint32_t value;
};

constexpr unsigned WINDOW_ADDR = 0x78;
constexpr unsigned WINDOW_DATA = 0x7C;
constexpr uint32_t TX = 0x400D0;
constexpr uint32_t RX = 0x400E0;
constexpr uint32_t READ_STATUS = 0x05;
constexpr uint32_t BUSY = 0x01;
constexpr unsigned POLL_SLEEP_US = 100;

double now()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

bool load(const char *path, std::vector<Access> &log)
{
    FILE *f = std::fopen(path, "r");
    if (!f)
        return false;
    char line[128];
    while (std::fgets(line, sizeof line, f)) {
        Access a{};
        if (std::sscanf(line, "%c %u 0x%x %x", &a.kind, &a.width, &a.offset, &a.value) != 4 ||
            (a.kind != 'R' && a.kind != 'W') || std::strstr(line, "failed") ||
            std::strstr(line, " dev ")) {
            std::fprintf(stderr, "orvex-replay: %s: cannot replay: %s", path, line);
            std::fclose(f);
            return false;
        }
        log.push_back(a);
    }
    std::fclose(f);
    return true;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: orvex-replay CONFIG LOG RESULT\n");
        return 2;
    }
    std::vector<Access> log;
    if (!load(argv[2], log)) {
        if (errno)
            std::perror(argv[2]);
        return 1;
    }
    const int fd = open(argv[1], O_RDWR);
    if (fd < 0) {
        std::perror(argv[1]);
        return 1;
    }
    uint64_t sleeps = 0, mismatches = 0, failures = 0;
    uint32_t window = 0, tx = 0;
    const double start = now();
    for (const Access &a : log) {
        uint32_t value = a.value;  // little-endian on the hosts this runs on, as config space is
        if (a.kind == 'W') {
            if (pwrite(fd, &value, a.width, a.offset) != static_cast<ssize_t>(a.width))
                failures++;
            if (a.offset == WINDOW_ADDR && a.width == 4)
                window = value;
            else if (a.offset == WINDOW_DATA && window == TX)
                tx = value;
            continue;
        }
        value = 0;
        if (pread(fd, &value, a.width, a.offset) != static_cast<ssize_t>(a.width))
            failures++;
        mismatches += value != a.value;
        if (a.offset == WINDOW_DATA && window == RX && tx == READ_STATUS && (value & BUSY)) {
            usleep(POLL_SLEEP_US);
            sleeps++;
        }
    }
    const double elapsed = now() - start;
    close(fd);
    FILE *f = std::fopen(argv[3], "w");
    if (!f) {
        std::perror(argv[3]);
        return 1;
    }
    std::fprintf(f, "replay_s=%.6f accesses=%zu sleeps=%llu mismatches=%llu failures=%llu\n",
                 elapsed, log.size(), static_cast<unsigned long long>(sleeps),
                 static_cast<unsigned long long>(mismatches),
                 static_cast<unsigned long long>(failures));
    std::fclose(f);
    return mismatches || failures ? 1 : 0;
}
