// SPDX-License-Identifier: MIT
// The ORVEX's internal registers, reached through a window in its PCI configuration space:
// one dword takes the internal address, the next one carries the value at that address.
#pragma once

#include <cstdint>
#include <string_view>

#include "chip/pci.h"

// Configuration-space locations of the controller.
inline constexpr int CFG_VENDOR_ACCESS = 0x43;  // byte: 1 opens the vendor access, 0 closes it
inline constexpr int CFG_FW_VERSION = 0x50;     // dword: firmware version
inline constexpr int CFG_WINDOW_ADDR = 0x78;    // dword: internal register address
inline constexpr int CFG_WINDOW_DATA = 0x7C;    // dword: value of the addressed register

// Internal registers the tool touches.
inline constexpr uint32_t REG_30004 = 0x00030004;  // has no name in the register map
inline constexpr uint32_t STOP_POLLING = 0x0004000C;
inline constexpr uint32_t PCI_WB_EN = 0x00040020;
inline constexpr uint32_t Tx_REG0 = 0x000400D0;
inline constexpr uint32_t Rx_REG0 = 0x000400E0;
inline constexpr uint32_t CTRL_REG = 0x000400F0;
inline constexpr uint32_t STS_REG = 0x000400F4;
inline constexpr uint32_t CLK_DIV = 0x000400F8;
inline constexpr uint32_t CHIP_SEL = 0x000400FC;

// 1: each access to a named register is printed ("-d").
extern int verbose;

void orvex_init(pci_dev *dev);
void orvex_uninit(pci_dev *dev);
void orvex_write_u32(pci_dev *dev, uint32_t address, uint32_t data);
uint32_t orvex_read_u32(pci_dev *dev, uint32_t address);
void orvex_write_u32_masked(pci_dev *dev, uint32_t address, uint32_t data, uint32_t mask);

// The register's name for the trace, or an empty view when it has none.
std::string_view reg_name(uint32_t address);
