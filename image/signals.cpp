#include <csignal>
#include <cstdio>

#include "image/image.h"

namespace {

sigset_t saved_mask;
bool held = false;

}  // namespace

void hold_signals()
{
    if (held)
        return;
    sigset_t set;
    sigemptyset(&set);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
        sigaddset(&set, sig);
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
