// Whole runs of the tool against the simulated controller: fuzzed flash contents, identity, busy
// times, faults, operation, offset and files.
//
// A run ends in exit() on a usage error, on missing rights and on libpci's complaints, with
// buffers and open files in the frames it leaves, so it cannot be cut short in process. Each input
// runs in a forked child instead (run_orvex); the bus lives in shared memory, so the parent sees
// what the run did. libFuzzer only learns about coverage from this process's counters, so the
// child copies its counters into a shared page before it ends (exit() is wrapped for that,
// --wrap=exit) and the parent takes them over: the child's counters already hold what the parent
// had counted before the fork. This file is built without coverage, as its own counters would
// clash with the declarations of the counters' bounds below.
//
// Input: a fixed header, then the image file's contents.
//   [0]      bits 0-1 operation (0 status, 1 dump, 2 write, 3 verify), bit 2 -d, bit 3 -o given,
//            bits 4-5 the file (write/verify: 0/1 a file, 2 none, 3 a directory; dump: 0/1 a new
//            file, 2 /dev/full, 3 in a missing directory), bit 6 makes a dump a status run,
//            bit 7 a second ORVEX on the bus
//   [1..5)   offset: the value itself when [5] bit 0, else a sector boundary (value % 33 sectors)
//   [5]      bit 0 see above, bit 1 never idle, bit 2 flip, bit 3 fail after, bit 4 identity,
//            bit 5 busy times, bit 6 no rights, bit 7 no ORVEX
//   [6..10)  accesses before the bus fails
//   [10..14) flipped bit: address (low 17 bits) and bit number (next 3)
//   [14..16) flash identity (manufacturer, device)
//   [16..22) busy polls of a page program, a sector erase, a chip erase (x4)
//   [22]     flash contents: 0 erased, 1 zeros, 2 a pattern, 3 the image at the offset
#include <algorithm>
#include <cstring>
#include <sanitizer/common_interface_defs.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "app/app.h"
#include "fuzz/fuzz.h"

extern "C" {
extern uint8_t __start___sancov_cntrs[] __attribute__((weak, visibility("hidden")));
extern uint8_t __stop___sancov_cntrs[] __attribute__((weak, visibility("hidden")));
[[noreturn]] void __real_exit(int status);
}

namespace {

constexpr int CHILD_CRASHED = 99;  // a sanitizer finding in the child
constexpr int KNOWN_STATUS[] = {0, 1, 146, 234, 237, 244, 255};

struct [[gnu::packed]] Header {
    uint8_t a;  // [0]: operation, file, options
    uint32_t offset;
    uint8_t f;  // [5]: faults
    uint32_t fail_after, flip;
    uint8_t id[2];
    uint16_t page_polls, sector_polls, chip_polls;
    uint8_t fill;
};

SimBus bus;
TempDir dir;
uint8_t *handoff;  // [0]: the child got to hand its counters over; then the child's counters
size_t counters;   // their number
bool in_child = false;

}  // namespace

