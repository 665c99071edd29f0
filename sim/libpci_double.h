// SPDX-License-Identifier: MIT
// A stand-in for the part of libpci the tool uses, backed by the simulated bus.
//
// Linked statically into the unit tests (call attach() first), or preloaded into the real orvex
// binary as libpcisim.so, where pci_alloc maps the state file named by ORVEX_SIM_STATE.
#pragma once

#include "sim/bus.h"

namespace sim {

// Access handles allocated from now on use `bus` (null: back to ORVEX_SIM_STATE).
void attach(Bus *bus);

}  // namespace sim
