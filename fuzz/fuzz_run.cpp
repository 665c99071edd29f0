// SPDX-License-Identifier: MIT
// Whole runs of the tool against the simulated controller: fuzzed flash contents, operation,
// offset and image, with the faults that strike in the middle of an operation (the bus failing
// after any number of accesses, a bit flipped by a page program, busy times). What stops a run
// before it touches the flash (no or two ORVEXs, no rights, another flash identity, a flash that
// is never idle, an image that is missing or a directory, a dump that cannot be saved) ends every
// run the same way; the fault matrix and the file cases in the unit tests check those.
//
// A run ends in exit() on a usage error, on missing rights and on libpci's complaints, with
// buffers and open files in the frames it leaves, so it cannot be cut short in process. Each input
// runs in a forked child instead (run_orvex); the bus lives in shared memory, so the parent sees
// what the run did. libFuzzer only learns about coverage from this process's counters, so the
// child copies its counters into a shared page as it exits and the parent takes them over: the
// child's counters already hold what the parent had counted before the fork. This file is built
// without coverage, as its own counters would clash with the declarations of their bounds below.
//
// Input: a fixed header, then the image file's contents.
//   [0]      bits 0-1 operation (0 status, 1 dump, 2 write, 3 verify), bit 3 an offset other
//            than 0, bit 6 makes a dump a status run; bits 2, 4, 5 and 7 unused
//   [1..5)   offset: the value itself when [5] bit 0, else a sector boundary (value % 33 sectors)
//   [5]      bit 0 see above, bit 1 the flash starts busy (as a killed run can leave it, for
//            1 to 256 status bytes: [16..18)), bit 2 flip, bit 3 fail after, bit 5 busy times;
//            the others unused
//   [6..10)  accesses before the bus fails
//   [10..14) flipped bit: address (low 17 bits) and bit number (next 3)
//   [14..16) unused
//   [16..22) busy polls of a page program, a sector erase, a chip erase (x4)
//   [22]     flash contents: 0 erased, 1 zeros, 2 a pattern, 3 the image at the offset
#include <sanitizer/common_interface_defs.h>

#include "fuzz/fuzz.h"

extern "C" [[gnu::weak, gnu::visibility("hidden")]] uint8_t __start___sancov_cntrs[],
    __stop___sancov_cntrs[];

namespace {

struct [[gnu::packed]] Header {
    uint8_t a;  // [0]: operation, -o
    uint32_t offset;
    uint8_t f;  // [5]: faults
    uint32_t fail_after, flip;
    // Two bytes of the input that nothing reads, so that the fields after them stay where the
    // seed corpus has them.
    // cppcheck-suppress unusedStructMember
    uint16_t unused;
    uint16_t page_polls, sector_polls, chip_polls;
    uint8_t fill;
};

SimBus bus;
TempDir dir;
const size_t counters = static_cast<size_t>(__stop___sancov_cntrs - __start___sancov_cntrs);
uint8_t *const handoff = static_cast<uint8_t *>(
    mmap(nullptr, counters, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));

// How a child's exit() ends: in the first handler, with output flushed and counters handed over,
// before libFuzzer's own handler could take the exit for a finding. No leak check there:
// LeakSanitizer in a forked child still counts the parent's threads and reports false leaks; the
// valgrind tests check the real binary's exit paths for leaks.
void hand_over(int status, void *)
{
    std::fflush(nullptr);
    std::memcpy(handoff, __start___sancov_cntrs, counters);
    _exit(status & 0xFF);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Header h{};
    std::memcpy(&h, data, std::min(size, sizeof h));
    const std::vector<uint8_t> image(data + std::min(size, sizeof h), data + size);
    const int operation = (h.a & 3) == 1 && (h.a & 64) ? 0 : h.a & 3;
    const uint32_t from = !(h.a & 8) ? 0 : h.f & 1 ? h.offset : h.offset % 33 * sim::SECTOR_SIZE;
    const uint32_t at = std::min(from, sim::FLASH_SIZE), region = sim::FLASH_SIZE - at;

    bus.reset();
    bus.add_orvex();
    bus->fail_after = h.f & 8 ? h.fail_after % (1u << 21) + 1 : 0;
    sim::Controller &c = bus->dev[0].ctrl;
    c.faults = {0, uint8_t(h.f & 4), uint8_t(h.flip >> 17 & 7), h.flip % sim::FLASH_SIZE, 0};
    if (h.f & 2) {  // changes nothing of the outcome: the run waits for it
        c.flash.busy_polls = h.page_polls % 256u + 1;
        c.flash.wel = 1;
    }
    // Kept short enough that a run stays quick; only a chip erase may outlast the status wait.
    if (h.f & 32)
        c.timing = {h.page_polls % 64u, h.sector_polls % 1024u, h.chip_polls * 4u};
    for (uint32_t i = 0; i < sim::FLASH_SIZE && (h.fill & 3) % 3; i++)
        c.flash.mem[i] = (h.fill & 3) == 1 ? 0 : static_cast<uint8_t>(i * 7 + (i >> 9));
    if ((h.fill & 3) == 3)
        std::copy_n(image.begin(), std::min<size_t>(image.size(), region), c.flash.mem + at);
    const std::vector<uint8_t> before = bus.flash();

    // A dump replaces the image file.
    std::vector<std::string> args{"-o", std::to_string(from)};
    if (operation != 0)
        args.insert(args.end(),
                    {std::string{'-', "rwv"[operation - 1]}, dir.write("image", image)});
    const RunResult r = run_orvex(*bus, args, [] {
        __sanitizer_set_death_callback([] { _exit(99); });  // a sanitizer finding
        on_exit(hand_over, nullptr);
    });
    std::memcpy(__start___sancov_cntrs, handoff, counters);
    const std::string said = "; output:\n" + r.out + r.err;

    // Known exit statuses only. Below the offset nothing ever changes, and only a write changes
    // anything. The trimmed image against the trimmed region, as a verify compares them: given the
    // bytes below the offset, the same also means the flash holds what a write should leave. A dump
    // saves the trimmed region.
    const std::vector<uint8_t> after = bus.flash();
    CHECK((r.status == 0 || r.status == 1 || r.status == 146 || r.status == 234) &&
              std::equal(before.begin(), before.begin() + at, after.begin()) &&
              (after == before || operation == 2),
          "operation %d: exit status %d, signal %d, flash %s%s", operation, r.status, r.signal,
          after == before ? "as it was" : "changed", said.c_str());
    const size_t flen = ref_trim(image.data(), std::min<size_t>(image.size(), region));
    const std::vector<uint8_t> trimmed(after.begin() + at,
                                       after.begin() + at + ref_trim(after.data() + at, region));
    const bool same =
        flen == trimmed.size() && std::equal(trimmed.begin(), trimmed.end(), image.begin());
    CHECK(r.status || operation == 0 || (operation == 1 ? dir.read("image") == trimmed : same),
          "operation %d passed, but flash and file differ%s", operation, said.c_str());

    // Without faults: the exit status (a status run reads the region too), no complaint from
    // libpci, nothing real hardware would refuse.
    const int expect = operation == 2 ? (region == 0 || from % sim::SECTOR_SIZE ? 234 : 0)
                       : region == 0 || region % 4 ? 234
                                                   : operation == 3 && !same;
    CHECK((h.f & 0x2C) || (r.status == expect && r.err.empty() && c.protocol_errors == 0),
          "exit status %d, expected %d (%s)%s", r.status, expect, c.last_error, said.c_str());
    return 0;
}
