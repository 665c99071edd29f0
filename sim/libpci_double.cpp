// SPDX-License-Identifier: MIT
// The libpci functions the tool calls, answered by the simulated bus the way libpci's sysfs
// back-end would answer them on Linux: same messages through the same callbacks, failed reads all
// ones. Called from C-style code, so nothing here throws.
#include "sim/libpci_double.h"

#include <csignal>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern "C" {
#include <pci/pci.h>
}

namespace sim {
namespace {

Bus *g_attached = nullptr;

// The stand-in's own state sits beside libpci's records, in structures of its own, rather than in
// libpci's fields for internal use: those differ from one libpci version to the next.

// An access handle with the simulated bus it reaches.
struct SimAccess {
    pci_access access;  // first: a pci_access* from pci_alloc is a SimAccess*
    Bus *bus;
};

// A device record with its handle and the index of the function on the simulated bus.
struct SimDev {
    pci_dev dev;  // first: a pci_dev* from pci_scan_bus is a SimDev*
    pci_access *access;
    int index;
};

SimDev *sim_dev(pci_dev *d)
{
    return reinterpret_cast<SimDev *>(d);
}

// libpci's own handlers, for a caller that installs none: one line on standard error.
void complain(const char *msg, va_list args)
{
    std::fputs("pcilib: ", stderr);
    std::vfprintf(stderr, msg, args);
    std::fputc('\n', stderr);
}

[[noreturn]] void default_error(char *msg, ...)
{
    va_list args;
    va_start(args, msg);
    complain(msg, args);
    va_end(args);
    std::exit(1);
}

void default_warning(char *msg, ...)
{
    va_list args;
    va_start(args, msg);
    complain(msg, args);
    va_end(args);
}

void default_debug(char *msg, ...)
{
    va_list args;
    va_start(args, msg);
    std::vfprintf(stdout, msg, args);
    va_end(args);
}

// libpci declares its messages as char *.
char *text(const char *s)
{
    return const_cast<char *>(s);
}

// libpci declares the error callback as never returning, but an application may install one that
// does (the tool counts errors while it probes). Call it through a plain pointer so the compiler
// keeps the code after the call.
using Callback = void (*)(char *, ...);
Callback error_of(pci_access *a)
{
    return reinterpret_cast<Callback>(a->error);
}

Bus *bus_of(pci_access *a)
{
    return reinterpret_cast<SimAccess *>(a)->bus;
}

void free_devices(pci_access *a)
{
    while (pci_dev *d = a->devices) {
        a->devices = d->next;
        std::free(sim_dev(d));
    }
}

uint32_t ones(int len)
{
    return len == 1 ? 0xFFu : len == 2 ? 0xFFFFu : 0xFFFFFFFFu;
}

// A user pressing Ctrl-C (or a service manager stopping the run) at a chosen moment.
void deliver_signal(const Bus &bus)
{
    if (bus.signal_at != 0 && bus.access_count == bus.signal_at)
        raise(int(bus.signal_number));
}

uint32_t read_cfg(pci_dev *d, int pos, int len)
{
    pci_access *a = sim_dev(d)->access;
    if (pos & (len - 1)) {
        error_of(a)(text("Unaligned read: pos=%02x, len=%d"), pos, len);
        return ones(len);
    }
    Bus *bus = bus_of(a);
    if (!bus || pos < 0 || pos + len > 256)
        return ones(len);  // short read
    uint32_t value = 0;
    const Access access = cfg_read(*bus, sim_dev(d)->index, uint32_t(pos), len, value);
    deliver_signal(*bus);
    switch (access) {
    case Access::ok:
        return value;
    case Access::denied:
        return ones(len);  // the kernel shows only 64 bytes to non-root
    case Access::io_error:
        break;
    }
    a->warning(text("sysfs_read: read failed: %s"), "Input/output error");
    return ones(len);
}

int write_cfg(pci_dev *d, int pos, int len, uint32_t value)
{
    pci_access *a = sim_dev(d)->access;
    if (pos & (len - 1)) {
        error_of(a)(text("Unaligned write: pos=%02x, len=%d"), pos, len);
        return 0;
    }
    Bus *bus = bus_of(a);
    if (!bus || pos < 0 || pos + len > 256) {
        a->warning(text("sysfs_write: tried to write %d bytes at %d, but only %d succeeded"), len,
                   pos, 0);
        return 0;
    }
    const Access access = cfg_write(*bus, sim_dev(d)->index, uint32_t(pos), len, value);
    deliver_signal(*bus);
    switch (access) {
    case Access::ok:
        return 1;
    case Access::denied:
        a->warning(text("Cannot open /sys/bus/pci/devices/%04x:%02x:%02x.%d/config"),
                   unsigned(d->domain_16), unsigned(d->bus), unsigned(d->dev), int(d->func));
        return 0;
    case Access::io_error:
        break;
    }
    a->warning(text("sysfs_write: write failed: %s"), "Input/output error");
    return 0;
}

}  // namespace

void attach(Bus *bus)
{
    g_attached = bus;
}

}  // namespace sim

