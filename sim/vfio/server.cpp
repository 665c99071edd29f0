// The messages of a vfio-user session, one function each, on one simulated ORVEX.
//
// How a client's region accesses reach the function: a REGION_READ or REGION_WRITE of
// configuration space is cut into naturally aligned pieces exactly as Linux cuts a read or write
// of a function's configuration space (sim::cfg_read_bytes), and each piece is one access on the
// bus. A 1-byte write at 0x43 is therefore one 1-byte write, a 4-byte access at 0x50, 0x78 or
// 0x7C one 4-byte access. A client's read of the whole header (QEMU reads it all when it attaches
// the device) does what `lspci -xxx` does on real hardware: its dword at 0x7C reads the internal
// register the window address selects. On this controller that read has no side effect (no
// register changes when read), so it disturbs nothing; it shows in the register log as the read
// it is.
#include "sim/vfio/server.h"

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <unistd.h>

namespace vfio_user {
namespace {

// The capabilities this server offers, a subset of what any client proposes: file descriptors
// it takes with one message, and the largest transfer. Nothing else (no migration, no coalesced
// writes).
constexpr char CAPABILITIES[] =
    "{\"capabilities\":{\"max_msg_fds\":8,\"max_data_xfer_size\":1048576}}";
static_assert(MAX_MSG_FDS == 8 && MAX_DATA_XFER == 1048576, "CAPABILITIES says these");

// A message as the handlers see it: its header, its payload and the descriptors that came along.
struct Request {
    Header hdr;
    const uint8_t *payload;
    size_t len;
    size_t n_fds;
};

using Payload = std::vector<uint8_t>;

void log_line(const Session &s, const Header &h, const char *fmt, va_list args)
{
    if (!s.log)
        return;
    std::fprintf(s.log, "orvex-vfio-user: message %u, command %u: ", h.id, h.command);
    std::vfprintf(s.log, fmt, args);
    std::fputc('\n', s.log);
    std::fflush(s.log);
}

// Logs why a message is refused and returns the errno its reply carries.
int fail(const Session &s, const Request &r, int error, const char *fmt, ...)
    __attribute__((format(printf, 4, 5)));
int fail(const Session &s, const Request &r, int error, const char *fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    log_line(s, r.hdr, fmt, args);
    va_end(args);
    return error;
}

int bus_errno(sim::Access a)
{
    return a == sim::Access::denied ? EPERM : EIO;
}

uint64_t region_size(uint32_t index)
{
    return index == CONFIG_REGION ? CONFIG_SIZE : 0;  // no BARs, no ROM, no VGA
}

Payload sized(size_t n)
{
    return Payload(n, 0);
}

// The opening of a request whose argsz is the room for its reply: the request's fixed `size`
// bytes are there, and argsz leaves room for a reply of as many. 0, or the errno of a refusal.
// The session is the handlers' own: a const one here has cppcheck ask the handlers for a const
// one, which the table of handlers cannot take.
// cppcheck-suppress constParameter
int fixed_part(Session &s, const Request &r, size_t size, const char *what)
{
    if (r.len < size)
        return fail(s, r, EINVAL, "%s of %zu bytes", what, r.len);
    const uint32_t argsz = get<uint32_t>(r.payload);
    if (argsz < size)
        return fail(s, r, EINVAL, "%s argsz %u, needs %zu", what, argsz, size);
    return 0;
}

// --- the messages --------------------------------------------------------------------------------

int version(Session &s, const Request &r, Payload &out)
{
    if (s.negotiated)
        return fail(s, r, EINVAL, "the version is agreed already");
    if (r.len < VERSION_SIZE)
        return fail(s, r, EINVAL, "version message of %zu bytes", r.len);
    const uint16_t major = get<uint16_t>(r.payload + VERSION_MAJOR);
    const uint16_t minor = get<uint16_t>(r.payload + VERSION_MINOR);
    if (major != MAJOR)
        return fail(s, r, ENOTSUP, "version %u.%u; this server speaks %u.%u", major, minor, MAJOR,
                    MINOR);
    if (r.len > VERSION_SIZE) {
        const char *json = reinterpret_cast<const char *>(r.payload + VERSION_SIZE);
        const size_t n = r.len - VERSION_SIZE;
        if (json[n - 1] != '\0' || std::strlen(json) != n - 1)
            return fail(s, r, EINVAL, "version data is not one NUL-terminated string");
        if (!valid_version_json(json, n - 1))
            return fail(s, r, EINVAL, "version data is not a capabilities object: %s", json);
    }
    out = sized(VERSION_SIZE + sizeof CAPABILITIES);
    put(out.data() + VERSION_MAJOR, MAJOR);
    put(out.data() + VERSION_MINOR, minor < MINOR ? minor : MINOR);
    std::memcpy(out.data() + VERSION_SIZE, CAPABILITIES, sizeof CAPABILITIES);
    s.negotiated = true;
    return 0;
}

// The function does no DMA, so a mapping is only acknowledged; a descriptor that came with it
// (memory the server could map) is closed with the message. Its argsz is the size of the entry
// (there is no reply payload), which must be in the message whole.
int dma_map(Session &s, const Request &r, Payload &)
{
    if (r.len < DMA_MAP_SIZE)
        return fail(s, r, EINVAL, "DMA map of %zu bytes", r.len);
    const uint32_t argsz = get<uint32_t>(r.payload);
    if (argsz < DMA_MAP_SIZE || argsz > r.len)
        return fail(s, r, EINVAL, "DMA map argsz %u in %zu bytes", argsz, r.len);
    const uint32_t flags = get<uint32_t>(r.payload + MAP_FLAGS);
    if (flags & ~(MAP_READ | MAP_WRITE))
        return fail(s, r, EINVAL, "DMA map flags %#x", flags);
    if (r.n_fds > 1)
        return fail(s, r, EINVAL, "DMA map with %zu file descriptors", r.n_fds);
    return 0;
}

// The reply is the entry, so argsz (the room the client has for it) must hold it.
int dma_unmap(Session &s, const Request &r, Payload &out)
{
    if (const int e = fixed_part(s, r, DMA_UNMAP_SIZE, "DMA unmap"))
        return e;
    const uint32_t flags = get<uint32_t>(r.payload + UNMAP_FLAGS);
    if (flags & ~UNMAP_ALL)
        return fail(s, r, EINVAL, "DMA unmap flags %#x (no dirty page bitmaps here)", flags);
    out.assign(r.payload, r.payload + DMA_UNMAP_SIZE);  // the entry, as given
    return 0;
}

int device_get_info(Session &s, const Request &r, Payload &out)
{
    if (const int e = fixed_part(s, r, DEVICE_INFO_SIZE, "device info request"))
        return e;
    out = sized(DEVICE_INFO_SIZE);
    put(out.data(), uint32_t(DEVICE_INFO_SIZE));
    put(out.data() + 4, DEVICE_FLAGS_PCI | DEVICE_FLAGS_RESET);
    put(out.data() + 8, NUM_REGIONS);
    put(out.data() + 12, NUM_IRQS);
    return 0;
}

// A region's fixed description. No region has capabilities, so the fixed part is all a client
// needs: argsz says so, whatever larger buffer the client offered. One too small for the fixed
// part is refused, as the ioctl refuses it.
int device_get_region_info(Session &s, const Request &r, Payload &out)
{
    if (const int e = fixed_part(s, r, REGION_INFO_SIZE, "region info request"))
        return e;
    const uint32_t index = get<uint32_t>(r.payload + RI_INDEX);
    if (index >= NUM_REGIONS)
        return fail(s, r, EINVAL, "no region %u", index);
    out = sized(REGION_INFO_SIZE);
    put(out.data() + RI_ARGSZ, uint32_t(REGION_INFO_SIZE));
    put(out.data() + RI_FLAGS, index == CONFIG_REGION ? REGION_READABLE | REGION_WRITABLE : 0u);
    put(out.data() + RI_INDEX, index);
    put(out.data() + RI_CAP_OFFSET, uint32_t(0));
    put(out.data() + RI_SIZE, region_size(index));
    put(out.data() + RI_OFFSET, uint64_t(0));
    return 0;
}

// Every interrupt type has none (the interrupt pin reads 0, there is no MSI or MSI-X capability);
// the flags say what the type could do, as Linux's vfio-pci reports them.
int device_get_irq_info(Session &s, const Request &r, Payload &out)
{
    if (const int e = fixed_part(s, r, IRQ_INFO_SIZE, "interrupt info request"))
        return e;
    const uint32_t index = get<uint32_t>(r.payload + 8);
    if (index >= NUM_IRQS)
        return fail(s, r, EINVAL, "no interrupt type %u", index);
    uint32_t flags = IRQ_EVENTFD;
    if (index == INTX_IRQ)
        flags |= IRQ_MASKABLE | IRQ_AUTOMASKED;
    else if (index != MSIX_IRQ)
        flags |= IRQ_NORESIZE;
    out = sized(IRQ_INFO_SIZE);
    put(out.data(), uint32_t(IRQ_INFO_SIZE));
    put(out.data() + 4, flags);
    put(out.data() + 8, index);
    put(out.data() + 12, uint32_t(0));
    return 0;
}

bool one_bit(uint32_t v)
{
    return v != 0 && (v & (v - 1)) == 0;
}

// With no interrupts, the only thing to set is nothing: start 0 and count 0, which disables
// all of a type (a no-op here). Anything naming an interrupt is refused.
int device_set_irqs(Session &s, const Request &r, Payload &)
{
    if (r.len < SET_IRQS_SIZE)
        return fail(s, r, EINVAL, "set interrupts request of %zu bytes", r.len);
    const uint32_t flags = get<uint32_t>(r.payload + SI_FLAGS);
    const uint32_t index = get<uint32_t>(r.payload + SI_INDEX);
    const uint32_t start = get<uint32_t>(r.payload + SI_START);
    const uint32_t count = get<uint32_t>(r.payload + SI_COUNT);
    const uint32_t data = flags & (SET_DATA_NONE | SET_DATA_BOOL | SET_DATA_EVENTFD);
    const uint32_t action = flags & (SET_ACTION_MASK | SET_ACTION_UNMASK | SET_ACTION_TRIGGER);
    if (index >= NUM_IRQS)
        return fail(s, r, EINVAL, "no interrupt type %u", index);
    if (!one_bit(data) || !one_bit(action) || (flags & ~(data | action)))
        return fail(s, r, EINVAL, "set interrupts flags %#x", flags);
    if (start != 0 || count != 0 || r.n_fds != 0)
        return fail(s, r, EINVAL, "interrupts %u+%u of type %u: the function has none", start,
                    count, index);
    return 0;
}

// Checks a region access's place; on success the access fits in the region.
int region_access(Session &s, const Request &r, uint32_t &region, uint64_t &offset, uint32_t &count)
{
    if (r.len < REGION_RW_SIZE)
        return fail(s, r, EINVAL, "region access of %zu bytes", r.len);
    offset = get<uint64_t>(r.payload + RW_OFFSET);
    region = get<uint32_t>(r.payload + RW_REGION);
    count = get<uint32_t>(r.payload + RW_COUNT);
    if (count > MAX_DATA_XFER)
        return fail(s, r, E2BIG, "region access of %u bytes", count);
    if (region >= NUM_REGIONS)
        return fail(s, r, EINVAL, "no region %u", region);
    const uint64_t size = region_size(region);
    if (offset > size || count > size - offset)
        return fail(s, r, EINVAL, "%u bytes at %#llx are past the end of region %u (%llu bytes)",
                    count, static_cast<unsigned long long>(offset), region,
                    static_cast<unsigned long long>(size));
    return 0;
}

// REGION_READ and REGION_WRITE: the place checked, then the transfer on the bus. The reply echoes
// the place; a read's data follows it.
int region_transfer(Session &s, const Request &r, Payload &out, bool write)
{
    uint32_t region = 0, count = 0;
    uint64_t offset = 0;
    if (const int e = region_access(s, r, region, offset, count))
        return e;
    if (write && r.len - REGION_RW_SIZE != count)
        return fail(s, r, EINVAL, "region write of %u bytes carries %zu", count,
                    r.len - REGION_RW_SIZE);
    out.assign(r.payload, r.payload + REGION_RW_SIZE);
    out.resize(REGION_RW_SIZE + (write ? 0 : count));
    const uint32_t at = uint32_t(offset);
    const sim::Access a =
        write ? sim::cfg_write_bytes(*s.bus, s.device, at, count, r.payload + REGION_RW_SIZE)
              : sim::cfg_read_bytes(*s.bus, s.device, at, count, out.data() + REGION_RW_SIZE);
    if (a != sim::Access::ok)
        return fail(s, r, bus_errno(a), "configuration %s at %#x failed", write ? "write" : "read",
                    at);
    return 0;
}

int region_read(Session &s, const Request &r, Payload &out)
{
    return region_transfer(s, r, out, false);
}

int region_write(Session &s, const Request &r, Payload &out)
{
    return region_transfer(s, r, out, true);
}

// A function-level reset of the controller (see sim::controller_function_reset).
int device_reset(Session &s, const Request &r, Payload &)
{
    if (r.len != 0)
        return fail(s, r, EINVAL, "reset with %zu bytes of payload", r.len);
    sim::controller_function_reset(s.bus->dev[s.device].ctrl);
    return 0;
}

struct Handler {
    uint16_t command;
    int (*handle)(Session &, const Request &, Payload &);
    bool takes_fds;
};

constexpr Handler HANDLERS[] = {
    {VERSION, version, false},
    {DMA_MAP, dma_map, true},
    {DMA_UNMAP, dma_unmap, false},
    {DEVICE_GET_INFO, device_get_info, false},
    {DEVICE_GET_REGION_INFO, device_get_region_info, false},
    {DEVICE_GET_IRQ_INFO, device_get_irq_info, false},
    {DEVICE_SET_IRQS, device_set_irqs, true},
    {REGION_READ, region_read, false},
    {REGION_WRITE, region_write, false},
    {DEVICE_RESET, device_reset, false},
};

// What a message asks for, checked: 0 and the reply's payload, or an errno.
int dispatch(Session &s, const Request &r, Payload &out)
{
    const uint32_t type = r.hdr.flags & FLAG_TYPE_MASK;
    if (type == TYPE_REPLY)
        return fail(s, r, EINVAL, "a reply, but this server sends no commands");
    if (type != TYPE_COMMAND)
        return fail(s, r, EINVAL, "message type %u", type);
    if (r.hdr.flags & FLAG_ERROR)  // it belongs to replies; a command with it is not one to run
        return fail(s, r, EINVAL, "a command with the error flag");
    for (const Handler &h : HANDLERS) {
        if (h.command != r.hdr.command)
            continue;
        if (!s.negotiated && h.command != VERSION)
            return fail(s, r, EINVAL, "no version agreed yet");
        if (r.n_fds && !h.takes_fds)
            return fail(s, r, EINVAL, "%zu unexpected file descriptors", r.n_fds);
        return h.handle(s, r, out);
    }
    return fail(s, r, ENOSYS, "unknown command");
}

Reply make_reply(const Header &request, int error, const Payload &payload)
{
    Reply reply;
    reply.send = true;
    reply.bytes.resize(HEADER_SIZE + (error ? 0 : payload.size()));
    Header h;
    h.id = request.id;
    h.command = request.command;
    h.size = uint32_t(reply.bytes.size());
    h.flags = TYPE_REPLY | (error ? FLAG_ERROR : 0);
    h.error = uint32_t(error);
    put_header(reply.bytes.data(), h);
    if (!error && !payload.empty())
        std::memcpy(reply.bytes.data() + HEADER_SIZE, payload.data(), payload.size());
    return reply;
}

}  // namespace

int first_orvex(const sim::Bus &bus)
{
    for (uint32_t i = 0; i < bus.n_devices && i < uint32_t(sim::MAX_DEVICES); ++i)
        if (bus.dev[i].is_orvex)
            return int(i);
    return -1;
}

Reply refuse(const Session &s, const Header &request, int error, const char *why)
{
    const Request r{request, nullptr, 0, 0};
    return make_reply(request, fail(s, r, error, "%s", why), {});
}

Reply handle_message(Session &s, const uint8_t *msg, size_t len, const int *fds, size_t n_fds)
{
    for (size_t i = 0; i < n_fds; ++i)
        close(fds[i]);  // nothing here keeps one
    if (len < HEADER_SIZE) {
        // What there is of the header still names the message, as far as it goes.
        uint8_t bytes[HEADER_SIZE] = {};
        if (len)  // an empty message may come without a buffer
            std::memcpy(bytes, msg, len);
        Header h = get_header(bytes);
        h.id = len >= HDR_COMMAND ? h.id : 0;
        h.command = len >= HDR_SIZE ? h.command : 0;
        return refuse(s, h, EINVAL, "header cut short");
    }
    const Header h = get_header(msg);
    const Request r{h, msg + HEADER_SIZE, len - HEADER_SIZE, n_fds};
    Payload out;
    int error = 0;
    if (h.size < HEADER_SIZE)
        error = fail(s, r, EINVAL, "size %u is smaller than the header", h.size);
    else if (h.size > MAX_MESSAGE)
        error = fail(s, r, E2BIG, "size %u is over the limit of %u", h.size, MAX_MESSAGE);
    else if (h.size != len)
        error = fail(s, r, EINVAL, "size %u, but the message has %zu bytes", h.size, len);
    else
        error = dispatch(s, r, out);
    const bool wants_reply =
        (h.flags & FLAG_TYPE_MASK) != TYPE_COMMAND || !(h.flags & FLAG_NO_REPLY);
    if (!wants_reply)
        return Reply{};
    return make_reply(h, error, out);
}

}  // namespace vfio_user
