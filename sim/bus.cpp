// SPDX-License-Identifier: MIT
// The bus as a whole: where its state lives, how a scenario is built, and what happens to a
// configuration-space access on its way to the device (faults, counting, logging).
#include "sim/bus.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sim {
namespace {

constexpr uint32_t DEFAULT_FW_VERSION = 0x00010203;
constexpr uint32_t ORVEX_CLASS = 0x0C0330;  // serial bus controller, USB, xHCI
constexpr uint32_t OTHER_CLASS = 0x060000;  // host bridge

void init_empty(Bus &bus)
{
    bus.magic = MAGIC;
    bus.size = sizeof(Bus);
}

void *map_bus(int fd)
{
    void *p = mmap(nullptr, sizeof(Bus), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_NORESERVE, fd, 0);
    return p == MAP_FAILED ? nullptr : p;
}

int add_device(Bus &bus, uint8_t bus_nr, uint8_t slot, uint8_t func, uint16_t vendor,
               uint16_t device, uint32_t class_code)
{
    if (bus.n_devices >= uint32_t(MAX_DEVICES))
        return -1;
    const int index = int(bus.n_devices++);
    Device &d = bus.dev[index];
    std::memset(static_cast<void *>(&d), 0, sizeof d);
    d.bus = bus_nr;
    d.slot = slot;
    d.func = func & 7;
    d.vendor = vendor;
    d.device = device;
    d.class_code = class_code & 0xFFFFFF;
    uint8_t *cfg = d.ctrl.cfg;
    cfg[0] = uint8_t(vendor);
    cfg[1] = uint8_t(vendor >> 8);
    cfg[2] = uint8_t(device);
    cfg[3] = uint8_t(device >> 8);
    cfg[0x09] = uint8_t(class_code);
    cfg[0x0A] = uint8_t(class_code >> 8);
    cfg[0x0B] = uint8_t(class_code >> 16);
    return index;
}

// Stops at the end of the string; false if anything is left over or nothing was there.
bool parse_u64(const std::string &s, int base, uint64_t &out)
{
    if (s.empty() || s[0] == '-' || s[0] == '+' || s[0] == ' ')
        return false;
    errno = 0;
    char *end = nullptr;
    out = std::strtoull(s.c_str(), &end, base);
    return errno == 0 && *end == '\0';
}

bool parse_u32(const std::string &s, int base, uint32_t max, uint32_t &out)
{
    uint64_t v = 0;
    if (!parse_u64(s, base, v) || v > max)
        return false;
    out = uint32_t(v);
    return true;
}

// Splits "a:b[:c...]" into exactly n fields.
bool split(const std::string &s, size_t n, std::string *fields)
{
    size_t start = 0;
    for (size_t i = 0; i < n; ++i) {
        const size_t colon = s.find(':', start);
        if ((colon == std::string::npos) != (i == n - 1))
            return false;
        fields[i] = s.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
        start = colon + 1;
    }
    return true;
}

void say(char *why, size_t why_len, const char *fmt, const std::string &word)
{
    if (why && why_len)
        std::snprintf(why, why_len, fmt, word.c_str());
}

// The options that apply to every ORVEX of a scenario.
struct DeviceOptions {
    bool id_set = false, never_idle = false, absent = false, flip = false, timing_set = false;
    uint8_t id[2] = {};
    uint32_t flip_addr = 0, flip_bit = 0;
    int fill = 0xFF;  // -1: pattern
    FlashTiming timing{};
};

uint8_t pattern_byte(uint32_t a)
{
    return uint8_t(a * 31 + (a >> 8) * 7 + (a >> 16));
}

}  // namespace

Bus *bus_create_shared()
{
    void *p = mmap(nullptr, sizeof(Bus), PROT_READ | PROT_WRITE,
                   MAP_SHARED | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p == MAP_FAILED) {
        std::perror("sim: mapping the bus");
        std::abort();
    }
    Bus *bus = static_cast<Bus *>(p);
    init_empty(*bus);
    return bus;
}

