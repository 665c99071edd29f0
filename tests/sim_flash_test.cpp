// The simulated SPI master and flash, driven only through configuration-space accesses, as a
// driver sees them.
#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
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
    uint8_t *mem()
    {
        return ctrl().flash.mem;
    }

    void write(uint32_t reg, uint32_t value)
    {
        EXPECT_EQ(sim::cfg_write(*bus, 0, sim::CONFIG_WINDOW_ADDR, 4, reg), sim::Access::ok);
        EXPECT_EQ(sim::cfg_write(*bus, 0, sim::CONFIG_WINDOW_DATA, 4, value), sim::Access::ok);
    }
    uint32_t read(uint32_t reg)
    {
        uint32_t v = 0;
        EXPECT_EQ(sim::cfg_write(*bus, 0, sim::CONFIG_WINDOW_ADDR, 4, reg), sim::Access::ok);
        EXPECT_EQ(sim::cfg_read(*bus, 0, sim::CONFIG_WINDOW_DATA, 4, v), sim::Access::ok);
        return v;
    }
    void select()
    {
        write(sim::REG_CHIP_SEL, 0);
    }
    void release()
    {
        write(sim::REG_CHIP_SEL, 1);
    }
    // One transaction; returns Rx_REG0 afterwards.
    uint32_t xfer(uint32_t tx, uint32_t ctrl_word)
    {
        write(sim::REG_TX, tx);
        write(sim::REG_CTRL, ctrl_word);
        return read(sim::REG_RX);
    }
    uint8_t x8(uint8_t b)
    {
        return uint8_t(xfer(b, 0x188));
    }
    uint32_t x32(uint32_t w)
    {
        return xfer(w, 0x1A0);
    }

    // A command of whole bytes, one 8-bit transaction each.
    void command(const Bytes &bytes)
    {
        select();
        for (uint8_t b : bytes)
            x8(b);
        release();
    }
    uint8_t status()
    {
        select();
        x8(0x05);
        const uint8_t s = x8(0);
        release();
        return s;
    }
    // Polls in one read-status command until idle; returns the busy status bytes seen.
    int wait_idle(int limit = 10000)
    {
        select();
        x8(0x05);
        int busy = 0;
        while ((x8(0) & 1) && busy < limit)
            ++busy;
        release();
        return busy;
    }
    // Page program as 32-bit words (padded with 0xFF), without write enable.
    void program(uint32_t addr, const Bytes &data)
    {
        select();
        x32(0x02000000u | addr);
        for (size_t i = 0; i < data.size(); i += 4) {
            uint32_t w = 0;
            for (size_t k = i; k < i + 4; ++k)
                w = (w << 8) | (k < data.size() ? data[k] : 0xFF);
            x32(w);
        }
        release();
    }
    // One 64-bit transaction for opcode, address and the first word, then 32-bit ones.
    Bytes read_flash(uint32_t addr, size_t n)
    {
        Bytes out;
        select();
        for (uint32_t w = xfer(0x03000000u | addr, 0x1C0); out.size() < n; w = x32(0))
            for (int s = 24; s >= 0; s -= 8)
                out.push_back(uint8_t(w >> s));
        release();
        out.resize(n);
        return out;
    }
};

// --- SPI master ----------------------------------------------------------------------------------

struct IdentityCase {
    const char *scenario;
    uint32_t ctrl_word;
    uint32_t rx;
};

class Identity : public testing::TestWithParam<IdentityCase> {};

TEST_P(Identity, BytesAfterTheAddress)
{
    Driver d(GetParam().scenario);
    d.select();
    EXPECT_EQ(d.xfer(0x90000000, GetParam().ctrl_word), GetParam().rx);
}

INSTANTIATE_TEST_SUITE_P(
    Sim, Identity,
    testing::Values(IdentityCase{"orvex", 0x1C0, 0xEF10EF10},
                    IdentityCase{"orvex id=1234", 0x1C0, 0x12341234},
                    IdentityCase{"orvex", 0x1A0, 0xFFFFFFFF},  // address phase: flash silent
                    IdentityCase{"orvex never-idle", 0x1C0, 0xEF10EF10}));  // only status is stuck

TEST(SimSpi, ReceivedBitsShiftIntoRxFromTheRight)
{
    Driver d("orvex fill=zero");
    d.select();
    EXPECT_EQ(d.x32(0x03000000), 0xFFFFFFFFu);  // read from 0: address phase
    EXPECT_EQ(d.xfer(0, 0x188), 0xFFFFFF00u);
    EXPECT_EQ(d.xfer(0, 0x188), 0xFFFF0000u);
    d.release();
    EXPECT_EQ(d.xfer(0, 0x188), 0xFF0000FFu);  // released: nobody answers
    EXPECT_EQ(d.xfer(0x03000000, 0x1C0), 0xFFFFFFFFu);
    EXPECT_EQ(d.ctrl().protocol_errors, 0u);
}

