// SPDX-License-Identifier: MIT
// Reading, erasing and page-programming ranges of the flash.
#include "chip/chip.h"
#include "spi/spi.h"

namespace {

constexpr uint32_t command_word(uint8_t opcode, uint32_t addr)
{
    return (static_cast<uint32_t>(opcode) << 24) + addr;
}

// A non-empty range must lie inside the flash: the part ignores the upper address bits, so a range
// past its end would wrap around and read or change the start of the flash instead.
bool outside_flash(uint32_t addr, uint32_t len)
{
    return len != 0 && (addr >= g_flash_info.flash_size || len > g_flash_info.flash_size - addr);
}

}  // namespace

// One continuous read command: chip select stays active for the whole range, and each 32-bit
// transaction clocks in the next four bytes (the first arrives with the opcode and address).
// With a sink, buf is refilled as often as needed and each filled part goes to the sink; the
// command on the wire is the same.
int orvex_spi_read(pci_dev *dev, uint32_t addr, uint32_t len, std::span<uint8_t> buf,
                   spi_read_sink sink, void *ctx)
{
    const bool fits = sink ? buf.size() >= 4 && buf.size() % 4 == 0 : len <= buf.size();
    if (len == 0 || len % 4 != 0 || !fits || outside_flash(addr, len))
        return RES_INVALID;
    orvex_spi_init(dev);
    if (int r = orvex_spi_wait_idle(dev))
        return r;
    orvex_spi_begin(dev, command_word(g_flash_info.read_data, addr), SPI_XFER_64);
    size_t fill = 0;
    for (uint32_t pos = 0; pos < len; pos += 4) {
        uint32_t word = orvex_read_u32(dev, Rx_REG0);
        buf[fill] = static_cast<uint8_t>(word >> 24);
        buf[fill + 1] = static_cast<uint8_t>(word >> 16);
        buf[fill + 2] = static_cast<uint8_t>(word >> 8);
        buf[fill + 3] = static_cast<uint8_t>(word);
        fill += 4;
        orvex_spi_xfer(dev, SPI_XFER_32);
        if (sink && (fill == buf.size() || pos + 4 == len)) {
            sink(ctx, addr + pos + 4 - static_cast<uint32_t>(fill), buf.first(fill));
            fill = 0;
        }
    }
    orvex_spi_cs(dev, 0);
    orvex_spi_uninit(dev);
    return RES_OK;
}

// The caller sets the master up and releases it. The whole flash goes in one chip erase,
// anything else sector by sector.
int orvex_spi_erase(pci_dev *dev, uint32_t addr, uint32_t len)
{
    const uint32_t sector = g_flash_info.sector_size;
    if (addr % sector != 0 || len % sector != 0 || outside_flash(addr, len))
        return RES_INVALID;
    if (int r = orvex_spi_wait_idle(dev))
        return r;
    if (addr == 0 && len == g_flash_info.flash_size) {
        orvex_spi_write_enable(dev);
        orvex_spi_command(dev, g_flash_info.chip_erase, SPI_XFER_8);
        return orvex_spi_wait_idle(dev);
    }
    for (; len != 0; addr += sector, len -= sector) {
        orvex_spi_write_enable(dev);
        orvex_spi_command(dev, command_word(g_flash_info.sector_erase, addr), SPI_XFER_32);
        if (int r = orvex_spi_wait_idle(dev))
            return r;
    }
    return RES_OK;
}

// Programs an erased range in chunks of one page, counted from addr. A last group of fewer than
// four bytes is completed with 0xFF, which leaves the erased flash bytes after it unchanged.
int orvex_spi_write(pci_dev *dev, uint32_t addr, uint32_t len, std::span<const uint8_t> buf)
{
    if (len > buf.size() || outside_flash(addr, len))
        return RES_INVALID;
    uint32_t chunk = g_flash_info.page_size;
    orvex_spi_init(dev);
    if (int r = orvex_spi_wait_idle(dev))
        return r;
    const uint8_t *data = buf.data();
    while (len != 0) {
        if (len < chunk)
            chunk = len;
        orvex_spi_write_enable(dev);
        if (int r = orvex_spi_wait_idle(dev))
            return r;
        orvex_spi_begin(dev, command_word(g_flash_info.page_program, addr), SPI_XFER_32);
        for (uint32_t pos = 0; pos < chunk; pos += 4) {
            uint32_t word = 0;
            for (uint32_t i = pos; i < pos + 4; i++)
                word = (word << 8) | (i < chunk ? data[i] : 0xFFu);
            orvex_write_u32(dev, Tx_REG0, word);
            orvex_spi_xfer(dev, SPI_XFER_32);
        }
        orvex_spi_cs(dev, 0);
        if (int r = orvex_spi_wait_idle(dev))
            return r;
        data += chunk;
        addr += chunk;
        len -= chunk;
    }
    orvex_spi_uninit(dev);
    return RES_OK;
}
