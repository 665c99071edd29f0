#include <new>

#include "image/image.h"

// nothrow, so an allocation failure reaches the caller, which says so and gives up cleanly.
byte_buffer alloc_buffer(uint32_t len)
{
    return byte_buffer(new (std::nothrow) uint8_t[len]);
}
