// SPDX-License-Identifier: MIT
// Everything the tool knows about the serial flash behind the controller.
#pragma once

#include <array>
#include <cstdint>

struct FLASH_INFO {
    uint32_t flash_id;     // expected identity, compared after masking
    uint32_t read_id;      // identity command: opcode in the top byte, three zero address bytes
    uint8_t flash_id_len;  // identity bytes that count (index into byte_masks; printed width / 2)
    uint8_t read_id_len;   // length of the identity command: 1 = 32-bit transaction, else 64-bit
    uint8_t write_enable;
    uint8_t write_status;  // carried for completeness; never sent
    uint8_t chip_erase;
    uint8_t sector_erase;
    uint8_t read_data;
    uint8_t read_status;
    uint8_t page_program;
    uint8_t clock_rate;  // carried for completeness; the clock divider is fixed
    uint8_t busy_mask;   // status bits that mean "busy"
    uint16_t page_size;
    uint16_t sector_size;
    uint32_t flash_size;
};

inline constexpr FLASH_INFO g_flash_info = {
    .flash_id = 0x0000EF10,
    .read_id = 0x90000000,
    .flash_id_len = 2,
    .read_id_len = 4,
    .write_enable = 0x06,
    .write_status = 0x01,
    .chip_erase = 0xC7,
    .sector_erase = 0x20,
    .read_data = 0x03,
    .read_status = 0x05,
    .page_program = 0x02,
    .clock_rate = 50,
    .busy_mask = 0x01,
    .page_size = 256,
    .sector_size = 4096,
    .flash_size = 131072,
};

inline constexpr std::array<uint32_t, 5> byte_masks = {0x00000000, 0x000000FF, 0x0000FFFF,
                                                       0x00FFFFFF, 0xFFFFFFFF};

static_assert(g_flash_info.flash_id_len < byte_masks.size());
static_assert(g_flash_info.flash_size % g_flash_info.sector_size == 0);
static_assert(g_flash_info.sector_size % g_flash_info.page_size == 0);
