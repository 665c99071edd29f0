// The emulated /sys/bus/pci without FUSE: how transfers of the config file become configuration-
// space accesses, what a caller may reach, and whether the tree's links lead where they say.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <utility>
#include <vector>

#include "sim/bus.h"
#include "sim/sysfs/tree.h"

namespace {

using Pieces = std::vector<std::pair<uint32_t, int>>;

Pieces pieces_of(uint32_t offset, size_t count)
{
    Pieces out;
    sysfs::for_each_piece(offset, count, [&](uint32_t at, int width) {
        out.emplace_back(at, width);
        return true;
    });
    return out;
}

struct PieceCase {
    uint32_t offset;
    size_t count;
    Pieces expected;
};

TEST(SysfsConfig, TransfersAreCutIntoNaturallyAlignedAccesses)
{
    const PieceCase cases[] = {
        {0x50, 4, {{0x50, 4}}},
        {0x43, 1, {{0x43, 1}}},
        {0x78, 8, {{0x78, 4}, {0x7C, 4}}},
        {1, 7, {{1, 1}, {2, 2}, {4, 4}}},
        {3, 6, {{3, 1}, {4, 4}, {8, 1}}},
        {2, 2, {{2, 2}}},
        {2, 3, {{2, 2}, {4, 1}}},
        {5, 2, {{5, 1}, {6, 1}}},
        {0, 7, {{0, 4}, {4, 2}, {6, 1}}},
        {0, 0, {}},
    };
    for (const PieceCase &c : cases)
        EXPECT_EQ(pieces_of(c.offset, c.count), c.expected)
            << "offset " << c.offset << ", count " << c.count;
}

TEST(SysfsConfig, WholeSpaceIsCoveredOnce)
{
    uint32_t next = 0;
    sysfs::for_each_piece(0, 256, [&](uint32_t at, int width) {
        EXPECT_EQ(at, next);
        EXPECT_EQ(width, 4);
        next = at + uint32_t(width);
        return true;
    });
    EXPECT_EQ(next, 256u);
}

struct SpanCase {
    off_t pos;
    size_t count;
    uint32_t limit;
    size_t expected;
};

TEST(SysfsConfig, TransfersStopAtWhatTheCallerMayReach)
{
    const SpanCase cases[] = {
        {0, 256, 256, 256}, {0x50, 4, 256, 4}, {0x50, 4, 64, 0},  {60, 8, 64, 4},  {64, 4, 64, 0},
        {252, 8, 256, 4},   {256, 4, 256, 0},  {4096, 4, 256, 0}, {-4, 4, 256, 0}, {0, 0, 256, 0},
    };
    for (const SpanCase &c : cases)
        EXPECT_EQ(sysfs::config_span(c.pos, c.count, c.limit), c.expected)
            << "pos " << c.pos << ", count " << c.count << ", limit " << c.limit;
}

class SysfsBus : public ::testing::Test {
protected:
    void SetUp() override
    {
        bus = sim::bus_create_shared();
        ASSERT_NE(bus, nullptr);
    }
    void TearDown() override
    {
        sim::bus_unmap(bus);
    }

    std::string log_text() const
    {
        std::ostringstream out;
        for (uint64_t i = 0; i < bus->log_count && i < sim::LOG_CAPACITY; ++i) {
            const sim::CfgAccess &a = bus->log[i];
            out << a.kind << int(a.width) << '@' << std::hex << a.offset << std::dec
                << (a.failed ? "!" : "") << ' ';
        }
        return out.str();
    }

