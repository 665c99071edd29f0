// SPDX-License-Identifier: MIT
// Makes a chosen C library call of the tool fail, in the child that arms it.
#pragma once

enum class platform_call { alloc, sync, close };

// 0: none fails; n: the n-th such call from now on fails (a sync with `err` as its errno).
void fail_platform_call(platform_call call, int n, int err = 5 /* EIO */);
