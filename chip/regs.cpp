// SPDX-License-Identifier: MIT
// Register window and the "-d" trace of named registers.
#include <array>
#include <cstdio>

#include "chip/chip.h"

int verbose = 0;

namespace {

struct RegName {
    uint32_t address;
    std::string_view name;
};

constexpr std::array<RegName, 8> reg_names{{
    {STOP_POLLING, "STOP_POLLING"},
    {PCI_WB_EN, "PCI_WB_EN"},
    {Tx_REG0, "Tx_REG0"},
    {Rx_REG0, "Rx_REG0"},
    {CTRL_REG, "CTRL_REG"},
    {STS_REG, "STS_REG"},
    {CLK_DIV, "CLK_DIV"},
    {CHIP_SEL, "CHIP_SEL"},
}};

void trace(char dir, uint32_t address, uint32_t value)
{
    if (!verbose)
        return;
    std::string_view name = reg_name(address);
    if (!name.empty())
        std::printf("%c %.*s %08x\n", dir, static_cast<int>(name.size()), name.data(), value);
}

}  // namespace

std::string_view reg_name(uint32_t address)
{
    for (const RegName &r : reg_names)
        if (r.address == address)
            return r.name;
    return {};
}

void orvex_init(pci_dev *dev)
{
    pci_write_byte(dev, CFG_VENDOR_ACCESS, 1);
}

void orvex_uninit(pci_dev *dev)
{
    pci_write_byte(dev, CFG_VENDOR_ACCESS, 0);
}

// A write is traced before it happens, so the trace shows what was attempted.
void orvex_write_u32(pci_dev *dev, uint32_t address, uint32_t data)
{
    trace('W', address, data);
    pci_write_long(dev, CFG_WINDOW_ADDR, address);
    pci_write_long(dev, CFG_WINDOW_DATA, data);
}

// A read is traced after it happens, with the value seen.
uint32_t orvex_read_u32(pci_dev *dev, uint32_t address)
{
    pci_write_long(dev, CFG_WINDOW_ADDR, address);
    uint32_t value = pci_read_long(dev, CFG_WINDOW_DATA);
    trace('R', address, value);
    return value;
}

void orvex_write_u32_masked(pci_dev *dev, uint32_t address, uint32_t data, uint32_t mask)
{
    uint32_t old = orvex_read_u32(dev, address);
    orvex_write_u32(dev, address, (old & ~mask) | (data & mask));
}
