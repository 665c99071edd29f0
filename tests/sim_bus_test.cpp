// SPDX-License-Identifier: MIT
// The simulated bus where the tool's own tests rely on it to notice a mistake: malformed accesses
// to the register window count as protocol errors (the tool's tests require none), and the libpci
// stand-in complains about unaligned accesses as libpci does.
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

#include "sim/bus.h"
#include "sim/libpci_double.h"
#include "tests/harness.h"

namespace {

struct WindowCase {
    const char *name;
    uint32_t reg;     // written to the window address first
    uint32_t offset;  // then this access
    int width;
    bool write;
};

class Window : public testing::TestWithParam<WindowCase> {};

TEST_P(Window, MalformedAccessIsAProtocolError)
{
    const WindowCase &c = GetParam();
    sim::Bus *bus = sim::bus_create_shared();
    sim::bus_add_orvex(*bus, 1, 0, 0, 1);
    sim::cfg_write(*bus, 0, sim::CONFIG_WINDOW_ADDR, 4, c.reg);
    uint32_t value = 0;
    EXPECT_EQ(c.write ? sim::cfg_write(*bus, 0, c.offset, c.width, 0x06)
                      : sim::cfg_read(*bus, 0, c.offset, c.width, value),
              sim::Access::ok);
    EXPECT_EQ(bus->dev[0].ctrl.protocol_errors, 1u);
    EXPECT_EQ(bus->reg_log_count, 0u) << "no register was reached";
    EXPECT_EQ(sim::reg_peek(*bus, 0, sim::REG_TX), 0u);
    sim::bus_unmap(bus);
}

INSTANTIATE_TEST_SUITE_P(
    Sim, Window,
    testing::Values(WindowCase{"byte_write", sim::REG_TX, 0x7C, 1, true},
                    WindowCase{"word_read", sim::REG_TX, 0x7E, 2, false},
                    WindowCase{"byte_read_at_7d", sim::REG_TX, 0x7D, 1, false},
                    WindowCase{"unaligned_register_write", sim::REG_TX + 2, 0x7C, 4, true},
                    WindowCase{"unaligned_register_read", sim::REG_TX + 1, 0x7C, 4, false}),
    param_name);

// An access past the end of configuration space fails at the bus, however far past: an offset
// near 2^32 must not wrap around into the array.
TEST(SimBus, AccessPastConfigSpaceFails)
{
    sim::Bus *bus = sim::bus_create_shared();
    sim::bus_add_orvex(*bus, 1, 0, 0, 1);
    uint32_t value = 0;
    for (const uint32_t offset : {0x100u, 0xFFFFFFFCu, 0xFFFFFFFEu}) {
        EXPECT_EQ(sim::cfg_read(*bus, 0, offset, offset % 4 ? 2 : 4, value), sim::Access::io_error)
            << std::hex << offset;
        EXPECT_EQ(sim::cfg_write(*bus, 0, offset, 2, 0), sim::Access::io_error) << std::hex << offset;
    }
    sim::bus_unmap(bus);
}

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

TEST(SimPci, UnalignedAccessesAreRefusedAsLibpciDoes)
{
    sim::Bus *bus = sim::bus_create_shared();
    sim::bus_add_orvex(*bus, 2, 0, 0, 1);
    sim::attach(bus);
    pci_access *a = pci_alloc();
    a->error = reinterpret_cast<decltype(a->error)>(capture);  // returns, unlike libpci's own
    pci_init(a);
    pci_scan_bus(a);
    ASSERT_NE(a->devices, nullptr);
    const uint64_t before = bus->log_count;
    pci_read_long(a->devices, 0x52);
    pci_write_word(a->devices, 0x43, 1);
    EXPECT_EQ(g_messages, (std::vector<std::string>{"Unaligned read: pos=52, len=4",
                                                    "Unaligned write: pos=43, len=2"}));
    // The accesses go through the bus that sim::attach() made current, out of cppcheck's sight.
    // cppcheck-suppress knownConditionTrueFalse
    EXPECT_EQ(bus->log_count, before) << "the device saw them";
    pci_cleanup(a);
    sim::attach(nullptr);
    sim::bus_unmap(bus);
}

}  // namespace
