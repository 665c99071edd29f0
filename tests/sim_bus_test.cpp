// The simulated bus: configuration space, bus faults, scenarios, state files, and the libpci
// stand-in on top of them.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <string>
#include <unistd.h>
#include <vector>

#include "sim/bus.h"
#include "sim/libpci_double.h"

extern "C" {
#include <pci/pci.h>
}

namespace {

struct Bus {
    sim::Bus *bus = sim::bus_create_shared();
    explicit Bus(const char *scenario)
    {
        char why[128] = {};
        EXPECT_TRUE(sim::bus_parse_scenario(*bus, scenario, why, sizeof why)) << why;
    }
    ~Bus()
    {
        sim::bus_unmap(bus);
    }
    Bus(const Bus &) = delete;
    Bus &operator=(const Bus &) = delete;
    uint32_t read(int dev, uint32_t off, int width, sim::Access expect = sim::Access::ok)
    {
        uint32_t v = 0;
        EXPECT_EQ(sim::cfg_read(*bus, dev, off, width, v), expect) << std::hex << off;
        return v;
    }
};

TEST(SimBus, ConfigSpaceAndWindow)
{
    Bus b("other=8086:1234 orvex=00aa0042");
    EXPECT_EQ(b.read(1, 0x00, 4), 0x34831106u);
    EXPECT_EQ(b.read(1, 0x08, 4) >> 8, 0x0C0330u);
    EXPECT_EQ(b.read(0, 0x00, 2), 0x8086u);
    sim::cfg_write(*b.bus, 1, 0x50, 4, 0);  // read-only
    sim::cfg_write(*b.bus, 1, 0x43, 1, 1);
    sim::cfg_write(*b.bus, 0, 0x78, 4, 0x40020);  // not an ORVEX: ignored
    EXPECT_EQ(b.read(1, 0x50, 4), 0x00AA0042u);
    EXPECT_EQ(b.read(1, 0x40, 4), 0x01000000u);
    EXPECT_EQ(b.read(0, 0x78, 4), 0u);
    EXPECT_EQ(b.bus->log_count, 9u);
    EXPECT_EQ(b.bus->log[4].offset, 0x43);
    EXPECT_EQ(b.bus->log[4].value, 1u);

    sim::cfg_write(*b.bus, 1, sim::CONFIG_WINDOW_ADDR, 4, 0x4000C);
    EXPECT_EQ(b.read(1, sim::CONFIG_WINDOW_DATA, 4), 0x5A5A5A00u);
    sim::cfg_write(*b.bus, 1, sim::CONFIG_WINDOW_DATA, 4, 0x5A5A5A01);
    sim::cfg_write(*b.bus, 1, sim::CONFIG_WINDOW_ADDR, 4, sim::REG_RX);
    sim::cfg_write(*b.bus, 1, sim::CONFIG_WINDOW_DATA, 4, 1);  // read-only
    EXPECT_EQ(sim::reg_peek(*b.bus, 1, 0x4000C), 0x5A5A5A01u);
    EXPECT_EQ(sim::reg_peek(*b.bus, 1, sim::REG_RX), 0u);
    ASSERT_EQ(b.bus->reg_log_count, 3u);
    EXPECT_EQ(b.bus->reg_log[1].kind, 'W');
    EXPECT_EQ(b.bus->reg_log[1].address, 0x4000Cu);
    sim::cfg_write(*b.bus, 1, sim::CONFIG_WINDOW_ADDR, 4, 0x400D2);  // not a register address
    sim::cfg_write(*b.bus, 1, sim::CONFIG_WINDOW_DATA, 4, 1);
    EXPECT_EQ(b.bus->dev[1].ctrl.protocol_errors, 1u);
}

struct RightsCase {
    bool write;
    uint32_t offset;
    int width;
    sim::Access result;
    uint32_t value;  // read value
};

class NoRights : public testing::TestWithParam<RightsCase> {};

TEST_P(NoRights, LikeAUserWithoutRoot)
{
    Bus b("orvex no-rights");
    const RightsCase &c = GetParam();
    uint32_t v = 0;
    const sim::Access a = c.write ? sim::cfg_write(*b.bus, 0, c.offset, c.width, 1)
                                  : sim::cfg_read(*b.bus, 0, c.offset, c.width, v);
    EXPECT_EQ(a, c.result);
    if (!c.write) {
        EXPECT_EQ(v, c.value);
    }
    EXPECT_EQ(b.bus->dev[0].ctrl.cfg[0x43], 0);
    EXPECT_EQ(b.bus->log[0].failed, c.result != sim::Access::ok);
}

INSTANTIATE_TEST_SUITE_P(Sim, NoRights,
                         testing::Values(RightsCase{false, 0x00, 4, sim::Access::ok, 0x34831106},
                                         RightsCase{false, 0x3C, 4, sim::Access::ok, 0},
                                         RightsCase{false, 0x40, 1, sim::Access::denied, 0xFF},
                                         RightsCase{false, 0x50, 4, sim::Access::denied,
                                                    0xFFFFFFFF},
                                         RightsCase{true, 0x43, 1, sim::Access::denied, 0},
                                         RightsCase{true, 0x04, 2, sim::Access::denied, 0}));

TEST(SimBus, FailAfterNAccesses)
{
    Bus b("orvex fail-after=3");
    b.read(0, 0x50, 4);
    sim::cfg_write(*b.bus, 0, 0x43, 1, 1);
    b.read(0, 0x00, 2);
    EXPECT_EQ(b.read(0, 0x00, 2, sim::Access::io_error), 0xFFFFu);
    EXPECT_EQ(sim::cfg_write(*b.bus, 0, 0x43, 1, 0), sim::Access::io_error);
    EXPECT_EQ(b.bus->dev[0].ctrl.cfg[0x43], 1);
    EXPECT_EQ(b.bus->access_count, 5u);
    EXPECT_FALSE(b.bus->log[2].failed);
    EXPECT_TRUE(b.bus->log[3].failed);
}

TEST(SimBus, Scenarios)
{
    struct Case {
        const char *text;
        bool ok;
        uint32_t devices;
    };
    for (Case c : {Case{"", true, 0}, Case{"orvex orvex", true, 2},
                   Case{" other=1b21:0612  orvex=1 fill=pattern flip=0x1ffff:7 ", true, 2},
                   Case{"orvex id=1234 never-idle timing=1:2:3 fail-after=9 no-rights", true, 1},
                   Case{"orvex=xyz", false, 0}, Case{"orvex flip=0x20000:1", false, 1},
                   Case{"orvex flip=1:8", false, 1}, Case{"orvex timing=1:2", false, 1},
                   Case{"orvex fill=ones", false, 1}, Case{"orvex id=12345", false, 1},
                   Case{"other=1106", false, 0}, Case{"orvex Orvex", false, 1},
                   Case{"orvex orvex orvex orvex orvex orvex orvex orvex orvex", false, 8}}) {
        Bus b("");
        char why[128] = {};
        EXPECT_EQ(sim::bus_parse_scenario(*b.bus, c.text, why, sizeof why), c.ok) << c.text;
        EXPECT_EQ(b.bus->n_devices, c.devices) << c.text;
        EXPECT_EQ(why[0] != 0, !c.ok) << c.text;
    }
    Bus b("orvex id=1234 other=1:2 orvex");  // device options apply to every ORVEX
    EXPECT_EQ(b.bus->dev[2].ctrl.flash.id[0], 0x12);
    EXPECT_EQ(b.bus->dev[2].bus, 3);
}

TEST(SimBus, StateFiles)
{
    char path[] = "/tmp/sim_state_XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    errno = 0;
    EXPECT_EQ(sim::bus_map_file(path, false), nullptr) << "empty file";
    EXPECT_EQ(errno, EINVAL);
    sim::Bus *bus = sim::bus_map_file(path, true);
    ASSERT_NE(bus, nullptr);
    sim::bus_parse_scenario(*bus, "orvex", nullptr, 0);
    bus->dev[0].ctrl.flash.mem[7] = 0x42;
    sim::bus_unmap(bus);
    bus = sim::bus_map_file(path, false);
    ASSERT_NE(bus, nullptr);
    EXPECT_EQ(bus->dev[0].ctrl.flash.mem[7], 0x42);
    bus->magic = 0;
    sim::bus_unmap(bus);
    EXPECT_EQ(sim::bus_map_file(path, false), nullptr) << "wrong magic";
    unlink(path);
}

// --- libpci stand-in -----------------------------------------------------------------------------

std::vector<std::string> g_messages;

void capture(char *msg, ...)
{
    char buf[256];
    va_list args;
    va_start(args, msg);
    std::vsnprintf(buf, sizeof buf, msg, args);
    va_end(args);
    g_messages.emplace_back(buf);
}

struct Pci {
    Bus b;
    pci_access *a;
    explicit Pci(const char *scenario) : b(scenario)
    {
        g_messages.clear();
        sim::attach(b.bus);
        a = pci_alloc();
        a->error = reinterpret_cast<decltype(a->error)>(capture);  // returns, unlike libpci's own
        a->warning = capture;
        pci_init(a);
        pci_scan_bus(a);
    }
    ~Pci()
    {
        pci_cleanup(a);
        sim::attach(nullptr);
    }
    pci_dev *orvex()
    {
        pci_filter f;
        pci_filter_init(a, &f);
        f.vendor = sim::ORVEX_VENDOR;
        f.device = sim::ORVEX_DEVICE;
        for (pci_dev *d = a->devices; d; d = d->next)
            if (pci_filter_match(&f, d))
                return d;
        return nullptr;
    }
};

TEST(SimPci, ScanAndAccess)
{
    Pci p("other=8086:1234 orvex=00aa0042 other=10de:0001");
    std::vector<int> order;
    for (pci_dev *d = p.a->devices; d; d = d->next)
        order.push_back(d->vendor_id);
    EXPECT_EQ(order, (std::vector<int>{0x8086, 0x1106, 0x10de}));
    pci_dev *d = p.orvex();
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->bus, 2);
    EXPECT_EQ(pci_read_long(d, 0x50), 0x00AA0042u);
    EXPECT_EQ(pci_write_byte(d, 0x43, 1), 1);
    EXPECT_EQ(pci_read_byte(d, 0x43), 1);
    EXPECT_TRUE(g_messages.empty());
    pci_read_long(d, 0x52);
    pci_write_word(d, 0x43, 1);
    EXPECT_EQ(g_messages, (std::vector<std::string>{"Unaligned read: pos=52, len=4",
                                                    "Unaligned write: pos=43, len=2"}));
}

