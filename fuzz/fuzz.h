// SPDX-License-Identifier: MIT
// What the fuzz targets share beyond tests/common.h: a check, and standard output kept in memory.
#pragma once

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/mman.h>
#include <unistd.h>

#include "app/app.h"
#include "tests/common.h"

// Unless `ok`, prints what went wrong and aborts, so libFuzzer keeps the input.
#define CHECK(ok, ...)                                                                             \
    ((ok) ? void()                                                                                 \
          : (std::fprintf(stderr, "orvex-fuzz: " __VA_ARGS__), std::fputc('\n', stderr),           \
             std::abort()))

// Standard output goes to a memory file for the whole session (libFuzzer writes to standard
// error). What was printed since the last call:
inline std::string take_stdout()
{
    static const int fd = dup2(memfd_create("stdout", 0), STDOUT_FILENO);
    std::fflush(stdout);
    std::string text = fd_text(fd);
    CHECK(fd >= 0 && ftruncate(fd, 0) == 0 && lseek(fd, 0, SEEK_SET) == 0, "cannot capture output");
    return text;
}
