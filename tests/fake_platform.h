// SPDX-License-Identifier: MIT
// Makes a chosen C library call of the tool fail, in the child that arms it.
#pragma once

#include <functional>

enum class platform_call { alloc, sync, close, create_temp, sync_folder, rename };

// 0: none fails; n: the n-th such call from now on fails (all but alloc with `err` as errno).
void fail_platform_call(platform_call call, int n, int err = 5 /* EIO */);
// The n-th such call from now on kills the process (SIGKILL) instead, as a user's kill -9 would.
void kill_at_platform_call(platform_call call, int n);
// The n-th such call from now on first does `action`, then goes on as usual: something done to
// the files at that very moment of the run.
void at_platform_call(platform_call call, int n, std::function<void()> action);
