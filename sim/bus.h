// SPDX-License-Identifier: MIT
// The simulated PCI bus: a few PCI functions, some of them ORVEX controllers, each with its SPI
// master and the 128 KiB SPI NOR flash behind it.
//
// The whole state is one plain structure that lives in shared memory (an anonymous shared mapping
// for the unit tests, which run the tool in a forked child, or a file for the preloadable libpci
// stand-in and the emulated sysfs), so the party that set a scenario up can inspect what the tool
// left behind: flash contents, registers, and the log of every configuration-space access.
#pragma once

#include <cstddef>
#include <cstdint>

namespace sim {

// The geometry, IDs, configuration-space offsets and register addresses below are the ones the
// tool's headers (chip/chip.h, spi/flash_info.h) hold as well. They are restated here on purpose,
// from how the hardware behaves: a wrong constant in the tool must show up as a misbehaving
// device, not be copied into the simulator. The simulator never includes the tool's headers.
inline constexpr uint32_t FLASH_SIZE = 131072;
inline constexpr uint32_t PAGE_SIZE = 256;
inline constexpr uint32_t SECTOR_SIZE = 4096;
inline constexpr uint32_t CONFIG_SIZE = 256;  // a conventional PCI function's configuration space
inline constexpr int MAX_DEVICES = 8;
inline constexpr int MAX_REGS = 16;
inline constexpr uint32_t LOG_CAPACITY = 1u << 22;      // configuration-space accesses kept
inline constexpr uint32_t REG_LOG_CAPACITY = 1u << 21;  // internal-register accesses kept
inline constexpr uint32_t MAGIC = 0x4f525653;           // "ORVS"

inline constexpr uint16_t ORVEX_VENDOR = 0x1106;
inline constexpr uint16_t ORVEX_DEVICE = 0x3483;

// Configuration-space offsets of the controller.
inline constexpr uint32_t CONFIG_VENDOR_ACCESS = 0x43;
inline constexpr uint32_t CONFIG_FW_VERSION = 0x50;
inline constexpr uint32_t CONFIG_WINDOW_ADDR = 0x78;
inline constexpr uint32_t CONFIG_WINDOW_DATA = 0x7C;

// Internal registers of the SPI master.
inline constexpr uint32_t REG_TX = 0x400D0;
inline constexpr uint32_t REG_RX = 0x400E0;
inline constexpr uint32_t REG_CTRL = 0x400F0;
inline constexpr uint32_t REG_STS = 0x400F4;
inline constexpr uint32_t REG_CLK_DIV = 0x400F8;
inline constexpr uint32_t REG_CHIP_SEL = 0x400FC;

// One configuration-space access, as the device saw it.
struct CfgAccess {
    uint8_t device;  // index into Bus::dev
    char kind;       // 'R' or 'W'
    uint8_t width;   // 1, 2 or 4 bytes
    uint8_t failed;  // 1: the access did not reach the device (no rights, device gone)
    uint16_t offset;
    uint32_t value;  // value read or written (all ones for a failed read)
};

// One access to an internal register through the window (successful ones only).
struct RegAccess {
    uint8_t device;
    char kind;  // 'R' or 'W'
    uint32_t address;
    uint32_t value;
};

// What the flash is doing with the command in progress (bytes since chip select went active).
struct FlashState {
    uint8_t mem[FLASH_SIZE];
    uint8_t id[2];        // identity bytes sent after 0x90 + address (manufacturer, device)
    uint8_t wel;          // write-enable latch
    uint32_t busy_polls;  // status bytes still to report busy; 0 = idle
    uint8_t selected;     // chip select active
    uint8_t cmd[4];       // opcode and address bytes of the command in progress
    uint32_t cmd_len;     // bytes received since select (saturating)
    uint32_t page_fill;   // page-program data bytes received
    uint8_t page_buf[PAGE_SIZE];
    uint8_t page_touched[PAGE_SIZE];
    uint32_t out_pos;  // read/identity: next byte index to send
};

// Faults the flash can show.
struct FlashFaults {
    uint8_t never_idle;  // status always reports busy (a stuck busy bit); the part works otherwise
    uint8_t flip_enabled;  // the page program covering flip_addr leaves bit flip_bit inverted
    uint8_t flip_bit;
    uint32_t flip_addr;
    uint8_t absent;  // no part on the wire: nothing drives the data line, nothing is done
};

// Busy time of each operation, counted in status bytes read while busy.
struct FlashTiming {
    uint32_t page_program;
    uint32_t sector_erase;
    uint32_t chip_erase;
};

struct Controller {
    uint8_t cfg[CONFIG_SIZE];  // as reads see it: IDs, command, 0x43, 0x50, the window
    uint32_t window_addr;
    uint32_t reg_addr[MAX_REGS];  // plain storage registers: address/value pairs
    uint32_t reg_value[MAX_REGS];
    uint32_t reg_count;
    uint32_t tx, rx, ctrl, clk_div, chip_sel;
    FlashState flash;
    FlashFaults faults;
    FlashTiming timing;
    uint64_t status_polls;     // status bytes the flash has sent (read-status commands)
    uint64_t protocol_errors;  // things real hardware would not accept (bad control word, ...)
    char last_error[128];      // the last of them, in words
};

struct Device {
    uint16_t domain;
    uint8_t bus, slot, func;
    uint16_t vendor, device;
    uint32_t class_code;  // 24-bit class code, as in the sysfs "class" file
    uint8_t is_orvex;
    Controller ctrl;  // used when is_orvex; otherwise only ctrl.cfg holds the IDs
};

struct Bus {
    uint32_t magic;
    uint32_t size;  // sizeof(Bus), to catch a state file from another build
    uint32_t n_devices;
    Device dev[MAX_DEVICES];

