// SPDX-License-Identifier: MIT
// What the kernel's /sys/bus/pci looks like for the simulated bus, without any FUSE in it: the
// shape of the tree (nodes, names, modes, link targets), the text of each attribute file, and how
// a read or write of a device's `config` file turns into configuration-space accesses.
//
// The tree, as mounted over /sys/bus/pci:
//   devices/DDDD:BB:SS.F      -> ../.sysdevices/pciDDDD:BB/DDDD:BB:SS.F   (symlink, like the kernel's)
//   drivers/, slots/          empty (no driver bound, no hotplug slots)
//   .sysdevices/pciDDDD:BB/DDDD:BB:SS.F/{config,vendor,device,class,...}
//   dump-targets/{ok,sync-fails,close-fails}   files to dump into (not the kernel's: orvex-sysfs)
// The kernel's links point out of /sys/bus/pci into /sys/devices; here the device folders live in
// a hidden folder of the same mount, so that whatever follows the links stays on the simulated bus.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>

#include "sim/bus.h"

namespace sysfs {

// Node numbers. 0 is never a node (FUSE reserves it); 1 is the root of the mount.
enum : uint64_t {
    ROOT = 1,
    DEVICES_DIR = 2,
    DRIVERS_DIR = 3,
    SLOTS_DIR = 4,
    HIDDEN_DIR = 5,
    TARGETS_DIR = 6,
    TARGET_BASE = 0x10,        // + Target
    BUS_DIR_BASE = 0x100,      // + device index of the first device on that bus
    LINK_BASE = 0x200,         // + device index: devices/DDDD:BB:SS.F
    DEVICE_DIR_BASE = 0x1000,  // + device index * PER_DEVICE
    PER_DEVICE = 0x100,        // the device folder, then its attributes at + 1 + attribute
};

// The files of a device folder, in listing order.
enum class Attr : int {
    config,
    vendor,
    device,
    class_code,
    revision,
    subsystem_vendor,
    subsystem_device,
    irq,
    resource,
    numa_node,
    modalias,
    count
};

// The files of dump-targets/, in listing order: one that takes whatever is written, one whose
// fsync fails, one whose close fails.
enum class Target : int { ok, sync_fails, close_fails, count };

enum class Kind { none, dir, link, attr, target };

struct Node {
    Kind kind = Kind::none;
    int device = -1;  // link, device folder, attribute; for a bus folder: its first device
    Attr attr = Attr::count;
    Target target = Target::count;
};

// What node number `ino` is on `bus` (Kind::none when it is not one).
Node node_of(const sim::Bus &bus, uint64_t ino);

// The node called `name` in folder `parent`, or 0.
uint64_t lookup(const sim::Bus &bus, uint64_t parent, const char *name);

// One entry of a folder listing ("." and ".." included, in that order first).
struct Entry {
    std::string name;
    uint64_t ino;
    mode_t type;  // S_IFDIR, S_IFLNK or S_IFREG
};
// The entry at position `index` of folder `dir`; false past the end.
bool entry_at(const sim::Bus &bus, uint64_t dir, size_t index, Entry &out);

// The parent folder of a folder (the root is its own parent).
uint64_t parent_of(const sim::Bus &bus, uint64_t dir);

// Type and permission bits, and the size `stat` reports, as the kernel has them.
mode_t mode_of(const sim::Bus &bus, uint64_t ino);
off_t size_of(const sim::Bus &bus, uint64_t ino);

// "DDDD:BB:SS.F" of a device; "pciDDDD:BB" of its bus folder.
std::string device_name(const sim::Device &d);
std::string bus_dir_name(const sim::Device &d);

// Where devices/DDDD:BB:SS.F points, relative to devices/.
std::string link_target(const sim::Device &d);

// The text of an attribute file other than `config`, formatted as the kernel does.
std::string attr_text(const sim::Device &d, Attr attr);
const char *attr_name(Attr attr);
const char *target_name(Target target);

// --- the config file -------------------------------------------------------------------------

using sim::CONFIG_SIZE;                            // a conventional PCI function
inline constexpr uint32_t UNPRIVILEGED_SIZE = 64;  // what a reader without CAP_SYS_ADMIN sees

// How many bytes of a transfer of `count` bytes at `pos` the kernel lets through, given the part
// of the file the caller may reach (`limit`): the transfer is cut at the limit, and a transfer
// that starts past it moves nothing.
size_t config_span(off_t pos, size_t count, uint32_t limit);

// A read or write of the config file of device `device`, already cut to the caller's limit:
// each naturally aligned piece becomes one configuration-space access (sim::cfg_read_bytes). Returns the bytes moved, or a
// negative errno: -EIO when the device does not answer, -EPERM when the bus refuses the access.
ssize_t config_read(sim::Bus &bus, int device, uint32_t offset, size_t count, uint8_t *out);
ssize_t config_write(sim::Bus &bus, int device, uint32_t offset, size_t count, const uint8_t *in);

}  // namespace sysfs