Bus *bus_map_file(const char *path, bool create)
{
    const int fd = create ? open(path, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644)
                          : open(path, O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    struct stat st {};
    if (create ? ftruncate(fd, off_t(sizeof(Bus))) != 0 : fstat(fd, &st) != 0) {
        const int e = errno;
        close(fd);
        errno = e;
        return nullptr;
    }
    if (!create && uint64_t(st.st_size) != sizeof(Bus)) {
        close(fd);
        errno = EINVAL;  // not a state file of this build
        return nullptr;
    }
    void *p = map_bus(fd);
    const int e = errno;
    close(fd);  // the mapping stays
    if (!p) {
        errno = e;
        return nullptr;
    }
    Bus *bus = static_cast<Bus *>(p);
    if (create) {
        init_empty(*bus);
    } else if (bus->magic != MAGIC || bus->size != sizeof(Bus)) {
        munmap(p, sizeof(Bus));
        errno = EINVAL;
        return nullptr;
    }
    return bus;
}

void bus_unmap(Bus *bus)
{
    if (bus)
        munmap(bus, sizeof(Bus));
}

int bus_add_orvex(Bus &bus, uint8_t bus_nr, uint8_t slot, uint8_t func, uint32_t fw_version,
                  uint8_t fill)
{
    const int index = add_device(bus, bus_nr, slot, func, ORVEX_VENDOR, ORVEX_DEVICE, ORVEX_CLASS);
    if (index < 0)
        return index;
    Device &d = bus.dev[index];
    d.is_orvex = 1;
    Controller &c = d.ctrl;
    for (int i = 0; i < 4; ++i)
        c.cfg[CONFIG_FW_VERSION + i] = uint8_t(fw_version >> (8 * i));
    controller_reset(c);
    std::memset(c.flash.mem, fill, FLASH_SIZE);
    c.flash.id[0] = 0xEF;  // the part the tool expects; restated, not taken from the tool
    c.flash.id[1] = 0x10;
    c.timing = flash_default_timing();
    return index;
}

int bus_add_other(Bus &bus, uint8_t bus_nr, uint8_t slot, uint8_t func, uint16_t vendor,
                  uint16_t device, uint32_t class_code)
{
    return add_device(bus, bus_nr, slot, func, vendor, device, class_code);
}

bool bus_parse_scenario(Bus &bus, const char *text, char *why, size_t why_len)
{
    DeviceOptions opt;
    const std::string all = text ? text : "";
    size_t pos = 0;
    while (true) {
        pos = all.find_first_not_of(" \t\n", pos);
        if (pos == std::string::npos)
            break;
        const size_t end = all.find_first_of(" \t\n", pos);
        const std::string word = all.substr(pos, end == std::string::npos ? end : end - pos);
        pos = end;
        const size_t eq = word.find('=');
        const std::string key = word.substr(0, eq);
        const std::string val = eq == std::string::npos ? "" : word.substr(eq + 1);
        const bool has_val = eq != std::string::npos;
        // Device n sits at 0000:(n+1):00.0, in the order of the words.
        const uint8_t next_bus = uint8_t(bus.n_devices + 1);
        std::string f[3];
        uint32_t a = 0, b = 0, c = 0;
        bool ok = true;
        if (key == "orvex") {
            uint32_t fw = DEFAULT_FW_VERSION;
            ok = (!has_val || parse_u32(val, 16, UINT32_MAX, fw)) &&
                 bus_add_orvex(bus, next_bus, 0, 0, fw) >= 0;
        } else if (key == "other" && has_val) {
            ok = split(val, 2, f) && parse_u32(f[0], 16, 0xFFFF, a) &&
                 parse_u32(f[1], 16, 0xFFFF, b) &&
                 bus_add_other(bus, next_bus, 0, 0, uint16_t(a), uint16_t(b), OTHER_CLASS) >= 0;
        } else if (word == "no-rights") {
            bus.no_rights = 1;
        } else if (word == "no-access") {
            bus.no_access = 1;
        } else if (key == "fail-after" && has_val) {
            ok = parse_u64(val, 10, bus.fail_after) && bus.fail_after > 0;
        } else if (key == "signal" && has_val) {
            ok = split(val, 2, f) && parse_u64(f[0], 10, bus.signal_at) &&
                 parse_u32(f[1], 10, 64, bus.signal_number) && bus.signal_at > 0;
        } else if (key == "id" && has_val) {
            ok = val.size() == 4 && parse_u32(val, 16, 0xFFFF, a);
            opt.id_set = true;
            opt.id[0] = uint8_t(a >> 8);
            opt.id[1] = uint8_t(a);
        } else if (word == "never-idle") {
            opt.never_idle = true;
        } else if (word == "no-flash") {
            opt.absent = true;
        } else if (key == "flip" && has_val) {
            ok = split(val, 2, f) && parse_u32(f[0], 0, FLASH_SIZE - 1, opt.flip_addr) &&
                 parse_u32(f[1], 10, 7, opt.flip_bit);
            opt.flip = true;
        } else if (key == "fill" && has_val) {
            opt.fill = val == "ff" ? 0xFF : val == "zero" ? 0x00 : val == "pattern" ? -1 : -2;
            ok = opt.fill != -2;
        } else if (key == "timing" && has_val) {
            ok = split(val, 3, f) && parse_u32(f[0], 10, UINT32_MAX, a) &&
                 parse_u32(f[1], 10, UINT32_MAX, b) && parse_u32(f[2], 10, UINT32_MAX, c);
            opt.timing = FlashTiming{a, b, c};
            opt.timing_set = true;
        } else {
            say(why, why_len, "unknown scenario word '%s'", word);
            return false;
        }
        if (!ok) {
            say(why, why_len,
                bus.n_devices >= uint32_t(MAX_DEVICES) ? "too many devices at '%s'"
                                                       : "bad value in scenario word '%s'",
                word);
            return false;
        }
    }
    for (uint32_t i = 0; i < bus.n_devices; ++i) {
        if (!bus.dev[i].is_orvex)
            continue;
        Controller &ctl = bus.dev[i].ctrl;
        if (opt.id_set)
            std::memcpy(ctl.flash.id, opt.id, 2);
        if (opt.timing_set)
            ctl.timing = opt.timing;
        ctl.faults.never_idle = opt.never_idle;
        ctl.faults.absent = opt.absent;
        ctl.faults.flip_enabled = opt.flip;
        ctl.faults.flip_addr = opt.flip_addr;
        ctl.faults.flip_bit = uint8_t(opt.flip_bit);
        for (uint32_t addr = 0; addr < FLASH_SIZE; ++addr)
            ctl.flash.mem[addr] = opt.fill < 0 ? pattern_byte(addr) : uint8_t(opt.fill);
    }
    return true;
}

namespace {

// Counts the access and decides whether it reaches the device.
Access admit(Bus &bus, int device, uint32_t offset, int width, bool write)
{
    ++bus.access_count;
    if (device < 0 || uint32_t(device) >= bus.n_devices ||
        (width != 1 && width != 2 && width != 4) || offset % uint32_t(width) != 0 ||
        offset >= CONFIG_SIZE || uint32_t(width) > CONFIG_SIZE - offset)  // no wrap near 2^32
        return Access::io_error;
    if (bus.fail_after && bus.access_count > bus.fail_after)
        return Access::io_error;
    if (bus.no_rights && (write || offset >= 64))
        return Access::denied;
    return Access::ok;
}

void log_access(Bus &bus, int device, char kind, int width, bool failed, uint32_t offset,
                uint32_t value)
{
    if (bus.log_count < LOG_CAPACITY)
        bus.log[bus.log_count] = CfgAccess{uint8_t(device),  kind, uint8_t(width), uint8_t(failed),
                                           uint16_t(offset), value};
    ++bus.log_count;
}

uint32_t ones(int width)
{
    return width == 1 ? 0xFFu : width == 2 ? 0xFFFFu : 0xFFFFFFFFu;
}

// Calls fn(offset, width) for each piece of a transfer, in the order the kernel issues them.
template <class Fn>
Access for_each_piece(uint32_t offset, size_t count, Fn &&fn)
{
    while (count) {
        int width = 1;
        if ((offset & 1) == 0 && count >= 2)
            width = (offset & 3) == 0 && count >= 4 ? 4 : 2;
        const Access a = fn(offset, width);
        if (a != Access::ok)
            return a;
        offset += uint32_t(width);
        count -= size_t(width);
    }
    return Access::ok;
}

}  // namespace

Access cfg_read(Bus &bus, int device, uint32_t offset, int width, uint32_t &value)
{
    const Access a = admit(bus, device, offset, width, false);
    value = a == Access::ok ? device_cfg_read(bus, device, offset, width) : ones(width);
    log_access(bus, device, 'R', width, a != Access::ok, offset, value);
    return a;
}

Access cfg_write(Bus &bus, int device, uint32_t offset, int width, uint32_t value)
{
    const Access a = admit(bus, device, offset, width, true);
    if (width > 0 && width < 4)
        value &= ones(width);
    if (a == Access::ok)
        device_cfg_write(bus, device, offset, width, value);
    log_access(bus, device, 'W', width, a != Access::ok, offset, value);
    return a;
}

Access cfg_read_bytes(Bus &bus, int device, uint32_t offset, size_t count, uint8_t *out)
{
    return for_each_piece(offset, count, [&](uint32_t at, int width) {
        uint32_t value = 0;
        const Access a = cfg_read(bus, device, at, width, value);
        if (a == Access::ok)
            for (int k = 0; k < width; ++k)
                out[at - offset + uint32_t(k)] = uint8_t(value >> (8 * k));
        return a;
    });
}

Access cfg_write_bytes(Bus &bus, int device, uint32_t offset, size_t count, const uint8_t *in)
{
    return for_each_piece(offset, count, [&](uint32_t at, int width) {
        uint32_t value = 0;
        for (int k = 0; k < width; ++k)
            value |= uint32_t(in[at - offset + uint32_t(k)]) << (8 * k);
        return cfg_write(bus, device, at, width, value);
    });
}

}  // namespace sim