    // Faults of the bus as a whole.
    uint8_t no_rights;      // like a user without root: writes refused, reads past 64 bytes short
    uint8_t no_access;      // no PCI access method works at all
    uint64_t fail_after;    // 0: never; else accesses after the first fail_after fail with EIO
    uint64_t access_count;  // configuration-space accesses seen so far (failed ones included)
    uint64_t signal_at;     // 0: never; else the process making this access is sent signal_number
    uint32_t signal_number;

    uint64_t log_count;  // accesses logged (may exceed capacity; extra ones are not stored)
    uint64_t reg_log_count;
    CfgAccess log[LOG_CAPACITY];
    RegAccess reg_log[REG_LOG_CAPACITY];
};

// Result of a configuration-space access at the device.
enum class Access { ok, denied, io_error };

// --- lifetime -----------------------------------------------------------------------------------

// A new, empty bus (no devices) in anonymous shared memory; survives fork. Never null on return.
Bus *bus_create_shared();
// Maps a state file; create = true makes (or truncates) it and initialises an empty bus.
// Returns null with errno set on failure.
Bus *bus_map_file(const char *path, bool create);
void bus_unmap(Bus *bus);

// --- building a scenario ------------------------------------------------------------------------

// Adds an ORVEX at the given address with a flash full of `fill` (0xFF = erased) and returns its
// index (-1 when the bus is full). Firmware version, identity 0xEF 0x10, default timing,
// non-zero register reset values.
int bus_add_orvex(Bus &bus, uint8_t bus_nr, uint8_t slot, uint8_t func, uint32_t fw_version,
                  uint8_t fill = 0xFF);
// Adds an unrelated PCI function (-1 when the bus is full).
int bus_add_other(Bus &bus, uint8_t bus_nr, uint8_t slot, uint8_t func, uint16_t vendor,
                  uint16_t device, uint32_t class_code);

// Parses a scenario description into an empty bus (used by the command-line tool, the preloadable
// stand-in and the emulated sysfs). Words separated by blanks:
//   orvex[=FWVERSION]  other=VVVV:DDDD  no-rights  no-access  fail-after=N  id=MMDD  never-idle
//   no-flash  flip=ADDR:BIT  fill=ff|zero|pattern  timing=PAGE:SECTOR:CHIP  signal=ACCESS:SIGNUM
// Device options (id, never-idle, no-flash, flip, fill, timing) apply to every ORVEX, wherever
// they stand.
// The n-th device word (from 0) puts a function at 0000:(n+1):00.0. FWVERSION (default 00010203),
// VVVV:DDDD and MMDD are hex, ADDR is C notation (0x1234 or decimal), N, BIT and timings decimal;
// `other` functions have class 0x060000, ORVEXs 0x0C0330. Returns false and fills `why` (if not
// null) on a word it does not know or a bad value.
bool bus_parse_scenario(Bus &bus, const char *text, char *why, size_t why_len);

// --- configuration-space access (what libpci, or the sysfs config file, does) ---------------------

// Counts the access, applies the bus faults, logs it and lets the device act on it.
// Widths 1, 2, 4, naturally aligned, offset < 256. A failed read leaves value all ones.
Access cfg_read(Bus &bus, int device, uint32_t offset, int width, uint32_t &value);
Access cfg_write(Bus &bus, int device, uint32_t offset, int width, uint32_t value);

// A transfer of `count` bytes at `offset`, as the kernel makes it of a read or write of a
// function's configuration space (the sysfs `config` file and vfio-pci cut it the same way): a
// byte to reach 2-byte alignment, a word to reach 4-byte alignment, dwords, then a trailing word
// and byte, each one access above. Stops at the first access that fails and returns its result;
// the bytes before it have moved. The caller keeps offset + count within 256.
Access cfg_read_bytes(Bus &bus, int device, uint32_t offset, size_t count, uint8_t *out);
Access cfg_write_bytes(Bus &bus, int device, uint32_t offset, size_t count, const uint8_t *in);

// --- inspection ---------------------------------------------------------------------------------

// Current value of an internal register of an ORVEX (SPI registers or plain storage).
uint32_t reg_peek(const Bus &bus, int device, uint32_t address);

// --- the device side of an access (controller.cpp) ----------------------------------------------

// What the function does with an access that reached it: no bus faults, no configuration-space
// log (register accesses through the window are logged in reg_log). Arguments already checked.
uint32_t device_cfg_read(Bus &bus, int device, uint32_t offset, int width);
void device_cfg_write(Bus &bus, int device, uint32_t offset, int width, uint32_t value);
// The busy time of each operation on a part as it comes (page program 2, sector erase 20, chip
// erase 100 status bytes).
FlashTiming flash_default_timing();
// Puts the controller (registers, SPI master, flash state; not the flash contents) in its
// power-on state.
void controller_reset(Controller &ctrl);
// A function-level reset: the controller's registers and configuration state as after power-on.
// The flash is a part of its own and keeps its state; it only sees chip select released, which
// ends the command in progress (a program or erase with WEL set then starts and keeps it busy).
void controller_function_reset(Controller &ctrl);

}  // namespace sim
