// SPDX-License-Identifier: MIT
// libpci, for C++: Debian's <pci/pci.h> has no extern "C" guard of its own.
#pragma once

extern "C" {
#include <pci/pci.h>
}
