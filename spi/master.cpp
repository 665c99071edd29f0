// SPDX-License-Identifier: MIT
// Set-up of the SPI master, chip select, and the single-command building blocks.
#include <cstdio>

#include "chip/chip.h"
#include "spi/spi.h"

// Starts one transaction; nothing waits for it, the next register access follows at once.
void orvex_spi_xfer(pci_dev *dev, uint32_t ctrl_word)
{
    orvex_write_u32(dev, CTRL_REG, ctrl_word);
}

void orvex_spi_cs(pci_dev *dev, int val)
{
    orvex_write_u32(dev, CHIP_SEL, val ? 0 : 1);  // the line is active low
}

void orvex_spi_begin(pci_dev *dev, uint32_t word, uint32_t ctrl_word)
{
    orvex_spi_cs(dev, 1);
    orvex_write_u32(dev, Tx_REG0, word);
    orvex_spi_xfer(dev, ctrl_word);
}

void orvex_spi_command(pci_dev *dev, uint32_t word, uint32_t ctrl_word)
{
    orvex_spi_begin(dev, word, ctrl_word);
    orvex_spi_cs(dev, 0);
}

void orvex_spi_init(pci_dev *dev)
{
    orvex_init(dev);
    orvex_spi_cs(dev, 0);
    orvex_write_u32_masked(dev, REG_30004, 0x00000200, 0x0000FF00);
    orvex_write_u32_masked(dev, PCI_WB_EN, 0x01, 0xFF);
    orvex_write_u32_masked(dev, STOP_POLLING, 0x01, 0xFF);
    orvex_spi_xfer(dev, SPI_XFER_32);
    orvex_write_u32(dev, CLK_DIV, SPI_CLOCK_DIVIDER);
}

// Leaves the master set up; only chip select and the vendor access change.
void orvex_spi_uninit(pci_dev *dev)
{
    orvex_spi_cs(dev, 0);
    orvex_uninit(dev);
}

void orvex_spi_write_enable(pci_dev *dev)
{
    orvex_spi_command(dev, g_flash_info.write_enable, SPI_XFER_8);
}

// One read-status command: the flash repeats its status byte for as long as it stays selected.
// A flash that never comes out of busy (a dead one reads as all ones) is given up on after
// SPI_IDLE_TIMEOUT_NS, so the run can say so instead of hanging.
int orvex_spi_wait_idle(pci_dev *dev)
{
    const int64_t start = orvex_clock_ns();
    orvex_spi_begin(dev, g_flash_info.read_status, SPI_XFER_8);
    for (;;) {
        orvex_spi_xfer(dev, SPI_XFER_8);
        if (!(orvex_read_u32(dev, Rx_REG0) & g_flash_info.busy_mask))
            break;
        if (orvex_clock_ns() - start >= SPI_IDLE_TIMEOUT_NS) {
            orvex_spi_cs(dev, 0);
            std::printf("* timed out waiting for the flash to become idle\n");
            return RES_TIMEDOUT;
        }
        orvex_sleep_us(SPI_POLL_INTERVAL_US);
    }
    orvex_spi_cs(dev, 0);
    return RES_OK;
}

// The flash answers the opcode with nothing; the byte clocked in after it is the status.
uint8_t orvex_spi_read_status(pci_dev *dev)
{
    orvex_spi_begin(dev, g_flash_info.read_status, SPI_XFER_8);
    orvex_spi_xfer(dev, SPI_XFER_8);
    const auto status = static_cast<uint8_t>(orvex_read_u32(dev, Rx_REG0));
    orvex_spi_cs(dev, 0);
    return status;
}

uint32_t orvex_read_flash_id(pci_dev *dev)
{
    orvex_spi_init(dev);
    orvex_spi_begin(dev, g_flash_info.read_id,
                    g_flash_info.read_id_len == 1 ? SPI_XFER_32 : SPI_XFER_64);
    uint32_t id = orvex_read_u32(dev, Rx_REG0);
    orvex_spi_uninit(dev);
    return id & byte_masks[g_flash_info.flash_id_len];
}
