// SPDX-License-Identifier: MIT
#include "sim/sysfs/tree.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

namespace sysfs {
namespace {

constexpr const char *ATTR_NAMES[] = {
    "config",           "vendor", "device",   "class",     "revision", "subsystem_vendor",
    "subsystem_device", "irq",    "resource", "numa_node", "modalias",
};
static_assert(sizeof ATTR_NAMES / sizeof *ATTR_NAMES == size_t(Attr::count));
constexpr const char *TARGET_NAMES[] = {"ok", "sync-fails", "close-fails"};
static_assert(sizeof TARGET_NAMES / sizeof *TARGET_NAMES == size_t(Target::count));

// Size sysfs reports for a text attribute: one page, whatever the text.
constexpr off_t ATTR_STAT_SIZE = 4096;

int n_devices(const sim::Bus &bus)
{
    return int(bus.n_devices > uint32_t(sim::MAX_DEVICES) ? sim::MAX_DEVICES : bus.n_devices);
}

bool same_bus(const sim::Device &a, const sim::Device &b)
{
    return a.domain == b.domain && a.bus == b.bus;
}

// The device whose index names the folder of the bus that device `i` sits on.
int bus_owner(const sim::Bus &bus, int i)
{
    for (int j = 0; j < i; ++j)
        if (same_bus(bus.dev[j], bus.dev[i]))
            return j;
    return i;
}

uint64_t device_dir(int i)
{
    return DEVICE_DIR_BASE + uint64_t(i) * PER_DEVICE;
}

uint16_t cfg16(const sim::Device &d, unsigned at)
{
    return uint16_t(d.ctrl.cfg[at] | d.ctrl.cfg[at + 1] << 8);
}

std::string printf_string(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
std::string printf_string(const char *fmt, ...)
{
    char buf[512];
    va_list args;
    va_start(args, fmt);
    const int n = std::vsnprintf(buf, sizeof buf, fmt, args);
    va_end(args);
    return std::string(buf, n < 0 ? 0 : size_t(n) < sizeof buf ? size_t(n) : sizeof buf - 1);
}

}  // namespace

const char *attr_name(Attr attr)
{
    return ATTR_NAMES[int(attr)];
}

const char *target_name(Target target)
{
    return TARGET_NAMES[int(target)];
}

std::string device_name(const sim::Device &d)
{
    return printf_string("%04x:%02x:%02x.%d", d.domain, d.bus, d.slot, d.func);
}

std::string bus_dir_name(const sim::Device &d)
{
    return printf_string("pci%04x:%02x", d.domain, d.bus);
}

std::string link_target(const sim::Device &d)
{
    return "../.sysdevices/" + bus_dir_name(d) + "/" + device_name(d);
}

std::string attr_text(const sim::Device &d, Attr attr)
{
    const uint32_t cls = d.class_code & 0xFFFFFF;
    switch (attr) {
    case Attr::vendor:
        return printf_string("0x%04x\n", d.vendor);
    case Attr::device:
        return printf_string("0x%04x\n", d.device);
    case Attr::class_code:
        return printf_string("0x%06x\n", cls);
    case Attr::revision:
        return printf_string("0x%02x\n", d.ctrl.cfg[0x08]);
    case Attr::subsystem_vendor:
        return printf_string("0x%04x\n", cfg16(d, 0x2C));
    case Attr::subsystem_device:
        return printf_string("0x%04x\n", cfg16(d, 0x2E));
    case Attr::irq:
        return "0\n";  // no interrupt assigned
    case Attr::numa_node:
        return "-1\n";
    case Attr::modalias:
        return printf_string("pci:v%08Xd%08Xsv%08Xsd%08Xbc%02Xsc%02Xi%02X\n", d.vendor, d.device,
                             cfg16(d, 0x2C), cfg16(d, 0x2E), cls >> 16, (cls >> 8) & 0xFF,
                             cls & 0xFF);
    case Attr::resource: {
        // Six BARs and the expansion ROM, none of them assigned.
        std::string text;
        for (int i = 0; i < 7; ++i)
            text += "0x0000000000000000 0x0000000000000000 0x0000000000000000\n";
        return text;
    }
    case Attr::config:
    case Attr::count:
        break;
    }
    return {};
}

Node node_of(const sim::Bus &bus, uint64_t ino)
{
    const int n = n_devices(bus);
    if (ino >= ROOT && ino <= TARGETS_DIR)
        return {Kind::dir, -1, Attr::count};
    if (ino >= TARGET_BASE && ino < TARGET_BASE + uint64_t(Target::count))
        return {Kind::target, -1, Attr::count, Target(ino - TARGET_BASE)};
    if (ino >= BUS_DIR_BASE && ino < BUS_DIR_BASE + uint64_t(n)) {
        const int i = int(ino - BUS_DIR_BASE);
        if (bus_owner(bus, i) == i)
            return {Kind::dir, i, Attr::count};
        return {};
    }
    if (ino >= LINK_BASE && ino < LINK_BASE + uint64_t(n))
        return {Kind::link, int(ino - LINK_BASE), Attr::count};
    if (ino >= DEVICE_DIR_BASE && ino < device_dir(n)) {
        const uint64_t rel = ino - DEVICE_DIR_BASE;
        const int i = int(rel / PER_DEVICE);
        const uint64_t slot = rel % PER_DEVICE;
        if (slot == 0)
            return {Kind::dir, i, Attr::count};
        if (slot - 1 < uint64_t(Attr::count))
            return {Kind::attr, i, Attr(slot - 1)};
    }
    return {};
}

bool entry_at(const sim::Bus &bus, uint64_t dir, size_t index, Entry &out)
{
    if (index == 0) {
        out = {".", dir, S_IFDIR};
        return node_of(bus, dir).kind == Kind::dir;
    }
    if (index == 1) {
        out = {"..", parent_of(bus, dir), S_IFDIR};
        return node_of(bus, dir).kind == Kind::dir;
    }
    index -= 2;
    const int n = n_devices(bus);
    if (dir == ROOT) {
        static const Entry top[] = {{"devices", DEVICES_DIR, S_IFDIR},
                                    {"drivers", DRIVERS_DIR, S_IFDIR},
                                    {"slots", SLOTS_DIR, S_IFDIR},
                                    {".sysdevices", HIDDEN_DIR, S_IFDIR},
                                    {"dump-targets", TARGETS_DIR, S_IFDIR}};
        if (index >= sizeof top / sizeof *top)
            return false;
        out = top[index];
        return true;
    }
    if (dir == DEVICES_DIR) {
        if (index >= size_t(n))
            return false;
        out = {device_name(bus.dev[index]), LINK_BASE + index, S_IFLNK};
        return true;
    }
    if (dir == TARGETS_DIR) {
        if (index >= size_t(Target::count))
            return false;
        out = {target_name(Target(index)), TARGET_BASE + index, S_IFREG};
        return true;
    }
    if (dir == HIDDEN_DIR) {
        for (int i = 0; i < n; ++i)
            if (bus_owner(bus, i) == i && index-- == 0) {
                out = {bus_dir_name(bus.dev[i]), BUS_DIR_BASE + uint64_t(i), S_IFDIR};
                return true;
            }
        return false;
    }
    const Node node = node_of(bus, dir);
    if (node.kind != Kind::dir || node.device < 0)
        return false;
    if (dir < LINK_BASE) {  // a bus folder: the devices on that bus
        for (int i = 0; i < n; ++i)
            if (same_bus(bus.dev[i], bus.dev[node.device]) && index-- == 0) {
                out = {device_name(bus.dev[i]), device_dir(i), S_IFDIR};
                return true;
            }
        return false;
    }
    if (index >= size_t(Attr::count))
        return false;
    out = {attr_name(Attr(index)), dir + 1 + index, S_IFREG};
    return true;
}

uint64_t parent_of(const sim::Bus &bus, uint64_t dir)
{
    const Node node = node_of(bus, dir);
    if (dir <= TARGETS_DIR)
        return ROOT;
    if (node.kind == Kind::dir && dir < LINK_BASE)
        return HIDDEN_DIR;
    if (node.kind == Kind::dir)
        return BUS_DIR_BASE + uint64_t(bus_owner(bus, node.device));
    return ROOT;
}

uint64_t lookup(const sim::Bus &bus, uint64_t parent, const char *name)
{
    if (!std::strcmp(name, "."))
        return node_of(bus, parent).kind == Kind::dir ? parent : 0;
    if (!std::strcmp(name, ".."))
        return node_of(bus, parent).kind == Kind::dir ? parent_of(bus, parent) : 0;
    Entry e;
    for (size_t i = 2; entry_at(bus, parent, i, e); ++i)
        if (e.name == name)
            return e.ino;
    return 0;
}

mode_t mode_of(const sim::Bus &bus, uint64_t ino)
{
    const Node node = node_of(bus, ino);
    switch (node.kind) {
    case Kind::dir:
        return S_IFDIR | 0755;
    case Kind::link:
        return S_IFLNK | 0777;
    case Kind::attr:
        return S_IFREG | (node.attr == Attr::config ? 0644 : 0444);
    case Kind::target:
        return S_IFREG | 0644;
    case Kind::none:
        break;
    }
    return 0;
}

off_t size_of(const sim::Bus &bus, uint64_t ino)
{
    const Node node = node_of(bus, ino);
    if (node.kind == Kind::attr)
        return node.attr == Attr::config ? off_t(CONFIG_SIZE) : ATTR_STAT_SIZE;
    if (node.kind == Kind::link)
        return off_t(link_target(bus.dev[node.device]).size());
    return 0;
}

size_t config_span(off_t pos, size_t count, uint32_t limit)
{
    if (pos < 0 || uint64_t(pos) >= limit)
        return 0;
    const uint64_t room = limit - uint64_t(pos);
    return count < room ? count : size_t(room);
}

namespace {

ssize_t to_errno(sim::Access a)
{
    return a == sim::Access::denied ? -EPERM : -EIO;
}

}  // namespace

ssize_t config_read(sim::Bus &bus, int device, uint32_t offset, size_t count, uint8_t *out)
{
    const sim::Access a = sim::cfg_read_bytes(bus, device, offset, count, out);
    return a == sim::Access::ok ? ssize_t(count) : to_errno(a);
}

ssize_t config_write(sim::Bus &bus, int device, uint32_t offset, size_t count, const uint8_t *in)
{
    const sim::Access a = sim::cfg_write_bytes(bus, device, offset, count, in);
    return a == sim::Access::ok ? ssize_t(count) : to_errno(a);
}

}  // namespace sysfs
