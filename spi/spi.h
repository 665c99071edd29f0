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

// OR-ed into every control word; nothing changes them.
extern const uint32_t rx_edge;
extern const uint32_t tx_edge;

void orvex_spi_xfer(pci_dev *dev, uint32_t ctrl_word);
void orvex_spi_cs(pci_dev *dev, int val);
void orvex_spi_init(pci_dev *dev);
void orvex_spi_uninit(pci_dev *dev);
void orvex_spi_write_enable(pci_dev *dev);
// 0 once the flash reports not busy; -110 when it is still busy after SPI_IDLE_TIMEOUT_NS.
int orvex_spi_wait_idle(pci_dev *dev);
uint32_t orvex_read_flash_id(pci_dev *dev);

// Bulk operations: 0, -22 for a refused length or alignment (nothing sent), -110 on a timeout.
int orvex_spi_read(pci_dev *dev, uint32_t addr, uint32_t len, std::span<uint8_t> buf);
int orvex_spi_erase(pci_dev *dev, uint32_t addr, uint32_t len);
int orvex_spi_write(pci_dev *dev, uint32_t addr, uint32_t len, std::span<const uint8_t> buf);

// Monotonic time and sleeping, kept apart so the tests can run the status wait on a virtual clock.
int64_t orvex_clock_ns();
void orvex_sleep_us(unsigned us);
