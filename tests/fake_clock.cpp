// SPDX-License-Identifier: MIT
// A virtual clock for the status wait: sleeping advances time at once.
#include "spi/spi.h"

namespace {
int64_t now_ns = 0;
}

int64_t orvex_clock_ns()
{
    return now_ns;
}

void orvex_sleep_us(unsigned us)
{
    now_ns += static_cast<int64_t>(us) * 1000;
}
