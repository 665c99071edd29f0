// The emulated /sys/bus/pci without FUSE: config-file transfers become the accesses the kernel
// would make, and the tree holds what libpci's sysfs back end reads to find and open a device.
// What a caller without root may reach is checked end to end by the unprivileged system test.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <utility>
#include <vector>

#include "sim/bus.h"
#include "sim/sysfs/tree.h"

namespace {

using Pieces = std::vector<std::pair<uint32_t, int>>;

TEST(SysfsConfig, TransfersBecomeTheKernelsAccesses)
{
    const struct {
        uint32_t offset;
        size_t count;
        Pieces expected;  // naturally aligned accesses, in order
    } pieces[] = {
        {0x78, 8, {{0x78, 4}, {0x7C, 4}}},
        {1, 7, {{1, 1}, {2, 2}, {4, 4}}},
        {0, 7, {{0, 4}, {4, 2}, {6, 1}}},
    };
    for (const auto &c : pieces) {
        Pieces got;
        sysfs::for_each_piece(c.offset, c.count, [&](uint32_t at, int width) {
            got.emplace_back(at, width);
            return true;
        });
        EXPECT_EQ(got, c.expected) << "offset " << c.offset << ", count " << c.count;
    }
}

// Follows a relative link target from folder `dir`, one name at a time.
uint64_t resolve(const sim::Bus &bus, uint64_t dir, const std::string &path)
{
    std::istringstream parts(path);
    std::string name;
    while (dir && std::getline(parts, name, '/'))
        dir = sysfs::lookup(bus, dir, name.c_str());
    return dir;
}

TEST(SysfsTree, ShowsEachDeviceAsLibpciReadsIt)
{
    sim::Bus *bus = sim::bus_create_shared();
    sim::bus_add_other(*bus, 0, 0, 0, 0x8086, 0x1237, 0x060000);
    sim::bus_add_orvex(*bus, 3, 0, 0, 1);
    sim::bus_add_other(*bus, 0, 0x1f, 3, 0x8086, 0x2930, 0x0c0500);  // same bus as the first

    std::vector<std::string> listed;
    sysfs::Entry e;
    for (size_t i = 2; sysfs::entry_at(*bus, sysfs::DEVICES_DIR, i, e); ++i) {
        listed.push_back(e.name);
        EXPECT_EQ(sysfs::lookup(*bus, sysfs::DEVICES_DIR, e.name.c_str()), e.ino) << e.name;
        EXPECT_TRUE(S_ISLNK(sysfs::mode_of(*bus, e.ino))) << e.name;
    }
    EXPECT_EQ(listed, (std::vector<std::string>{"0000:00:00.0", "0000:03:00.0", "0000:00:1f.3"}));

    // Each link leads to the folder of its own device.
    uint64_t folder[3] = {};
    for (int i = 0; i < 3; ++i) {
        folder[i] = resolve(*bus, sysfs::DEVICES_DIR, sysfs::link_target(bus->dev[i]));
        ASSERT_TRUE(S_ISDIR(sysfs::mode_of(*bus, folder[i]))) << i;
        const uint64_t vendor = sysfs::lookup(*bus, folder[i], "vendor");
        EXPECT_EQ(sysfs::node_of(*bus, vendor).device, i);
    }

    const struct {
        const char *name;
        mode_t mode;
        const char *text;  // null: not checked
    } attrs[] = {
        {"config", 0644, nullptr},     {"vendor", 0444, "0x1106\n"}, {"device", 0444, "0x3483\n"},
        {"class", 0444, "0x0c0330\n"}, {"irq", 0444, "0\n"},         {"resource", 0444, nullptr},
    };
    for (const auto &a : attrs) {
        const uint64_t ino = sysfs::lookup(*bus, folder[1], a.name);
        ASSERT_NE(ino, 0u) << a.name;
        EXPECT_EQ(sysfs::mode_of(*bus, ino), S_IFREG | a.mode) << a.name;
        if (a.text) {
            EXPECT_EQ(sysfs::attr_text(bus->dev[1], sysfs::node_of(*bus, ino).attr), a.text);
        }
    }
    EXPECT_EQ(sysfs::size_of(*bus, sysfs::lookup(*bus, folder[1], "config")), 256);
    const std::string resource = sysfs::attr_text(bus->dev[1], sysfs::Attr::resource);
    EXPECT_EQ(std::count(resource.begin(), resource.end(), '\n'), 7);
    sim::bus_unmap(bus);
}

}  // namespace
