// The settings of one run, filled in from the command line.
#pragma once

#include <cstdint>

enum orvex_op { OP_NONE = 0, OP_READ = 1, OP_WRITE = 2, OP_VERIFY = 3 };

extern orvex_op op;
extern const char *op_file;  // image file name as typed, or null
extern uint32_t offset;      // EEPROM byte address the operation starts at
extern int verbose;          // 1: trace named register accesses

// Result codes shared by every layer: 0 success, 1 verify difference, negated errno values.
inline constexpr int RES_OK = 0;
inline constexpr int RES_DIFFERS = 1;
inline constexpr int RES_FAILED = -1;
inline constexpr int RES_NOMEM = -12;     // -ENOMEM
inline constexpr int RES_NODEV = -19;     // -ENODEV
inline constexpr int RES_INVALID = -22;   // -EINVAL
inline constexpr int RES_TIMEDOUT = -110; // -ETIMEDOUT