    sim::Bus *bus = nullptr;
};

TEST_F(SysfsBus, ReadsAssembleLittleEndianBytesFromEachAccess)
{
    const int dev = sim::bus_add_orvex(*bus, 1, 0, 0, 0x01360b02);
    uint8_t buf[8] = {};
    ASSERT_EQ(sysfs::config_read(*bus, dev, 0, 4, buf), 4);
    EXPECT_EQ(buf[0], 0x06);
    EXPECT_EQ(buf[1], 0x11);
    EXPECT_EQ(buf[2], 0x83);
    EXPECT_EQ(buf[3], 0x34);
    ASSERT_EQ(sysfs::config_read(*bus, dev, 0x4F, 5, buf), 5);
    EXPECT_EQ(buf[1] | buf[2] << 8 | buf[3] << 16 | uint32_t(buf[4]) << 24, 0x01360b02u);
    EXPECT_EQ(log_text(), "R4@0 R1@4f R4@50 ");
}

TEST_F(SysfsBus, WritesReachTheDeviceWithTheirOwnWidth)
{
    const int dev = sim::bus_add_orvex(*bus, 1, 0, 0, 1);
    const uint8_t open_access[] = {1};
    const uint8_t window[] = {0xFC, 0x00, 0x04, 0x00, 0x01, 0x00, 0x00, 0x00};
    ASSERT_EQ(sysfs::config_write(*bus, dev, 0x43, 1, open_access), 1);
    ASSERT_EQ(sysfs::config_write(*bus, dev, 0x78, 8, window), 8);
    EXPECT_EQ(log_text(), "W1@43 W4@78 W4@7c ");
    EXPECT_EQ(sim::reg_peek(*bus, dev, sim::REG_CHIP_SEL), 1u);
}

TEST_F(SysfsBus, ADeviceThatStopsAnsweringGivesEio)
{
    const int dev = sim::bus_add_orvex(*bus, 1, 0, 0, 1);
    bus->fail_after = 1;
    uint8_t buf[4] = {};
    EXPECT_EQ(sysfs::config_read(*bus, dev, 0x50, 4, buf), 4);
    EXPECT_EQ(sysfs::config_read(*bus, dev, 0x50, 4, buf), -EIO);
    EXPECT_EQ(sysfs::config_write(*bus, dev, 0x43, 1, buf), -EIO);
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

TEST_F(SysfsBus, EveryDeviceLinkLeadsToThatDevicesFolder)
{
    sim::bus_add_other(*bus, 0, 0, 0, 0x8086, 0x1237, 0x060000);
    sim::bus_add_orvex(*bus, 3, 0, 0, 1);
    sim::bus_add_other(*bus, 0, 0x1f, 3, 0x8086, 0x2930, 0x0c0500);  // same bus as the first
    for (uint32_t i = 0; i < bus->n_devices; ++i) {
        const sim::Device &d = bus->dev[i];
        const std::string name = sysfs::device_name(d);
        const uint64_t link = sysfs::lookup(*bus, sysfs::DEVICES_DIR, name.c_str());
        ASSERT_NE(link, 0u) << name;
        EXPECT_TRUE(S_ISLNK(sysfs::mode_of(*bus, link)));
        const uint64_t folder = resolve(*bus, sysfs::DEVICES_DIR, sysfs::link_target(d));
        ASSERT_NE(folder, 0u) << sysfs::link_target(d);
        ASSERT_TRUE(S_ISDIR(sysfs::mode_of(*bus, folder)));
        const uint64_t vendor = sysfs::lookup(*bus, folder, "vendor");
        const sysfs::Node node = sysfs::node_of(*bus, vendor);
        EXPECT_EQ(node.device, int(i)) << name;
        EXPECT_EQ(sysfs::attr_text(bus->dev[node.device], node.attr),
                  i == 1 ? "0x1106\n" : "0x8086\n");
    }
    EXPECT_EQ(sysfs::device_name(bus->dev[2]), "0000:00:1f.3");
}

TEST_F(SysfsBus, ListingsNameEachDeviceOnceAndEveryEntryCanBeLookedUp)
{
    sim::bus_add_other(*bus, 0, 0, 0, 0x8086, 0x1237, 0x060000);
    sim::bus_add_orvex(*bus, 3, 0, 0, 1);
    sim::bus_add_other(*bus, 0, 2, 0, 0x10de, 0x1c82, 0x030000);
    const uint64_t dirs[] = {sysfs::ROOT, sysfs::DEVICES_DIR, sysfs::HIDDEN_DIR};
    std::vector<std::string> devices, buses;
    for (uint64_t dir : dirs) {
        sysfs::Entry e;
        for (size_t i = 2; sysfs::entry_at(*bus, dir, i, e); ++i) {
            EXPECT_EQ(sysfs::lookup(*bus, dir, e.name.c_str()), e.ino) << e.name;
            EXPECT_EQ(sysfs::mode_of(*bus, e.ino) & S_IFMT, e.type) << e.name;
            if (dir == sysfs::DEVICES_DIR)
                devices.push_back(e.name);
            if (dir == sysfs::HIDDEN_DIR)
                buses.push_back(e.name);
        }
    }
    EXPECT_EQ(devices, (std::vector<std::string>{"0000:00:00.0", "0000:03:00.0", "0000:00:02.0"}));
    EXPECT_EQ(buses, (std::vector<std::string>{"pci0000:00", "pci0000:03"}));
}

TEST_F(SysfsBus, AttributesHaveTheKernelsModesAndFormats)
{
    const int dev = sim::bus_add_orvex(*bus, 1, 0, 0, 1);
    const uint64_t folder = resolve(*bus, sysfs::DEVICES_DIR, sysfs::link_target(bus->dev[dev]));
    ASSERT_NE(folder, 0u);
    struct Want {
        const char *name;
        mode_t mode;
        const char *text;  // null: not checked
    };
    const Want wants[] = {
        {"config", 0644, nullptr},     {"vendor", 0444, "0x1106\n"}, {"device", 0444, "0x3483\n"},
        {"class", 0444, "0x0c0330\n"}, {"irq", 0444, "0\n"},         {"numa_node", 0444, "-1\n"},
        {"revision", 0444, "0x00\n"},
    };
    for (const Want &w : wants) {
        const uint64_t ino = sysfs::lookup(*bus, folder, w.name);
        ASSERT_NE(ino, 0u) << w.name;
        EXPECT_EQ(sysfs::mode_of(*bus, ino), S_IFREG | w.mode) << w.name;
        if (w.text) {
            EXPECT_EQ(sysfs::attr_text(bus->dev[dev], sysfs::node_of(*bus, ino).attr), w.text);
        }
    }
    EXPECT_EQ(sysfs::size_of(*bus, sysfs::lookup(*bus, folder, "config")), 256);
    const std::string resource = sysfs::attr_text(bus->dev[dev], sysfs::Attr::resource);
    EXPECT_EQ(std::count(resource.begin(), resource.end(), '\n'), 7);
    EXPECT_EQ(sysfs::lookup(*bus, folder, "nonexistent"), 0u);
}

}  // namespace