TEST(SimSpi, BadControlWordsStartNothing)
{
    for (uint32_t word : {0x108u, 0x088u, 0x190u, 0x1A1u, 0x180u, 0x3A0u, 0x1FFu}) {
        Driver d("orvex");
        d.select();
        EXPECT_EQ(d.xfer(0x90000000, word), 0u) << std::hex << word;
        EXPECT_EQ(d.ctrl().protocol_errors, 1u) << std::hex << word;
        EXPECT_EQ(d.ctrl().flash.cmd_len, 0u) << std::hex << word;
    }
}

// --- write enable and programming ----------------------------------------------------------------

struct WelCase {
    const char *name;
    std::vector<Bytes> before;  // commands sent before the page program
    bool programs;
};

class WriteEnable : public testing::TestWithParam<WelCase> {};

TEST_P(WriteEnable, GatesPageProgram)
{
    Driver d("orvex timing=0:0:0");
    for (const Bytes &c : GetParam().before)
        d.command(c);
    d.program(0x100, {0x12, 0x34, 0x56, 0x78});
    EXPECT_EQ(d.mem()[0x100] == 0x12, GetParam().programs);
    EXPECT_EQ(d.status(), 0) << "WEL cleared by the program, or never set";
}

INSTANTIATE_TEST_SUITE_P(Sim, WriteEnable,
                         testing::Values(WelCase{"none", {}, false},
                                         WelCase{"enable", {{0x06}}, true},
                                         WelCase{"enable_long", {{0x06, 0x00}}, false},
                                         WelCase{"enable_as_word", {{0, 0, 0, 0x06}}, false},
                                         WelCase{"disable", {{0x06}, {0x04}}, false},
                                         WelCase{"disable_long", {{0x06}, {0x04, 0}}, true},
                                         WelCase{"empty_command", {{0x06}, {}}, true}),
                         param_name);

struct ProgramCase {
    const char *name;
    const char *scenario;
    std::vector<std::pair<uint32_t, Bytes>> programs;
    std::vector<std::pair<uint32_t, Bytes>> expect;  // everything else stays erased
};

class Program : public testing::TestWithParam<ProgramCase> {};

TEST_P(Program, ChangesExactlyTheBytes)
{
    Driver d(GetParam().scenario);
    for (const auto &[addr, data] : GetParam().programs) {
        d.command({0x06});
        d.program(addr, data);
        d.wait_idle();
    }
    std::vector<bool> checked(sim::FLASH_SIZE);
    for (const auto &[addr, data] : GetParam().expect) {
        EXPECT_EQ(d.read_flash(addr, data.size()), data) << std::hex << addr;
        for (size_t i = 0; i < data.size(); ++i)
            checked[addr + i] = true;
    }
    for (uint32_t a = 0; a < sim::FLASH_SIZE; ++a)
        if (!checked[a]) {
            ASSERT_EQ(d.mem()[a], 0xFF) << std::hex << a;
        }
}

// n bytes of 0x0F with A0 A1 A2 A3 at `at`.
Bytes marked(size_t n, size_t at)
{
    Bytes v(n, 0x0F);
    for (size_t i = 0; i < 4; ++i)
        v[at + i] = uint8_t(0xA0 + i);
    return v;
}

INSTANTIATE_TEST_SUITE_P(
    Sim, Program,
    testing::Values(
        ProgramCase{"and",
                    "orvex",
                    {{0x200, {0x3C, 0x3C, 0x3C, 0x3C}}, {0x200, {0xF0, 0xFF, 0x0F, 0xC3}}},
                    {{0x200, {0x30, 0x3C, 0x0C, 0x00}}}},
        ProgramCase{"page_wrap",
                    "orvex",
                    {{0x3FC, {1, 2, 3, 4, 5, 6, 7, 8}}},
                    {{0x3FC, {1, 2, 3, 4}}, {0x300, {5, 6, 7, 8}}}},
        ProgramCase{"later_replaces_earlier",
                    "orvex",
                    {{0x500, marked(260, 256)}},
                    {{0x500, marked(256, 0)}}},
        ProgramCase{"flip",
                    "orvex flip=0x102:3",
                    {{0x100, {0x00, 0x11, 0x22, 0x33}}, {0x200, {0x00, 0x11, 0x22, 0x33}}},
                    {{0x100, {0x00, 0x11, 0x2A, 0x33}}, {0x200, {0x00, 0x11, 0x22, 0x33}}}},
        ProgramCase{"address_wraps", "orvex", {{0x020010, {0x42}}}, {{0x10, {0x42}}}}),
    param_name);

