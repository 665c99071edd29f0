// SPDX-License-Identifier: MIT
// The settings of one run, filled in from the command line.
#pragma once

#include <cstdint>

enum orvex_op { OP_NONE = 0, OP_READ = 1, OP_WRITE = 2, OP_VERIFY = 3 };

extern orvex_op op;
extern const char *op_file;  // image file name as typed, or null
extern uint32_t offset;      // EEPROM byte address the operation starts at
