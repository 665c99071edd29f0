// SPDX-License-Identifier: MIT
// The simulated SPI master and flash, driven through the register window as a driver would. Only
// what the tool's own tests rely on: a flash that took a command without write enable, answered
// while busy or let a page program run past its page would let a faulty tool pass them.
#include <gtest/gtest.h>

#include <algorithm>
#include <utility>
#include <vector>

#include "sim/bus.h"
#include "tests/harness.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Driver {
    sim::Bus *bus = sim::bus_create_shared();
    explicit Driver(const char *scenario)
    {
        EXPECT_TRUE(sim::bus_parse_scenario(*bus, scenario, nullptr, 0)) << scenario;
    }
    ~Driver()
    {
        sim::bus_unmap(bus);
    }
    sim::Controller &ctrl()
    {
        return bus->dev[0].ctrl;
    }
    void write(uint32_t reg, uint32_t value)
    {
        sim::cfg_write(*bus, 0, sim::CONFIG_WINDOW_ADDR, 4, reg);
        sim::cfg_write(*bus, 0, sim::CONFIG_WINDOW_DATA, 4, value);
    }
    void select(bool active)
    {
        write(sim::REG_CHIP_SEL, active ? 0 : 1);
    }
    // One transaction; Rx_REG0 afterwards.
    uint32_t xfer(uint32_t tx, uint32_t ctrl_word)
    {
        write(sim::REG_TX, tx);
        write(sim::REG_CTRL, ctrl_word);
        return sim::reg_peek(*bus, 0, sim::REG_RX);
    }
    // One command framed by chip select, an 8-bit transaction per byte: the bytes received.
    Bytes command(const Bytes &bytes)
    {
        Bytes in;
        select(true);
        for (uint8_t b : bytes)
            in.push_back(uint8_t(xfer(b, 0x188)));
        select(false);
        return in;
    }
};

// Commands as the flash sees them on the wire.
const Bytes WREN{0x06}, WRDI{0x04};

// Opcode, three address bytes, data.
Bytes cmd(uint8_t opcode, uint32_t addr, Bytes data = {})
{
    data.insert(data.begin(), {opcode, uint8_t(addr >> 16), uint8_t(addr >> 8), uint8_t(addr)});
    return data;
}

// Read status, kept up for n status bytes.
Bytes status(size_t n)
{
    Bytes v(n + 1, 0);
    v[0] = 0x05;
    return v;
}

// What a read status of n + 1 status bytes receives during a program or erase busy for n.
Bytes busy(size_t n)
{
    Bytes v(n + 2, 0x03);  // busy, WEL set ...
    v.front() = 0xFF;      // (nothing answers the opcode)
    v.back() = 0x00;       // ... then idle, WEL cleared
    return v;
}

struct FlashCase {
    const char *name;
    uint8_t fill;  // what the flash holds at first: 0xFF or 0x00
    std::vector<Bytes> commands;
    std::vector<std::pair<uint32_t, Bytes>> changed = {};  // the rest of the flash keeps its fill
    Bytes answer = {};  // received during the last command; empty: not checked
};

class Flash : public testing::TestWithParam<FlashCase> {};

TEST_P(Flash, Commands)
{
    const FlashCase &c = GetParam();
    Driver d(c.fill ? "orvex" : "orvex fill=zero");
    const uint8_t *mem = d.ctrl().flash.mem;
    Bytes want(mem, mem + sim::FLASH_SIZE);
    for (const auto &[addr, bytes] : c.changed)
        std::copy(bytes.begin(), bytes.end(), want.begin() + addr);
    Bytes answer;
    for (const Bytes &sent : c.commands)
        answer = d.command(sent);
    if (!c.answer.empty()) {
        EXPECT_EQ(answer, c.answer);
    }
    for (uint32_t a = 0; a < sim::FLASH_SIZE; ++a)
        ASSERT_EQ(mem[a], want[a]) << "address " << std::hex << a;
    EXPECT_EQ(d.ctrl().protocol_errors, 0u);
}