TEST(SimPci, FaultsAsLibpciReportsThem)
{
    Pci p("orvex no-rights fail-after=3");
    pci_dev *d = p.orvex();
    EXPECT_EQ(pci_write_byte(d, 0x43, 1), 0);
    EXPECT_EQ(pci_read_long(d, 0x50), 0xFFFFFFFFu);  // silently short
    EXPECT_EQ(pci_read_word(d, 0x00), 0x1106u);
    EXPECT_EQ(pci_read_word(d, 0x00), 0xFFFFu);
    EXPECT_EQ(pci_write_long(d, 0x78, 0), 0);
    EXPECT_EQ(g_messages,
              (std::vector<std::string>{"Cannot open /sys/bus/pci/devices/0000:01:00.0/config",
                                        "sysfs_read: read failed: Input/output error",
                                        "sysfs_write: write failed: Input/output error"}));
}

TEST(SimPciDeathTest, NoAccessMethodEndsTheProcess)
{
    Bus b("orvex no-access");
    sim::attach(b.bus);
    EXPECT_DEATH(
        {
            pci_access *a = pci_alloc();
            a->error =
                reinterpret_cast<decltype(a->error)>(capture);  // returns, unlike libpci's own
            pci_init(a);
        },
        "");
    sim::attach(nullptr);
}

}  // namespace
