// Where libFuzzer's inline 8-bit counters live. Compiled without coverage on purpose: in an
// instrumented file these declarations would clash with the ones the coverage pass makes itself,
// and the counters would never be registered with libFuzzer.
#include "fuzz/counters.h"

extern "C" {
extern uint8_t __start___sancov_cntrs[] __attribute__((weak, visibility("hidden")));
extern uint8_t __stop___sancov_cntrs[] __attribute__((weak, visibility("hidden")));
}

namespace fuzz {

uint8_t *counters_begin()
{
    return __start___sancov_cntrs;
}

size_t counters_size()
{
    return static_cast<size_t>(__stop___sancov_cntrs - __start___sancov_cntrs);
}

}  // namespace fuzz
