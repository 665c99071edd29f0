// The vfio-user wire format as orvex-vfio-user speaks it: the message header, the commands, and
// the byte layout of each payload (offsets from the end of the header).
//
// The protocol puts every field in the host's byte order. The fields are read and written with
// memcpy at their offsets, never through a cast structure; the values are taken as little-endian
// hosts lay them out, which is what every host the simulator runs on is (checked below).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace vfio_user {

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the wire fields are little-endian");

// --- header ---------------------------------------------------------------------------------------

inline constexpr size_t HEADER_SIZE = 16;
// Offsets in the header.
inline constexpr size_t HDR_ID = 0, HDR_COMMAND = 2, HDR_SIZE = 4, HDR_FLAGS = 8, HDR_ERROR = 12;

// Header flags: the type in the low four bits, then no-reply and error.
inline constexpr uint32_t FLAG_TYPE_MASK = 0xF;
inline constexpr uint32_t TYPE_COMMAND = 0x0;
inline constexpr uint32_t TYPE_REPLY = 0x1;
inline constexpr uint32_t FLAG_NO_REPLY = 0x10;
inline constexpr uint32_t FLAG_ERROR = 0x20;

struct Header {
    uint16_t id = 0;
    uint16_t command = 0;
    uint32_t size = 0;  // the whole message, header included
    uint32_t flags = 0;
    uint32_t error = 0;  // an errno, in an error reply
};

// --- commands ------------------------------------------------------------------------------------

enum Command : uint16_t {
    VERSION = 1,
    DMA_MAP = 2,
    DMA_UNMAP = 3,
    DEVICE_GET_INFO = 4,
    DEVICE_GET_REGION_INFO = 5,
    DEVICE_GET_REGION_IO_FDS = 6,
    DEVICE_GET_IRQ_INFO = 7,
    DEVICE_SET_IRQS = 8,
    REGION_READ = 9,
    REGION_WRITE = 10,
    DMA_READ = 11,  // server to client; never sent by this server
    DMA_WRITE = 12,
    DEVICE_RESET = 13,
    REGION_WRITE_MULTI = 15,  // only if the server offers write_multiple, which this one does not
    DEVICE_FEATURE = 16,
};

// VERSION: major, minor, then optional JSON text with its terminating NUL.
inline constexpr size_t VERSION_MAJOR = 0, VERSION_MINOR = 2, VERSION_SIZE = 4;
inline constexpr uint16_t MAJOR = 0, MINOR = 1;

// DMA_MAP: argsz, flags, offset in the fd, DMA address, size.
inline constexpr size_t DMA_MAP_SIZE = 32;
inline constexpr size_t MAP_FLAGS = 4;
inline constexpr uint32_t MAP_READ = 1u << 0, MAP_WRITE = 1u << 1;

// DMA_UNMAP: argsz, flags, DMA address, size; the reply gives the same back.
inline constexpr size_t DMA_UNMAP_SIZE = 24;
inline constexpr size_t UNMAP_FLAGS = 4;
inline constexpr uint32_t UNMAP_ALL = 1u << 1;

// DEVICE_GET_INFO: argsz, flags, num_regions, num_irqs.
inline constexpr size_t DEVICE_INFO_SIZE = 16;
inline constexpr uint32_t DEVICE_FLAGS_RESET = 1u << 0, DEVICE_FLAGS_PCI = 1u << 1;

// DEVICE_GET_REGION_INFO: argsz, flags, index, cap_offset, size (8), offset (8).
inline constexpr size_t REGION_INFO_SIZE = 32;
inline constexpr size_t RI_ARGSZ = 0, RI_FLAGS = 4, RI_INDEX = 8, RI_CAP_OFFSET = 12, RI_SIZE = 16,
                        RI_OFFSET = 24;
inline constexpr uint32_t REGION_READABLE = 1u << 0, REGION_WRITABLE = 1u << 1;

// The regions of a PCI function: six BARs, the expansion ROM, configuration space, VGA.
inline constexpr uint32_t BAR0_REGION = 0, ROM_REGION = 6, CONFIG_REGION = 7, VGA_REGION = 8;
inline constexpr uint32_t NUM_REGIONS = 9;

// DEVICE_GET_IRQ_INFO: argsz, flags, index, count.
inline constexpr size_t IRQ_INFO_SIZE = 16;
inline constexpr uint32_t IRQ_EVENTFD = 1u << 0, IRQ_MASKABLE = 1u << 1, IRQ_AUTOMASKED = 1u << 2,
                          IRQ_NORESIZE = 1u << 3;
// The interrupt types of a PCI function: INTx, MSI, MSI-X, error, request.
inline constexpr uint32_t INTX_IRQ = 0, MSI_IRQ = 1, MSIX_IRQ = 2;
inline constexpr uint32_t NUM_IRQS = 5;

// DEVICE_SET_IRQS: argsz, flags, index, start, count, then data.
inline constexpr size_t SET_IRQS_SIZE = 20;
inline constexpr size_t SI_FLAGS = 4, SI_INDEX = 8, SI_START = 12, SI_COUNT = 16;
inline constexpr uint32_t SET_DATA_NONE = 1u << 0, SET_DATA_BOOL = 1u << 1,
                          SET_DATA_EVENTFD = 1u << 2;
inline constexpr uint32_t SET_ACTION_MASK = 1u << 3, SET_ACTION_UNMASK = 1u << 4,
                          SET_ACTION_TRIGGER = 1u << 5;

// REGION_READ and REGION_WRITE: offset (8), region, count; then the data (a read's reply, a write).
inline constexpr size_t REGION_RW_SIZE = 16;
inline constexpr size_t RW_OFFSET = 0, RW_REGION = 8, RW_COUNT = 12;

// --- field access --------------------------------------------------------------------------------

template <class T>
T get(const uint8_t *p)
{
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

template <class T>
void put(uint8_t *p, T v)
{
    std::memcpy(p, &v, sizeof v);
}

inline Header get_header(const uint8_t *p)
{
    Header h;
    h.id = get<uint16_t>(p + HDR_ID);
    h.command = get<uint16_t>(p + HDR_COMMAND);
    h.size = get<uint32_t>(p + HDR_SIZE);
    h.flags = get<uint32_t>(p + HDR_FLAGS);
    h.error = get<uint32_t>(p + HDR_ERROR);
    return h;
}

inline void put_header(uint8_t *p, const Header &h)
{
    put(p + HDR_ID, h.id);
    put(p + HDR_COMMAND, h.command);
    put(p + HDR_SIZE, h.size);
    put(p + HDR_FLAGS, h.flags);
    put(p + HDR_ERROR, h.error);
}

}  // namespace vfio_user
