// SPDX-License-Identifier: MIT
// Flash operations called directly, for what whole runs never show: the calls refused before
// anything is sent, erase ranges no run asks for, and the status wait's pauses and give-up on the
// virtual clock. Whole runs' register traffic is pinned by tests/traffic_test.cpp.
#include <gtest/gtest.h>

#include "app/app.h"
#include "chip/chip.h"
#include "spi/spi.h"
#include "tests/harness.h"

namespace {

// Runs `body` on the opened controller in a child; what it prints is the result.
RunResult on_controller(const SimBus &bus, const std::function<void(pci_dev *)> &body)
{
    return run_child(*bus, [&] {
        pci_dev *dev = open_orvex();
        if (dev)
            body(dev);
        return dev ? 0 : 99;
    });
}

// Refused lengths, alignments and ranges, and data shorter than the length, send nothing at all.
TEST(FlashOps, RefusalsSendNothing)
{
    SimBus bus;
    bus.add_orvex();
    RunResult r = on_controller(bus, [](pci_dev *dev) {
        uint8_t buf[16];
        const int results[] = {
            orvex_spi_read(dev, 0, 0, buf),        orvex_spi_read(dev, 0, 2, buf),
            orvex_spi_read(dev, 0, 6, buf),        orvex_spi_read(dev, 0x1FFFC, 8, buf),
            orvex_spi_erase(dev, 0x10, 0x1000),    orvex_spi_erase(dev, 0, 0x10),
            orvex_spi_erase(dev, 0x1F000, 0x2000), orvex_spi_write(dev, 0, 8, {buf, 4})};
        for (int res : results)
            std::printf("%d ", res);
    });
    EXPECT_EQ(r.out, "-22 -22 -22 -22 -22 -22 -22 -22 ");
    EXPECT_EQ(bus->log_count, 0u);
}

// Runs erase from their offset to the end. A range from 0 that stops short goes sector by sector
// rather than in one chip erase, and an empty range, even one at the very end, erases nothing.
TEST(FlashOps, EraseRangesRunsNeverAskFor)
{
    const std::vector<uint8_t> old = pattern(sim::FLASH_SIZE);
    for (const auto &[addr, len] :
         {std::pair<uint32_t, uint32_t>{0, 0x1F000}, {0, 0}, {0x20000, 0}}) {
        SCOPED_TRACE(testing::Message() << "erase " << addr << " +" << len);
        SimBus bus;
        bus.add_orvex();
        bus.set_flash(old);
        RunResult r = on_controller(bus, [&](pci_dev *dev) {
            orvex_spi_init(dev);
            std::printf("%d", orvex_spi_erase(dev, addr, len));
            orvex_spi_uninit(dev);
        });
        EXPECT_EQ(r.out, "0");
        std::vector<uint32_t> erases, expected;
        for (uint32_t w : tx_words(*bus))
            if (w == 0xC7 || w >> 24 == 0x20)
                erases.push_back(w);
        for (uint32_t a = addr; a < addr + len; a += 0x1000)
            expected.push_back(0x20000000 | a);
        EXPECT_EQ(erases, expected);
        std::vector<uint8_t> after = old;
        std::fill_n(after.begin() + addr, len, 0xFF);
        EXPECT_TRUE(bus.flash() == after);
    }
}

// One 100 us pause after each busy status byte; a flash that stays busy is given up on after 20
// seconds. Either way chip select is released.
TEST(WaitIdle, PausesPerBusyByteAndGivesUpAfterTwentySeconds)
{
    for (const bool stuck : {false, true}) {
        SimBus bus;
        bus.add_orvex();
        bus->dev[0].ctrl.flash.busy_polls = 7;
        bus->dev[0].ctrl.faults.never_idle = stuck;
        RunResult r = on_controller(bus, [](pci_dev *dev) {
            const int64_t start = orvex_clock_ns();
            int res = orvex_spi_wait_idle(dev);
            std::printf("%d %lld", res, static_cast<long long>((orvex_clock_ns() - start) / 1000));
        });
        if (stuck) {
            EXPECT_EQ(r.out, "* timed out waiting for the flash to become idle\n-110 20000000");
        } else {
            EXPECT_EQ(r.out, "0 700");
            EXPECT_EQ(bus->dev[0].ctrl.status_polls, 8u);
        }
        EXPECT_EQ(sim::reg_peek(*bus, 0, CHIP_SEL), 1u) << "chip select released";
    }
}

}  // namespace
