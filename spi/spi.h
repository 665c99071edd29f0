// SPDX-License-Identifier: MIT
// The controller's SPI master and the flash commands built on it.
#pragma once

#include <cstdint>
#include <span>

#include "chip/pci.h"
#include "spi/flash_info.h"

// Result codes shared by every layer: 0 success, 1 verify difference, negated errno values.
inline constexpr int RES_OK = 0;
inline constexpr int RES_DIFFERS = 1;
inline constexpr int RES_FAILED = -1;
inline constexpr int RES_NOMEM = -12;      // -ENOMEM
inline constexpr int RES_NODEV = -19;      // -ENODEV
inline constexpr int RES_INVALID = -22;    // -EINVAL
inline constexpr int RES_TIMEDOUT = -110;  // -ETIMEDOUT

// Control words: bits 0x180 always set, the low bits give the transaction length in bits.
inline constexpr uint32_t SPI_XFER_8 = 0x188;
inline constexpr uint32_t SPI_XFER_32 = 0x1A0;
inline constexpr uint32_t SPI_XFER_64 = 0x1C0;

inline constexpr uint32_t SPI_CLOCK_DIVIDER = 10;

// How long a status wait may last before the flash is taken for dead.
inline constexpr int64_t SPI_IDLE_TIMEOUT_NS = 20'000'000'000;
inline constexpr unsigned SPI_POLL_INTERVAL_US = 100;

// The SPI master, one step at a time. None of these sets the master up; the caller has done so
// with orvex_spi_init().
// Starts one transaction of the length `ctrl_word` gives (SPI_XFER_*); nothing waits for it.
void orvex_spi_xfer(pci_dev *dev, uint32_t ctrl_word);
// Chip select: 1 selects the flash (a command starts), 0 releases it (the command ends).
void orvex_spi_cs(pci_dev *dev, int val);
// Selects the flash and clocks out `word` (opcode, address) in a transaction of `ctrl_word`,
// leaving the flash selected for the rest of the command.
void orvex_spi_begin(pci_dev *dev, uint32_t word, uint32_t ctrl_word);
// A whole command without data: orvex_spi_begin(), then release.
void orvex_spi_command(pci_dev *dev, uint32_t word, uint32_t ctrl_word);

// Sets the master up: vendor access on, flash released, window registers, 32-bit transactions,
// clock divider. orvex_spi_uninit() releases the flash and turns the vendor access off, leaving
// the rest as it is. Both may be called again while the master is set up.
void orvex_spi_init(pci_dev *dev);
void orvex_spi_uninit(pci_dev *dev);
void orvex_spi_write_enable(pci_dev *dev);
// RES_OK once the flash reports not busy; RES_TIMEDOUT (message printed, flash released) when
// it is still busy after SPI_IDLE_TIMEOUT_NS.
int orvex_spi_wait_idle(pci_dev *dev);
// The flash's status byte, from one read-status command.
uint8_t orvex_spi_read_status(pci_dev *dev);
// Sets the master up itself and turns the vendor access off again: the identity, masked to its
// length in the flash record.
uint32_t orvex_read_flash_id(pci_dev *dev);

// Where orvex_spi_read hands the bytes when its buffer is shorter than the range: `part` holds the
// flash bytes from `addr` on, and the buffer is filled again once the sink returns.
using spi_read_sink = void (*)(void *ctx, uint32_t addr, std::span<const uint8_t> part);

// Bulk operations on [addr, addr + len):
//   orvex_spi_read   sets the master up itself, waits for idle, reads len bytes into buf, and
//                    ends with orvex_spi_uninit(); len a non-zero multiple of 4, within buf
//                    unless a sink takes the bytes a buffer (a multiple of 4 bytes) at a time.
//   orvex_spi_erase  needs the master set up by the caller and leaves it so; addr and len
//                    multiples of the sector size; the whole flash goes in one chip erase.
//   orvex_spi_write  sets the master up itself and ends with orvex_spi_uninit() on success;
//                    programs the erased range page by page from buf (len within buf).
// Each gives RES_OK; RES_INVALID for a refused length, alignment or a range past the end of the
// flash, with nothing sent; RES_TIMEDOUT when a status wait timed out, returning at once.
int orvex_spi_read(pci_dev *dev, uint32_t addr, uint32_t len, std::span<uint8_t> buf,
                   spi_read_sink sink = nullptr, void *ctx = nullptr);
int orvex_spi_erase(pci_dev *dev, uint32_t addr, uint32_t len);
int orvex_spi_write(pci_dev *dev, uint32_t addr, uint32_t len, std::span<const uint8_t> buf);

// Monotonic time and sleeping, kept apart so the tests can run the status wait on a virtual clock.
int64_t orvex_clock_ns();
void orvex_sleep_us(unsigned us);
