// SPDX-License-Identifier: MIT
// The controller as a driver sees it: its configuration space, the register window behind
// 0x78/0x7C, the SPI master and the serial flash on the other end of the wire.
//
// The flash is modelled byte by byte, the way the part sees the wire: it only knows the bytes
// clocked in while it is selected and acts on the command when it is released. Nothing here knows
// which sequences the tool sends.
//
// The register addresses, control-word bits, opcodes and status bits below say again what the
// tool's headers (chip/chip.h, spi/spi.h, spi/flash_info.h) say. They are written out here on
// purpose, from the parts' behaviour: a wrong constant in the tool must make the simulated hardware
// misbehave, not be copied into it. The simulator never includes the tool's headers.
#include "sim/bus.h"

#include <cstdio>
#include <cstring>

namespace sim {
namespace {

constexpr uint32_t STORAGE_RESET_ADDR[] = {0x30004, 0x40020, 0x4000C};
constexpr uint32_t STORAGE_RESET_VALUE[] = {0x12345678, 0xA5A5A500, 0x5A5A5A00};
constexpr uint32_t CLK_DIV_RESET = 0x4;

// CTRL_REG: the fixed bits must be set, the length field gives the bits to shift.
constexpr uint32_t CTRL_FIXED = 0x180;
constexpr uint32_t CTRL_LENGTH = 0x7F;
// CHIP_SEL: the chip select is active low.
constexpr uint32_t CHIP_SEL_RELEASE = 0x1;

// The flash's status byte.
constexpr uint8_t STATUS_BUSY = 0x01;  // a program or erase is running
constexpr uint8_t STATUS_WEL = 0x02;   // write-enable latch

// What a command does, while it runs and when it is released.
enum class Kind {
    write_enable,   // release: sets WEL
    write_disable,  // release: clears WEL
    read_status,    // sends the status byte, again and again
    identity,       // after the address: the identity bytes, alternately
    read,           // after the address: the bytes from there on
    page_program,   // after the address: data into the page; release: programs it
    sector_erase,   // release: erases the sector of the address
    chip_erase,     // release: erases everything
};

struct Command {
    uint8_t opcode;
    // The command's name, for the reader of the table below: the simulator prints none.
    // cppcheck-suppress unusedStructMember
    const char *name;
    Kind kind;
    uint8_t header;               // opcode and address bytes; what follows is data
    uint8_t bytes;                // bytes the command must have for its release to act ...
    bool at_least;                // ... exactly, or at least (commands with data)
    bool needs_wel;               // release acts only with WEL set; it clears WEL when done
    uint32_t FlashTiming::*busy;  // busy time started at release (null: none) ...
    uint32_t default_busy;        // ... and its default, in status bytes read
};

// Values of the at_least and needs_wel columns.
constexpr bool EXACT = false, AT_LEAST = true;
constexpr bool ANY_WEL = false, WEL = true;

constexpr Command COMMANDS[] = {
    {0x06, "write enable", Kind::write_enable, 1, 1, EXACT, ANY_WEL, nullptr, 0},
    {0x04, "write disable", Kind::write_disable, 1, 1, EXACT, ANY_WEL, nullptr, 0},
    {0x05, "read status", Kind::read_status, 1, 1, AT_LEAST, ANY_WEL, nullptr, 0},
    {0x90, "identity", Kind::identity, 4, 4, AT_LEAST, ANY_WEL, nullptr, 0},
    {0x03, "read", Kind::read, 4, 4, AT_LEAST, ANY_WEL, nullptr, 0},
    {0x02, "page program", Kind::page_program, 4, 5, AT_LEAST, WEL, &FlashTiming::page_program, 2},
    {0x20, "sector erase", Kind::sector_erase, 4, 4, EXACT, WEL, &FlashTiming::sector_erase, 20},
    {0xC7, "chip erase", Kind::chip_erase, 1, 1, EXACT, WEL, &FlashTiming::chip_erase, 100},
    {0x60, "chip erase", Kind::chip_erase, 1, 1, EXACT, WEL, &FlashTiming::chip_erase, 100},
};

constexpr bool opcodes_unique()
{
    for (const Command &a : COMMANDS)
        for (const Command &b : COMMANDS)
            if (&a != &b && a.opcode == b.opcode)
                return false;
    return true;
}
static_assert(opcodes_unique());

// The row of an opcode, or null: the flash ignores a command it does not know.
const Command *find_command(uint8_t opcode)
{
    for (const Command &cmd : COMMANDS)
        if (cmd.opcode == opcode)
            return &cmd;
    return nullptr;
}

void protocol_error(Controller &c, const char *fmt, uint32_t a, uint32_t b = 0)
{
    ++c.protocol_errors;
    std::snprintf(c.last_error, sizeof c.last_error, fmt, a, b);
}

// --- the flash -----------------------------------------------------------------------------------

bool busy(const Controller &c)
{
    return c.flash.busy_polls > 0;
}

uint32_t cmd_addr(const FlashState &f)
{
    return ((uint32_t(f.cmd[1]) << 16) | (uint32_t(f.cmd[2]) << 8) | f.cmd[3]) % FLASH_SIZE;
}

void flash_select(Controller &c)
{
    FlashState &f = c.flash;
    f.selected = 1;
    f.cmd_len = 0;
    f.page_fill = 0;
    f.out_pos = 0;
    std::memset(f.cmd, 0, sizeof f.cmd);
    std::memset(f.page_touched, 0, sizeof f.page_touched);
}

void program_page(Controller &c)
{
    FlashState &f = c.flash;
    const uint32_t base = cmd_addr(f) & ~(PAGE_SIZE - 1);
    for (uint32_t i = 0; i < PAGE_SIZE; ++i) {
        if (!f.page_touched[i])
            continue;
        const uint32_t a = base + i;
        f.mem[a] &= f.page_buf[i];  // bits only go from 1 to 0
        if (c.faults.flip_enabled && a == c.faults.flip_addr)
            f.mem[a] ^= uint8_t(1u << (c.faults.flip_bit & 7));
    }
}

// Chip select going inactive ends the command; program and erase start here.
void flash_release(Controller &c)
{
    FlashState &f = c.flash;
    f.selected = 0;
    if (f.cmd_len == 0 || busy(c))
        return;  // nothing sent, or ignored while busy
    const Command *cmd = find_command(f.cmd[0]);
    if (!cmd || (cmd->at_least ? f.cmd_len < cmd->bytes : f.cmd_len != cmd->bytes) ||
        (cmd->needs_wel && !f.wel))
        return;
    switch (cmd->kind) {
    case Kind::write_enable:
    case Kind::write_disable:
        f.wel = cmd->kind == Kind::write_enable;
        break;
    case Kind::page_program:
        program_page(c);
        break;
    case Kind::sector_erase:
        std::memset(f.mem + (cmd_addr(f) & ~(SECTOR_SIZE - 1)), 0xFF, SECTOR_SIZE);
        break;
    case Kind::chip_erase:
        std::memset(f.mem, 0xFF, FLASH_SIZE);
        break;
    default:
        break;
    }
    if (cmd->busy) {
        f.busy_polls = c.timing.*cmd->busy;
        if (f.busy_polls == 0)
            f.wel = 0;  // done at once
    }
}

// One byte on the wire while selected: the flash drives the returned byte while it samples `in`.
uint8_t flash_exchange(Controller &c, uint8_t in)
{
    FlashState &f = c.flash;
    const uint32_t k = f.cmd_len;
    // The opcode and address bytes get no answer; the command's data comes after them.
    const Command *cmd = k == 0 ? nullptr : find_command(f.cmd[0]);
    uint8_t out = 0xFF;  // nobody drives the line: the pull-up wins
    if (cmd && k >= cmd->header && cmd->kind == Kind::read_status) {
        const bool busy_bit = busy(c) || c.faults.never_idle;
        out = uint8_t((busy_bit ? STATUS_BUSY : 0) | (f.wel ? STATUS_WEL : 0));
        ++c.status_polls;
        if (f.busy_polls > 0 && --f.busy_polls == 0)
            f.wel = 0;
    } else if (cmd && k >= cmd->header && !busy(c)) {
        if (cmd->kind == Kind::identity) {
            out = f.id[f.out_pos++ & 1];
        } else if (cmd->kind == Kind::read) {
            out = f.mem[(cmd_addr(f) + f.out_pos++) % FLASH_SIZE];
        } else if (cmd->kind == Kind::page_program) {
            const uint32_t pos = (cmd_addr(f) + f.page_fill++) % PAGE_SIZE;
            f.page_buf[pos] = in;
            f.page_touched[pos] = 1;
        }
    }
    if (k < sizeof f.cmd)
        f.cmd[k] = in;
    if (f.cmd_len != UINT32_MAX)
        ++f.cmd_len;
    return out;
}

// --- the SPI master ------------------------------------------------------------------------------

void spi_transaction(Controller &c)
{
    const uint32_t word = c.ctrl;
    const uint32_t bits = word & CTRL_LENGTH;
    if ((word & ~(CTRL_FIXED | CTRL_LENGTH)) != 0 || (word & CTRL_FIXED) != CTRL_FIXED ||
        (bits != 8 && bits != 32 && bits != 64)) {
        protocol_error(c, "bad control word %08x", word);
        return;
    }
    uint8_t out[8] = {};
    uint32_t n = 0;
    if (bits == 8) {
        out[n++] = uint8_t(c.tx);
    } else {
        for (int shift = 24; shift >= 0; shift -= 8)
            out[n++] = uint8_t(c.tx >> shift);
        if (bits == 64)
            n += 4;  // followed by zeros
    }
    // Released, or no part there at all: nobody drives the line and the pull-up wins.
    const bool answered = c.flash.selected && !c.faults.absent;
    for (uint32_t i = 0; i < n; ++i) {
        const uint8_t in = answered ? flash_exchange(c, out[i]) : 0xFF;
        c.rx = (c.rx << 8) | in;
    }
}

void set_chip_select(Controller &c, uint32_t value)
{
    c.chip_sel = value;
    const bool select = (value & CHIP_SEL_RELEASE) == 0;
    if (select && !c.flash.selected)
        flash_select(c);
    else if (!select && c.flash.selected)
        flash_release(c);
}

// --- internal registers --------------------------------------------------------------------------

int storage_slot(const Controller &c, uint32_t address)
{
    for (uint32_t i = 0; i < c.reg_count; ++i)
        if (c.reg_addr[i] == address)
            return int(i);
    return -1;
}

uint32_t reg_value(const Controller &c, uint32_t address)
{
    switch (address) {
    case REG_TX:
        return c.tx;
    case REG_RX:
        return c.rx;
    case REG_CTRL:
        return c.ctrl;
    case REG_STS:
        return 0;  // transactions finish at once: never busy
    case REG_CLK_DIV:
        return c.clk_div;
    case REG_CHIP_SEL:
        return c.chip_sel;
    default: {
        const int slot = storage_slot(c, address);
        return slot < 0 ? 0 : c.reg_value[slot];
    }
    }
}

// False when the register cannot take the access (a protocol error has been counted).
bool reg_write(Controller &c, uint32_t address, uint32_t value)
{
    switch (address) {
    case REG_TX:
        c.tx = value;
        return true;
    case REG_RX:
    case REG_STS:
        return true;  // read-only
    case REG_CTRL:
        c.ctrl = value;
        spi_transaction(c);
        return true;
    case REG_CLK_DIV:
        c.clk_div = value;
        return true;
    case REG_CHIP_SEL:
        set_chip_select(c, value);
        return true;
    default:
        break;
    }
    int slot = storage_slot(c, address);
    if (slot < 0) {
        if (c.reg_count == MAX_REGS) {
            protocol_error(c, "no room for register %05x", address);
            return false;
        }
        slot = int(c.reg_count++);
        c.reg_addr[slot] = address;
    }
    c.reg_value[slot] = value;
    return true;
}

void log_reg(Bus &bus, int device, char kind, uint32_t address, uint32_t value)
{
    if (bus.reg_log_count < REG_LOG_CAPACITY)
        bus.reg_log[bus.reg_log_count] = RegAccess{uint8_t(device), kind, address, value};
    ++bus.reg_log_count;
}

uint32_t le_read(const uint8_t *p, int width)
{
    uint32_t v = 0;
    for (int i = width - 1; i >= 0; --i)
        v = (v << 8) | p[i];
    return v;
}

// The header's writable bits; everything else keeps what the function was made with (IDs, class,
// header type, BARs that are not there, ...). Command: bus master (bit 2), parity error response
// (bit 6) and SERR# enable (bit 8); the function has no I/O or memory space and no INTx, so those
// enables are hardwired to 0. Cache line size is a plain read-write byte, as PCI Express keeps it.
constexpr uint32_t CONFIG_COMMAND = 0x04;
constexpr uint32_t CONFIG_CACHE_LINE = 0x0C;
constexpr uint8_t COMMAND_WRITABLE[2] = {0x44, 0x01};

uint8_t writable_cfg_bits(uint32_t offset)
{
    if (offset == CONFIG_COMMAND || offset == CONFIG_COMMAND + 1)
        return COMMAND_WRITABLE[offset - CONFIG_COMMAND];
    if (offset == CONFIG_CACHE_LINE || offset == CONFIG_VENDOR_ACCESS ||
        (offset >= CONFIG_WINDOW_ADDR && offset < CONFIG_WINDOW_ADDR + 4))
        return 0xFF;
    return 0;
}

// The function's registers and configuration state as they come out of reset.
void reset_registers(Controller &c)
{
    c.window_addr = 0;
    std::memset(c.cfg + CONFIG_WINDOW_ADDR, 0, 8);
    c.cfg[CONFIG_VENDOR_ACCESS] = 0;
    c.cfg[CONFIG_COMMAND] = c.cfg[CONFIG_COMMAND + 1] = 0;
    c.cfg[CONFIG_CACHE_LINE] = 0;
    c.reg_count = 0;
    for (size_t i = 0; i < sizeof STORAGE_RESET_ADDR / sizeof *STORAGE_RESET_ADDR; ++i) {
        c.reg_addr[c.reg_count] = STORAGE_RESET_ADDR[i];
        c.reg_value[c.reg_count++] = STORAGE_RESET_VALUE[i];
    }
    c.tx = c.rx = c.ctrl = 0;
    c.clk_div = CLK_DIV_RESET;
    c.chip_sel = CHIP_SEL_RELEASE;
}

bool window_data(uint32_t offset, int width)
{
    return offset + uint32_t(width) > CONFIG_WINDOW_DATA && offset < CONFIG_WINDOW_DATA + 4;
}

}  // namespace

FlashTiming flash_default_timing()
{
    FlashTiming t{};
    for (const Command &cmd : COMMANDS)
        if (cmd.busy)
            t.*cmd.busy = cmd.default_busy;
    return t;
}

void controller_reset(Controller &c)
{
    reset_registers(c);
    FlashState &f = c.flash;
    f.wel = 0;
    f.busy_polls = 0;
    f.selected = 0;
    f.cmd_len = 0;
}

void controller_function_reset(Controller &c)
{
    // The SPI master's chip select goes back to released, and the flash sees that as it sees any
    // release: the command in progress ends, and a program or erase with WEL set starts.
    set_chip_select(c, CHIP_SEL_RELEASE);
    reset_registers(c);
}

uint32_t device_cfg_read(Bus &bus, int device, uint32_t offset, int width)
{
    Device &d = bus.dev[device];
    Controller &c = d.ctrl;
    if (!d.is_orvex || !window_data(offset, width))
        return le_read(c.cfg + offset, width);
    if (offset != CONFIG_WINDOW_DATA || width != 4) {
        protocol_error(c, "window data read of %u bytes at %02x", uint32_t(width), offset);
        return 0;
    }
    if (c.window_addr & 3) {
        protocol_error(c, "unaligned register address %08x", c.window_addr);
        return 0;
    }
    const uint32_t value = reg_value(c, c.window_addr);
    log_reg(bus, device, 'R', c.window_addr, value);
    return value;
}

void device_cfg_write(Bus &bus, int device, uint32_t offset, int width, uint32_t value)
{
    Device &d = bus.dev[device];
    Controller &c = d.ctrl;
    if (!d.is_orvex)
        return;  // read-only as far as we care
    if (window_data(offset, width)) {
        if (offset != CONFIG_WINDOW_DATA || width != 4) {
            protocol_error(c, "window data write of %u bytes at %02x", uint32_t(width), offset);
        } else if (c.window_addr & 3) {
            protocol_error(c, "unaligned register address %08x", c.window_addr);
        } else if (reg_write(c, c.window_addr, value)) {
            log_reg(bus, device, 'W', c.window_addr, value);
        }
        return;
    }
    for (int i = 0; i < width; ++i) {
        const uint32_t at = offset + uint32_t(i);
        const uint8_t mask = writable_cfg_bits(at);
        c.cfg[at] = uint8_t((c.cfg[at] & ~mask) | (uint8_t(value >> (8 * i)) & mask));
    }
    c.window_addr = le_read(c.cfg + CONFIG_WINDOW_ADDR, 4);
}

uint32_t reg_peek(const Bus &bus, int device, uint32_t address)
{
    if (device < 0 || uint32_t(device) >= bus.n_devices || !bus.dev[device].is_orvex)
        return 0;
    return reg_value(bus.dev[device].ctrl, address);
}

}  // namespace sim
