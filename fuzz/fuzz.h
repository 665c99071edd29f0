// What the fuzz targets share beyond tests/common.h: checks, and standard output captured in
// process.
#pragma once

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
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
// error); capture_stdout() empties it, captured() returns what was printed since.
inline void capture_stdout()
{
    static const int fd = dup2(memfd_create("stdout", 0), STDOUT_FILENO);
    std::fflush(stdout);
    CHECK(fd >= 0 && ftruncate(fd, 0) == 0 && lseek(fd, 0, SEEK_SET) == 0, "cannot capture output");
}

inline std::string captured()
{
    std::fflush(stdout);
    return fd_text(STDOUT_FILENO);
}