using sim::Bus;

extern "C" {

struct pci_access *pci_alloc(void)
{
    auto *s = static_cast<sim::SimAccess *>(std::calloc(1, sizeof(sim::SimAccess)));
    if (!s)
        return nullptr;
    pci_access *a = &s->access;
    a->error = reinterpret_cast<decltype(a->error)>(sim::default_error);  // clang: noreturn type
    a->warning = sim::default_warning;
    a->debug = sim::default_debug;
    Bus *bus = sim::g_attached;
    if (!bus) {
        static Bus *from_env = nullptr;  // mapped once, kept until the process ends
        const char *path = std::getenv("ORVEX_SIM_STATE");
        if (!from_env && path && *path)
            from_env = sim::bus_map_file(path, false);
        bus = from_env;
    }
    s->bus = bus;
    return a;
}

void pci_init(struct pci_access *a)
{
    Bus *bus = sim::bus_of(a);
    if (!bus || bus->no_access) {
        sim::error_of(a)(sim::text("Cannot find any working access method."));
        std::abort();  // libpci cannot go on without an access method
    }
}

void pci_cleanup(struct pci_access *a)
{
    if (!a)
        return;
    sim::free_devices(a);
    std::free(reinterpret_cast<sim::SimAccess *>(a));
}

void pci_scan_bus(struct pci_access *a)
{
    sim::free_devices(a);
    Bus *bus = sim::bus_of(a);
    if (!bus)
        return;
    pci_dev **tail = &a->devices;
    for (uint32_t i = 0; i < bus->n_devices && i < uint32_t(sim::MAX_DEVICES); ++i) {
        auto *s = static_cast<sim::SimDev *>(std::calloc(1, sizeof(sim::SimDev)));
        if (!s) {
            sim::error_of(a)(sim::text("Out of memory (allocation of %d bytes failed)"),
                             int(sizeof(sim::SimDev)));
            return;
        }
        const sim::Device &src = bus->dev[i];
        pci_dev *d = &s->dev;
        s->access = a;
        s->index = int(i);
        d->domain_16 = src.domain;
        d->domain = src.domain;
        d->bus = src.bus;
        d->dev = src.slot;
        d->func = src.func;
        d->vendor_id = src.vendor;
        d->device_id = src.device;
        d->device_class = uint16_t(src.class_code >> 8);
        d->prog_if = uint8_t(src.class_code);
        d->known_fields = PCI_FILL_IDENT | PCI_FILL_CLASS | PCI_FILL_CLASS_EXT;
        d->numa_node = -1;
        *tail = d;
        tail = &d->next;
    }
}

int pci_fill_info(struct pci_dev *d, int flags)
{
    (void)flags;  // everything the stand-in knows is filled in at scan time
    return int(d->known_fields);
}

void pci_filter_init(struct pci_access *, struct pci_filter *f)
{
    std::memset(f, 0, sizeof *f);
    f->domain = f->bus = f->slot = f->func = -1;
    f->vendor = f->device = -1;
    f->device_class = -1;
    f->device_class_mask = ~0u;
    f->prog_if = -1;
}

int pci_filter_match(struct pci_filter *f, struct pci_dev *d)
{
    if ((f->domain >= 0 && f->domain != d->domain) || (f->bus >= 0 && f->bus != d->bus) ||
        (f->slot >= 0 && f->slot != d->dev) || (f->func >= 0 && f->func != d->func))
        return 0;
    if ((f->device >= 0 && f->device != d->device_id) ||
        (f->vendor >= 0 && f->vendor != d->vendor_id))
        return 0;
    if (f->device_class >= 0 &&
        ((unsigned(f->device_class) ^ d->device_class) & f->device_class_mask))
        return 0;
    if (f->prog_if >= 0 && f->prog_if != d->prog_if)
        return 0;
    return 1;
}

u8 pci_read_byte(struct pci_dev *d, int pos)
{
    return u8(sim::read_cfg(d, pos, 1));
}
u16 pci_read_word(struct pci_dev *d, int pos)
{
    return u16(sim::read_cfg(d, pos, 2));
}
u32 pci_read_long(struct pci_dev *d, int pos)
{
    return sim::read_cfg(d, pos, 4);
}
int pci_write_byte(struct pci_dev *d, int pos, u8 data)
{
    return sim::write_cfg(d, pos, 1, data);
}
int pci_write_word(struct pci_dev *d, int pos, u16 data)
{
    return sim::write_cfg(d, pos, 2, data);
}
int pci_write_long(struct pci_dev *d, int pos, u32 data)
{
    return sim::write_cfg(d, pos, 4, data);
}

}  // extern "C"
