// SPDX-License-Identifier: MIT
// Holding the signals that would cut a write short.
#include <csignal>
#include <cstdio>

#include "image/image.h"

namespace {

sigset_t saved_mask;
bool held = false;

// Every signal whose default action ends or stops the process, less those that report a fault of
// the program itself (blocking them would hide a crash, or turn it into a hang). SIGKILL and
// SIGSTOP cannot be blocked; SIGCHLD, SIGCONT, SIGURG and SIGWINCH do nothing by default. The
// real-time signals are in the full set too. SIGPIPE among them means a reader that goes away
// mid-write makes output fail instead of killing the run; it takes effect after the result.
sigset_t write_signals()
{
    sigset_t set;
    sigfillset(&set);
    for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGTRAP, SIGSYS, SIGKILL, SIGSTOP,
                    SIGCHLD, SIGCONT, SIGURG, SIGWINCH})
        sigdelset(&set, sig);
    return set;
}

}  // namespace

void hold_signals()
{
    if (held)
        return;
    const sigset_t set = write_signals();
    sigprocmask(SIG_BLOCK, &set, &saved_mask);
    held = true;
}

void release_signals()
{
    std::fflush(stdout);
    if (!held)
        return;
    held = false;
    sigprocmask(SIG_SETMASK, &saved_mask, nullptr);
}
