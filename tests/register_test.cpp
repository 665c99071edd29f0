// The register sequences the tool must send, seen from the simulated controller.
#include <gtest/gtest.h>

#include <algorithm>

#include "app/app.h"
#include "chip/chip.h"
#include "spi/spi.h"
#include "tests/harness.h"

namespace {

using Writes = std::vector<std::pair<uint32_t, uint32_t>>;

// Runs `body` on the opened controller in a child, with the trace on when asked.
RunResult on_controller(SimBus &bus, bool trace, const std::function<int(pci_dev *)> &body)
{
    return run_child(*bus, [&] {
        verbose = trace;
        pci_dev *dev = open_orvex();
        return dev ? body(dev) : 99;
    });
}

TEST(Trace, IdentityRead)
{
    SimBus bus;
    bus.add_orvex();
    RunResult r = on_controller(
        bus, true, [](pci_dev *dev) { return orvex_read_flash_id(dev) == 0xEF10 ? 0 : 1; });
    EXPECT_EQ(r.status, 0);
    const std::vector<std::string> lines = split_lines(r.out);
    const std::vector<std::string> expected_shape = {
        "W CHIP_SEL 00000001", "R PCI_WB_EN",         "W PCI_WB_EN",        "R STOP_POLLING",
        "W STOP_POLLING",      "W CTRL_REG 000001a0", "W CLK_DIV 0000000a", "W CHIP_SEL 00000000",
        "W Tx_REG0 90000000",  "W CTRL_REG 000001c0", "R Rx_REG0",          "W CHIP_SEL 00000001"};
    ASSERT_EQ(lines.size(), expected_shape.size()) << r.out;
    for (size_t i = 0; i < lines.size(); i++)
        EXPECT_TRUE(lines[i].starts_with(expected_shape[i])) << lines[i];
    // Each line carries the value that crossed the window, as the controller saw it.
    EXPECT_EQ(lines, named_register_trace(*bus));
    EXPECT_TRUE(lines[10].ends_with("ef10")) << lines[10];
}

TEST(Trace, WriteEnable)
{
    SimBus bus;
    bus.add_orvex();
    RunResult r = on_controller(bus, true, [](pci_dev *dev) {
        orvex_spi_write_enable(dev);
        return 0;
    });
    EXPECT_EQ(split_lines(r.out),
              (std::vector<std::string>{"W CHIP_SEL 00000000", "W Tx_REG0 00000006",
                                        "W CTRL_REG 00000188", "W CHIP_SEL 00000001"}));
    EXPECT_EQ(bus->dev[0].ctrl.flash.wel, 1);
}

TEST(Trace, SilentWithoutVerbose)
{
    SimBus bus;
    bus.add_orvex();
    RunResult r = on_controller(bus, false, [](pci_dev *dev) {
        orvex_spi_init(dev);
        orvex_read_flash_id(dev);
        return 0;
    });
    EXPECT_EQ(r.out, "");
}

TEST(Registers, MaskedWritesKeepOtherBits)
{
    SimBus bus;
    bus.add_orvex();
    const uint32_t r30004 = sim::reg_peek(*bus, 0, REG_30004);
    const uint32_t wb_en = sim::reg_peek(*bus, 0, PCI_WB_EN);
    const uint32_t stop = sim::reg_peek(*bus, 0, STOP_POLLING);
    RunResult r = on_controller(bus, true, [](pci_dev *dev) {
        orvex_write_u32_masked(dev, REG_30004, 0x200, 0xFF00);
        std::printf("--\n");
        orvex_spi_init(dev);
        return 0;
    });
    EXPECT_TRUE(r.out.starts_with("--\n")) << "register 0x30004 has no name to trace";
    EXPECT_EQ(sim::reg_peek(*bus, 0, REG_30004), (r30004 & ~0xFF00u) | 0x200);
    EXPECT_EQ(sim::reg_peek(*bus, 0, PCI_WB_EN), (wb_en & ~0xFFu) | 1);
    EXPECT_EQ(sim::reg_peek(*bus, 0, STOP_POLLING), (stop & ~0xFFu) | 1);
    EXPECT_EQ(sim::reg_peek(*bus, 0, CLK_DIV), 10u);
    EXPECT_EQ(bus->dev[0].ctrl.protocol_errors, 0u) << bus->dev[0].ctrl.last_error;
}

TEST(Registers, EveryAccessRewritesTheWindowAddress)
{
    SimBus bus;
    bus.add_orvex();
    on_controller(bus, false, [](pci_dev *dev) {
        orvex_write_u32(dev, CLK_DIV, 3);
        orvex_read_u32(dev, CLK_DIV);
        return 0;
    });
    const sim::CfgAccess *a = bus->log;
    ASSERT_EQ(bus->log_count, 4u);
    EXPECT_EQ(std::make_tuple(a[0].kind, a[0].offset, a[0].value),
              std::make_tuple('W', uint16_t{0x78}, CLK_DIV));
    EXPECT_EQ(std::make_tuple(a[1].kind, a[1].offset, a[1].value),
              std::make_tuple('W', uint16_t{0x7C}, 3u));
    EXPECT_EQ(std::make_tuple(a[2].kind, a[2].offset, a[2].value),
              std::make_tuple('W', uint16_t{0x78}, CLK_DIV));
    EXPECT_EQ(std::make_tuple(a[3].kind, a[3].offset, a[3].value),
              std::make_tuple('R', uint16_t{0x7C}, 3u));
}

// Refused lengths and alignments send nothing at all.
TEST(FlashOps, RefusalsSendNothing)
{
    SimBus bus;
    bus.add_orvex();
    RunResult r = on_controller(bus, false, [](pci_dev *dev) {
        uint8_t buf[16];
        int results[] = {orvex_spi_read(dev, 0, 0, buf),       orvex_spi_read(dev, 0, 2, buf),
                         orvex_spi_read(dev, 0, 6, buf),       orvex_spi_read(dev, 0x1FFFC, 8, buf),
                         orvex_spi_erase(dev, 0x10, 0x1000),   orvex_spi_erase(dev, 0, 0x10),
                         orvex_spi_erase(dev, 0x1F000, 0x2000)};
        for (int res : results)
            std::printf("%d ", res);
        return 0;
    });
    EXPECT_EQ(r.out, "-22 -22 -22 -22 -22 -22 -22 ");
    EXPECT_EQ(bus->log_count, 0u);
}

struct EraseCase {
    uint32_t addr, len;
    std::vector<uint32_t> commands;  // erase commands as sent in Tx_REG0
};

void PrintTo(const EraseCase &c, std::ostream *os)
{
    *os << "erase " << std::hex << c.addr << " +" << c.len;
}

class EraseTest : public ::testing::TestWithParam<EraseCase> {};

TEST_P(EraseTest, SendsTheRightErases)
{
    SimBus bus;
    bus.add_orvex();
    bus.set_flash(pattern(sim::FLASH_SIZE));
    const std::vector<uint8_t> before = bus.flash();
    const EraseCase &c = GetParam();
    RunResult r = on_controller(bus, false, [&](pci_dev *dev) {
        orvex_spi_init(dev);
        int res = orvex_spi_erase(dev, c.addr, c.len);
        orvex_spi_uninit(dev);
        return res;
    });
    EXPECT_EQ(r.status, 0);
    std::vector<uint32_t> commands;
    for (uint32_t w : tx_words(*bus))
        if (w == 0xC7 || w >> 24 == 0x20)
            commands.push_back(w);
    EXPECT_EQ(commands, c.commands);
    const std::vector<uint8_t> after = bus.flash();
    for (uint32_t a = 0; a < sim::FLASH_SIZE; a++) {
        const bool erased = a >= c.addr && a - c.addr < c.len;
        ASSERT_EQ(after[a], erased ? 0xFF : before[a]) << "address " << a;
    }
}

std::vector<uint32_t> sector_erases(uint32_t from, uint32_t to)
{
    std::vector<uint32_t> v;
    for (uint32_t a = from; a < to; a += 0x1000)
        v.push_back(0x20000000 | a);
    return v;
}

INSTANTIATE_TEST_SUITE_P(Ranges, EraseTest,
                         ::testing::Values(EraseCase{0, 0x20000, {0xC7}},
                                           EraseCase{0x1000, 0x1F000,
                                                     sector_erases(0x1000, 0x20000)},
                                           EraseCase{0, 0x1000, {0x20000000}},
                                           EraseCase{0, 0x1F000, sector_erases(0, 0x1F000)},
                                           EraseCase{0x1F000, 0x1000, {0x2001F000}},
                                           EraseCase{0, 0, {}}, EraseCase{0x20000, 0, {}}));

struct ProgramCase {
    uint32_t len;
    std::vector<std::pair<uint32_t, size_t>> programs;  // command word, data words that follow
};

void PrintTo(const ProgramCase &c, std::ostream *os)
{
    *os << "program " << c.len << " bytes";
}

class ProgramTest : public ::testing::TestWithParam<ProgramCase> {};

TEST_P(ProgramTest, PagesAndLastWord)
{
    SimBus bus;
    bus.add_orvex();
    const std::vector<uint8_t> data = pattern(GetParam().len);
    RunResult r = on_controller(bus, false, [&](pci_dev *dev) {
        return orvex_spi_write(dev, 0, static_cast<uint32_t>(data.size()), data);
    });
    EXPECT_EQ(r.status, 0);

    // After each chip-select change a new command starts: a page program word, then its data.
    std::vector<std::pair<uint32_t, size_t>> programs;
    std::vector<uint32_t> data_words;
    bool in_program = false;
    for (const auto &[address, value] : register_writes(*bus)) {
        if (address == CHIP_SEL) {
            in_program = false;
        } else if (address == Tx_REG0 && !in_program && value >> 24 == 0x02) {
            programs.emplace_back(value, 0);
            in_program = true;
        } else if (address == Tx_REG0 && in_program) {
            programs.back().second++;
            data_words.push_back(value);
        }
    }
    EXPECT_EQ(programs, GetParam().programs);

    // The data words carry the bytes first byte most significant, the last group padded with 0xFF.
    std::vector<uint8_t> padded = data;
    padded.resize((data.size() + 3) / 4 * 4, 0xFF);
    ASSERT_EQ(data_words.size() * 4, padded.size());
    for (size_t i = 0; i < data_words.size(); i++) {
        const uint32_t expected = uint32_t{padded[4 * i]} << 24 |
                                  uint32_t{padded[4 * i + 1]} << 16 |
                                  uint32_t{padded[4 * i + 2]} << 8 | padded[4 * i + 3];
        ASSERT_EQ(data_words[i], expected) << "word " << i;
    }
    const std::vector<uint8_t> after = bus.flash();
    EXPECT_TRUE(std::equal(data.begin(), data.end(), after.begin()));
    EXPECT_TRUE(std::all_of(after.begin() + static_cast<long>(data.size()), after.end(),
                            [](uint8_t b) { return b == 0xFF; }));
}

INSTANTIATE_TEST_SUITE_P(Lengths, ProgramTest,
                         ::testing::Values(ProgramCase{5, {{0x02000000, 2}}},
                                           ProgramCase{257, {{0x02000000, 64}, {0x02000100, 1}}},
                                           ProgramCase{256, {{0x02000000, 64}}},
                                           ProgramCase{0, {}}));

TEST(WaitIdle, PollsUntilIdleOnePausePerBusyByte)
{
    SimBus bus;
    bus.add_orvex();
    bus->dev[0].ctrl.flash.busy_polls = 7;
    RunResult r = on_controller(bus, false, [](pci_dev *dev) {
        const int64_t start = orvex_clock_ns();
        int res = orvex_spi_wait_idle(dev);
        std::printf("%lld", static_cast<long long>((orvex_clock_ns() - start) / 1000));
        return res;
    });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "700");  // seven busy answers, one 100 us pause after each
    EXPECT_EQ(bus->dev[0].ctrl.status_polls, 8u);
    EXPECT_EQ(sim::reg_peek(*bus, 0, CHIP_SEL), 1u);
}

TEST(WaitIdle, GivesUpAfterTwentySeconds)
{
    SimBus bus;
    bus.add_orvex();
    bus->dev[0].ctrl.faults.never_idle = 1;
    RunResult r = on_controller(bus, false, [](pci_dev *dev) {
        int res = orvex_spi_wait_idle(dev);
        std::printf("%d %lld\n", res, static_cast<long long>(orvex_clock_ns() / 1000000));
        return 0;
    });
    EXPECT_EQ(r.out, "* timed out waiting for the flash to become idle\n-110 20000\n");
    EXPECT_EQ(sim::reg_peek(*bus, 0, CHIP_SEL), 1u) << "chip select released";
}

}  // namespace
