// SPDX-License-Identifier: MIT
// Compiled into every program of a build for a target with 64-bit time_t and off_t (ORVEX_TIME64):
// built with other flags, they would not match the target's libraries.
#include <sys/types.h>

#include <ctime>

static_assert(sizeof(std::time_t) == 8, "built without 64-bit time_t (-D_TIME_BITS=64)");
static_assert(sizeof(off_t) == 8, "built without 64-bit off_t (-D_FILE_OFFSET_BITS=64)");