const Bytes PP = cmd(0x02, 0x100, {0x00}), ERASED = Bytes(sim::SECTOR_SIZE, 0xFF);
const Bytes ALL_ERASED(sim::FLASH_SIZE, 0xFF);

const FlashCase FLASH_CASES[] = {
    {"identity", 0xFF, {{0x90, 0, 0, 0, 0, 0, 0}}, {}, {0xFF, 0xFF, 0xFF, 0xFF, 0xEF, 0x10, 0xEF}},
    {"program_ands_bits",
     0xFF,
     {WREN, cmd(0x02, 0x200, {0x3C, 0x3C}), status(2), WREN, cmd(0x02, 0x200, {0xF0, 0x0F})},
     {{0x200, {0x30, 0x0C}}}},
    {"program_wraps_in_its_page",
     0xFF,
     {WREN, cmd(0x02, 0x3FE, {1, 2, 3, 4})},
     {{0x3FE, {1, 2}}, {0x300, {3, 4}}}},
    {"program_busy_then_wel_cleared", 0xFF, {WREN, PP, status(3)}, {{0x100, {0}}}, busy(2)},
    {"program_needs_wel", 0xFF, {PP}},
    {"write_disable", 0xFF, {WREN, WRDI, PP}},
    {"enable_with_extra_byte", 0xFF, {{0x06, 0x00}, PP}},
    {"enable_as_32_bit_word", 0xFF, {{0, 0, 0, 0x06}, PP}},
    {"sector_erase", 0, {WREN, cmd(0x20, 0x012345), status(21)}, {{0x12000, ERASED}}, busy(20)},
    {"sector_erase_needs_wel", 0, {cmd(0x20, 0)}},
    {"sector_erase_with_extra_byte", 0, {WREN, cmd(0x20, 0, {0})}},
    {"chip_erase", 0, {WREN, {0xC7}, status(101)}, {{0, ALL_ERASED}}, busy(100)},
    {"chip_erase_with_extra_byte", 0, {WREN, {0xC7, 0}}},
    // WEL is still set, but a busy flash takes no command and sends nothing.
    {"busy_ignores_commands",
     0,
     {WREN, cmd(0x20, 0), cmd(0x20, 0x1000), cmd(0x03, 0x2000, {0, 0})},
     {{0, ERASED}},
     Bytes(6, 0xFF)},
};

INSTANTIATE_TEST_SUITE_P(Sim, Flash, testing::ValuesIn(FLASH_CASES), param_name);

uint32_t be32(const uint8_t *p)
{
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

// Tx_REG0 goes out most significant byte first (a 64-bit transaction adds 32 zero bits); what
// comes back shifts into Rx_REG0 from the right; a read goes on as long as the command lasts.
TEST(SimSpi, TransactionsAndRx)
{
    Driver d("orvex fill=pattern");
    const uint8_t *m = d.ctrl().flash.mem + 0x100;
    d.select(true);
    EXPECT_EQ(d.xfer(0x03000100, 0x1C0), be32(m));
    EXPECT_EQ(d.xfer(0, 0x1A0), be32(m + 4));
    EXPECT_EQ(d.xfer(0, 0x188), be32(m + 5));
    d.select(false);
    EXPECT_EQ(d.xfer(0, 0x188), be32(m + 6) | 0xFF);  // released: nobody answers
    EXPECT_EQ(d.ctrl().protocol_errors, 0u);
}

TEST(SimSpi, BadControlWordsAreProtocolErrorsAndStartNothing)
{
    for (uint32_t word : {0x108u, 0x088u, 0x190u, 0x1A1u, 0x180u, 0x3A0u}) {
        Driver d("orvex");
        d.select(true);
        EXPECT_EQ(d.xfer(0x90000000, word), 0u) << std::hex << word;
        EXPECT_EQ(d.ctrl().protocol_errors, 1u) << std::hex << word;
        EXPECT_EQ(d.ctrl().flash.cmd_len, 0u) << std::hex << word;
    }
}

}  // namespace
