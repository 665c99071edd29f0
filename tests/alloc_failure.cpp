// The test binary is linked with --wrap for alloc_buffer, so every buffer the tool allocates
// comes through here first.
#include "tests/alloc_failure.h"

#include "image/image.h"

byte_buffer real_alloc_buffer(uint32_t len) asm("__real__Z12alloc_bufferj");
byte_buffer wrapped_alloc_buffer(uint32_t len) asm("__wrap__Z12alloc_bufferj");

namespace {
int countdown = 0;
}

void fail_allocation(int n)
{
    countdown = n;
}

byte_buffer wrapped_alloc_buffer(uint32_t len)
{
    if (countdown > 0 && --countdown == 0)
        return nullptr;
    return real_alloc_buffer(len);
}
