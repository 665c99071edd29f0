// SPDX-License-Identifier: MIT
// orvex-sim: sets up and inspects the state file of a simulated bus.
#include "sim/bus.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

int usage()
{
    std::fputs("usage: orvex-sim create STATE 'SCENARIO WORDS'\n"
               "       orvex-sim load STATE FILE [DEV]   flash := FILE's bytes, rest 0xFF\n"
               "       orvex-sim dump STATE FILE [DEV]   FILE := the whole flash\n"
               "       orvex-sim info STATE | log STATE | regs STATE\n"
               "scenario words:\n"
               "  orvex[=FWVERSION]       an ORVEX (firmware version in hex, default 00010203)\n"
               "  other=VVVV:DDDD         another PCI function (vendor:device in hex)\n"
               "  no-rights               configuration space as a user without root sees it\n"
               "  no-access               no PCI access method works\n"
               "  fail-after=N            accesses after the first N fail (the device is gone)\n"
               "  signal=ACCESS:SIGNUM    the process making access ACCESS gets signal SIGNUM\n"
               "  id=MMDD                 the flash's identity (manufacturer, device; hex)\n"
               "  never-idle              the flash's busy bit is stuck\n"
               "  no-flash                no flash on the wire: every bit reads 1\n"
               "  flip=ADDR:BIT           the page program covering ADDR inverts bit BIT there\n"
               "  fill=ff|zero|pattern    what the flash holds at first (default ff)\n"
               "  timing=PAGE:SECTOR:CHIP busy time of each operation, in status bytes\n"
               "Device words (id to timing) apply to every ORVEX. Device n is at\n"
               "0000:(n+1):00.0, in the order of the words.\n",
               stderr);
    return 2;
}

sim::Bus *open_state(const char *path)
{
    sim::Bus *bus = sim::bus_map_file(path, false);
    if (!bus)
        std::fprintf(stderr, "orvex-sim: %s: %s\n", path, std::strerror(errno));
    return bus;
}

// The ORVEX named by `arg` (an index on the bus), or the first one.
int pick_orvex(const sim::Bus &bus, const char *arg)
{
    for (uint32_t i = 0; i < bus.n_devices; ++i) {
        if (!bus.dev[i].is_orvex)
            continue;
        if (!arg || std::strtoul(arg, nullptr, 10) == i)
            return int(i);
    }
    std::fprintf(stderr, "orvex-sim: no such ORVEX\n");
    return -1;
}

int load(sim::Bus &bus, const char *file, const char *dev_arg)
{
    const int dev = pick_orvex(bus, dev_arg);
    if (dev < 0)
        return 1;
    FILE *f = std::fopen(file, "rb");
    if (!f) {
        std::fprintf(stderr, "orvex-sim: %s: %s\n", file, std::strerror(errno));
        return 1;
    }
    uint8_t *mem = bus.dev[dev].ctrl.flash.mem;
    const size_t n = std::fread(mem, 1, sim::FLASH_SIZE, f);
    std::fclose(f);
    std::memset(mem + n, 0xFF, sim::FLASH_SIZE - n);
    return 0;
}

int dump(const sim::Bus &bus, const char *file, const char *dev_arg)
{
    const int dev = pick_orvex(bus, dev_arg);
    if (dev < 0)
        return 1;
    FILE *f = std::fopen(file, "wb");
    const bool ok =
        f && std::fwrite(bus.dev[dev].ctrl.flash.mem, 1, sim::FLASH_SIZE, f) == sim::FLASH_SIZE;
    if (f && std::fclose(f) != 0)
        return 1;
    if (!ok)
        std::fprintf(stderr, "orvex-sim: cannot write %s\n", file);
    return ok ? 0 : 1;
}