TEST(SimFlash, ReadWrapsAtTheEndOfTheFlash)
{
    Driver d("orvex fill=pattern");
    const uint8_t *m = d.mem();
    EXPECT_EQ(d.read_flash(0x1FFFE, 4), (Bytes{m[0x1FFFE], m[0x1FFFF], m[0], m[1]}));
}

// --- erase ---------------------------------------------------------------------------------------

struct EraseCase {
    const char *name;
    Bytes cmd;
    bool enable;
    uint32_t first, end;  // range expected erased
};

class Erase : public testing::TestWithParam<EraseCase> {};

TEST_P(Erase, ErasesExactlyTheRange)
{
    Driver d("orvex fill=zero timing=0:0:0");
    if (GetParam().enable)
        d.command({0x06});
    d.command(GetParam().cmd);
    for (uint32_t a = 0; a < sim::FLASH_SIZE; ++a) {
        const bool erased = a >= GetParam().first && a < GetParam().end;
        ASSERT_EQ(d.mem()[a], erased ? 0xFF : 0x00) << std::hex << a;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Sim, Erase,
    testing::Values(EraseCase{"sector", {0x20, 0x01, 0x23, 0x45}, true, 0x12000, 0x13000},
                    EraseCase{"sector_wraps", {0x20, 0x02, 0x10, 0x00}, true, 0x1000, 0x2000},
                    EraseCase{"sector_no_enable", {0x20, 0, 0x10, 0}, false, 0, 0},
                    EraseCase{"sector_long", {0x20, 0, 0x10, 0, 0}, true, 0, 0},
                    EraseCase{"sector_short", {0x20, 0, 0x10}, true, 0, 0},
                    EraseCase{"chip_c7", {0xC7}, true, 0, sim::FLASH_SIZE},
                    EraseCase{"chip_60", {0x60}, true, 0, sim::FLASH_SIZE},
                    EraseCase{"chip_no_enable", {0xC7}, false, 0, 0},
                    EraseCase{"chip_long", {0xC7, 0}, true, 0, 0}),
    param_name);

// --- busy ----------------------------------------------------------------------------------------

TEST(SimFlash, BusyForTheConfiguredStatusBytes)
{
    const std::pair<Bytes, int> ops[] = {
        {{0x02, 0, 0, 0, 0}, 3}, {{0x20, 0, 0, 0}, 5}, {{0xC7}, 7}};
    for (const auto &[cmd, polls] : ops) {
        Driver d("orvex timing=3:5:7");
        d.command({0x06});
        d.command(cmd);
        EXPECT_EQ(d.status(), 3) << "busy, WEL still set: " << int(cmd[0]);
        EXPECT_EQ(d.wait_idle(), polls - 1) << int(cmd[0]);
        EXPECT_EQ(d.status(), 0) << "idle, WEL cleared: " << int(cmd[0]);
        EXPECT_EQ(d.ctrl().status_polls, uint64_t(polls) + 2) << int(cmd[0]);
    }
}

TEST(SimFlash, CommandsAreIgnoredWhileBusy)
{
    Driver d("orvex fill=zero timing=100:100:100");
    d.command({0x06});
    d.command({0x20, 0, 0, 0});
    EXPECT_EQ(d.read_flash(0x1000, 4), Bytes(4, 0xFF));
    d.command({0x04});  // would clear WEL
    d.command({0x20, 0, 0x10, 0});
    d.program(0x1000, {0x55});
    d.select();
    EXPECT_EQ(d.xfer(0x90000000, 0x1C0), 0xFFFFFFFFu);
    d.release();
    EXPECT_EQ(d.mem()[0x1000], 0x00);
    EXPECT_EQ(d.status(), 3);
    EXPECT_EQ(d.wait_idle(), 99);
    EXPECT_EQ(d.status(), 0);
}

// A stuck busy bit: the status never clears, whatever the part has done.
TEST(SimFlash, NeverIdleStatusStaysBusy)
{
    Driver d("orvex fill=zero never-idle timing=0:0:0");
    d.command({0x06});
    d.command({0xC7});
    EXPECT_EQ(d.wait_idle(50), 50);
    EXPECT_EQ(d.status() & 1, 1);
    EXPECT_EQ(d.mem()[0], 0xFF);
    EXPECT_EQ(d.ctrl().status_polls, 52u);
}

}  // namespace
