// SPDX-License-Identifier: MIT
#include <ctime>
#include <unistd.h>

#include "spi/spi.h"

int64_t orvex_clock_ns()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

void orvex_sleep_us(unsigned us)
{
    usleep(us);
}