void info(const sim::Bus &bus)
{
    std::printf("accesses %llu (logged %llu), register accesses %llu%s%s",
                (unsigned long long)bus.access_count, (unsigned long long)bus.log_count,
                (unsigned long long)bus.reg_log_count, bus.no_rights ? ", no-rights" : "",
                bus.no_access ? ", no-access" : "");
    if (bus.fail_after)
        std::printf(", fail-after %llu", (unsigned long long)bus.fail_after);
    std::printf("\n");
    for (uint32_t i = 0; i < bus.n_devices; ++i) {
        const sim::Device &d = bus.dev[i];
        std::printf("%u: %04x:%02x:%02x.%u %04x:%04x class %06x%s\n", i, d.domain, d.bus, d.slot,
                    d.func, d.vendor, d.device, d.class_code, d.is_orvex ? " ORVEX" : "");
        if (!d.is_orvex)
            continue;
        const sim::Controller &c = d.ctrl;
        std::printf("   vendor access %02x, window %08x, wel %u, busy %u, selected %u\n",
                    c.cfg[sim::CONFIG_VENDOR_ACCESS], c.window_addr, c.flash.wel,
                    c.flash.busy_polls, c.flash.selected);
        std::printf("   status polls %llu, protocol errors %llu%s%s\n",
                    (unsigned long long)c.status_polls, (unsigned long long)c.protocol_errors,
                    c.protocol_errors ? ", last: " : "", c.protocol_errors ? c.last_error : "");
        std::printf("   Tx %08x Rx %08x CTRL %08x CLK_DIV %08x CHIP_SEL %08x\n", c.tx, c.rx, c.ctrl,
                    c.clk_div, c.chip_sel);
        for (uint32_t r = 0; r < c.reg_count; ++r)
            std::printf("   reg 0x%05x = %08x\n", c.reg_addr[r], c.reg_value[r]);
    }
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 3)
        return usage();
    const char *cmd = argv[1];
    const char *state = argv[2];
    if (!std::strcmp(cmd, "create")) {
        if (argc != 4)
            return usage();
        sim::Bus *bus = sim::bus_map_file(state, true);
        if (!bus) {
            std::fprintf(stderr, "orvex-sim: %s: %s\n", state, std::strerror(errno));
            return 1;
        }
        char why[160];
        const bool ok = sim::bus_parse_scenario(*bus, argv[3], why, sizeof why);
        sim::bus_unmap(bus);
        if (!ok) {
            std::fprintf(stderr, "orvex-sim: %s\n", why);
            std::remove(state);
            return 2;
        }
        return 0;
    }
    const bool with_file = !std::strcmp(cmd, "load") || !std::strcmp(cmd, "dump");
    if (with_file ? (argc < 4 || argc > 5) : argc != 3)
        return usage();
    sim::Bus *bus = open_state(state);
    if (!bus)
        return 1;
    int rc = 0;
    if (!std::strcmp(cmd, "load")) {
        rc = load(*bus, argv[3], argc == 5 ? argv[4] : nullptr);
    } else if (!std::strcmp(cmd, "dump")) {
        rc = dump(*bus, argv[3], argc == 5 ? argv[4] : nullptr);
    } else if (!std::strcmp(cmd, "info")) {
        info(*bus);
    } else if (!std::strcmp(cmd, "log")) {
        const uint64_t n = std::min<uint64_t>(bus->log_count, sim::LOG_CAPACITY);
        for (uint64_t i = 0; i < n; ++i) {
            const sim::CfgAccess &e = bus->log[i];
            std::printf("%c %u 0x%02x %0*x", e.kind, e.width, e.offset, 2 * e.width, e.value);
            if (bus->n_devices > 1)
                std::printf(" dev %u", e.device);
            std::printf("%s\n", e.failed ? " failed" : "");
        }
    } else if (!std::strcmp(cmd, "regs")) {
        const uint64_t n = std::min<uint64_t>(bus->reg_log_count, sim::REG_LOG_CAPACITY);
        for (uint64_t i = 0; i < n; ++i) {
            const sim::RegAccess &e = bus->reg_log[i];
            std::printf("%c 0x%05x %08x", e.kind, e.address, e.value);
            if (bus->n_devices > 1)
                std::printf(" dev %u", e.device);
            std::printf("\n");
        }
    } else {
        rc = usage();
    }
    sim::bus_unmap(bus);
    return rc;
}
