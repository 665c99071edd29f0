// The coverage counters of the whole executable, for handing them over from a forked child.
#pragma once

#include <cstddef>
#include <cstdint>

namespace fuzz {

uint8_t *counters_begin();
size_t counters_size();

}  // namespace fuzz