// The end of every child: output flushed, counters handed over. No leak check here: LeakSanitizer
// in a forked child still counts the parent's threads and reports false leaks. The valgrind tests
// check the real binary's exit paths for leaks instead.
extern "C" [[noreturn]] void __wrap_exit(int status)
{
    if (!in_child)
        __real_exit(status);
    std::fflush(nullptr);
    std::memcpy(handoff + 1, __start___sancov_cntrs, counters);
    handoff[0] = 1;
    _exit(status & 0xFF);
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    counters = static_cast<size_t>(__stop___sancov_cntrs - __start___sancov_cntrs);
    void *p =
        mmap(nullptr, counters + 1, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    CHECK(p != MAP_FAILED, "cannot map the hand-over page");
    handoff = static_cast<uint8_t *>(p);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Header h{};
    std::memcpy(&h, data, std::min(size, sizeof h));
    const std::vector<uint8_t> image(data + std::min(size, sizeof h), data + size);
    const int operation = (h.a & 3) == 1 && (h.a & 64) ? 0 : h.a & 3, file_kind = (h.a >> 4) & 3;
    const uint32_t from = !(h.a & 8) ? 0 : h.f & 1 ? h.offset : h.offset % 33 * sim::SECTOR_SIZE;
    const uint32_t region = ref_region(from), at = std::min(from, sim::FLASH_SIZE);
    const bool no_orvex = h.f & 128;
    const bool healthy =
        !(h.f & 0xEE) && !(h.a & 128) && (!(h.f & 16) || (h.id[0] == 0xEF && h.id[1] == 0x10));

    bus.reset();
    if (no_orvex)
        sim::bus_add_other(*bus, 1, 0, 0, 0x8086, 0x1234, 0x060000);
    else
        bus.add_orvex();
    if (h.a & 128)
        bus.add_orvex(1);
    bus->no_rights = h.f & 64;
    bus->fail_after = h.f & 8 ? h.fail_after % (1u << 21) + 1 : 0;
    sim::Controller &c = bus->dev[0].ctrl;
    c.faults.never_idle = h.f & 2;
    c.faults.flip_enabled = h.f & 4;
    c.faults.flip_addr = h.flip % sim::FLASH_SIZE;
    c.faults.flip_bit = (h.flip >> 17) & 7;
    if (h.f & 16)
        std::memcpy(c.flash.id, h.id, 2);
    // Kept short enough that a run stays quick; only a chip erase may outlast the status wait.
    if (h.f & 32)
        c.timing = {h.page_polls % 64u, h.sector_polls % 1024u, h.chip_polls * 4u};
    const int fill = h.fill & 3;  // the flash is erased so far
    for (uint32_t i = 0; i < sim::FLASH_SIZE && (fill == 1 || fill == 2); i++)
        c.flash.mem[i] = fill == 1 ? 0 : static_cast<uint8_t>(i * 7 + (i >> 9));
    if (fill == 3)
        std::copy_n(image.begin(), std::min<size_t>(image.size(), region), c.flash.mem + at);
    const std::vector<uint8_t> before = bus.flash();

    std::string file = dir.path("image"), dump = file_kind == 3 ? "none/dump" : "dump";
    bool file_ok = file_kind < 2;
    dir.remove("dump");
    dir.remove("image");
    if (operation == 1) {
        file = file_kind == 2 ? "/dev/full" : dir.path(dump);
    } else if (file_kind < 2) {
        dir.write("image", image);
    } else if (file_kind == 3) {
        mkdir(file.c_str(), 0755);
        file_ok = region == 0;  // with nothing to load, the image is never read
    }
    std::vector<std::string> args;
    if ((h.a & 4) && region <= 8192)  // the trace of a long run would be most of its cost
        args.push_back("-d");
    if (operation != 0)
        args.insert(args.end(), {operation == 1 ? "-r" : operation == 2 ? "-w" : "-v", file});
    if (h.a & 8) {
        char text[16];
        std::snprintf(text, sizeof text, from & 1 ? "%u" : "0x%x", from);
        args.insert(args.end(), {"-o", text});
    }

    handoff[0] = 0;
    const RunResult r = run_orvex(*bus, args, [] {
        in_child = true;
        __sanitizer_set_death_callback([] { _exit(CHILD_CRASHED); });
    });
    if (handoff[0])
        std::memcpy(__start___sancov_cntrs, handoff + 1, counters);
    CHECK(r.signal == 0 && r.status != CHILD_CRASHED && handoff[0],
          "the run died (signal %d, status %d); output:\n%s%s", r.signal, r.status, r.out.c_str(),
          r.err.c_str());
    CHECK(std::count(std::begin(KNOWN_STATUS), std::end(KNOWN_STATUS), r.status),
          "exit status %d; output:\n%s%s", r.status, r.out.c_str(), r.err.c_str());
    if (no_orvex)
        return 0;

    // Below the offset nothing ever changes; only a write changes anything, and only once it got
    // past its checks to the erase.
    const std::vector<uint8_t> after = bus.flash();
    const bool changed = after != before;
    CHECK(std::equal(before.begin(), before.begin() + at, after.begin()),
          "bytes below offset %08x changed (status %d)", from, r.status);
    CHECK(!changed || operation == 2, "operation %d changed the flash", operation);
    CHECK(!changed || !(h.f & 2), "the flash changed although it never became idle");
    for (const char *early :
         {"* failed to open '", "* failed to read '", "* flash ID mismatch", "* no ORVEX found",
          "* multiple ORVEXs found", "* failed to read FW version", "Usage:"})
        CHECK(!changed || r.out.find(early) == std::string::npos,
              "the flash changed although the run said '%s'", early);

    // The trimmed image against the trimmed region, as a verify compares them. Given the bytes
    // below the offset, the same also means the flash holds what a write should leave.
    const size_t flen = ref_trim(image.data(), std::min<size_t>(image.size(), region));
    const size_t elen = ref_trim(after.data() + at, region);
    const bool same =
        flen == elen && std::equal(image.begin(), image.begin() + flen, after.begin() + at);
    CHECK(r.status != 0 || operation < 2 || same, "operation %d passed, but flash and image differ",
          operation);
    const std::vector<uint8_t> trimmed(after.begin() + at, after.begin() + at + elen);
    if (r.status == 0 && operation == 1)  // into /dev/full only an empty one
        CHECK(file_kind == 2 ? elen == 0 : dir.exists(dump) && dir.read(dump) == trimmed,
              "a successful dump did not save the trimmed region");
    if (!healthy)
        return 0;

    // The exit status of a healthy part. A status run reads the region too.
    const bool usable = region != 0 && region % 4 == 0;
    int expect = !usable ? 234 : operation == 3 && !same;
    if (operation == 1 && usable && !file_ok && (file_kind != 2 || elen))  // /dev/full: see above
        expect = 255;
    if (operation == 2)
        expect = region == 0 || from % sim::SECTOR_SIZE ? 234 : 0;
    if (operation >= 2 && !file_ok)
        expect = 255;
    CHECK(r.status == expect && r.err.empty() && c.protocol_errors == 0,
          "exit status %d, expected %d; protocol errors %lu (%s); output:\n%s%s", r.status, expect,
          static_cast<unsigned long>(c.protocol_errors), c.last_error, r.out.c_str(),
          r.err.c_str());
    return 0;
}
