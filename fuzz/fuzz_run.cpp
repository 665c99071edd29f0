// Whole runs of the tool against the simulated controller: fuzzed flash contents, identity, busy
// times, faults, operation, offset and files.
//
// A run ends in exit() on a usage error, on missing rights and on libpci's complaints, with
// buffers and open files in the frames it leaves, so it cannot be cut short in process. Each input
// runs in a forked child instead; the bus lives in shared memory, so the parent sees what the run
// did. libFuzzer only learns about coverage from this process's counters, so the child copies its
// counters into a shared page before it ends (exit() is wrapped for that, --wrap=exit) and the
// parent takes them over: the child's counters already hold what the parent had counted before
// the fork.
//
// Input: a fixed header, then the image file's contents.
//   [0]      bits 0-1 operation (0 status, 1 dump, 2 write, 3 verify), bit 2 -d, bit 3 -o given,
//            bits 4-5 the file (write/verify: 0/1 a file, 2 none, 3 a directory; dump: 0/1 a new
//            file, 2 /dev/full, 3 in a missing directory), bit 6 a dump without a file,
//            bit 7 a second ORVEX on the bus
//   [1..5)   offset: the value itself when [5] bit 0, else a sector boundary (value % 33 sectors)
//   [5]      bit 0 see above, bit 1 never idle, bit 2 flip, bit 3 fail after, bit 4 identity,
//            bit 5 busy times, bit 6 no rights, bit 7 no ORVEX
//   [6..10)  accesses before the bus fails
//   [10..14) flipped bit: address (low 17 bits) and bit number (next 3)
//   [14..16) flash identity
//   [16..22) busy polls of a page program, a sector erase, a chip erase (x4)
//   [22]     flash contents: 0 erased, 1 zeros, 2 a pattern, 3 the image at the offset
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sanitizer/common_interface_defs.h>
#include <string>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include "app/app.h"
#include "fuzz/counters.h"
#include "fuzz/support.h"

extern "C" [[noreturn]] void __real_exit(int status);

namespace {

constexpr int CHILD_CRASHED = 99;  // a sanitizer finding in the child
constexpr int KNOWN_STATUS[] = {0, 1, 146, 234, 237, 244, 255};

struct Handoff {
    int finished;  // the child got to hand its counters over
};

Handoff *handoff;
uint8_t *child_counters;
bool in_child = false;
fuzz::Capture *capture;

[[noreturn]] void child_crashed()
{
    _exit(CHILD_CRASHED);
}

// The end of every child: output flushed, counters handed over. No leak check here: LeakSanitizer
// in a forked child still counts the parent's threads and reports false leaks. The valgrind tests
// check the real binary's exit paths for leaks instead.
[[noreturn]] void finish_child(int status)
{
    std::fflush(nullptr);
    std::memcpy(child_counters, fuzz::counters_begin(), fuzz::counters_size());
    handoff->finished = 1;
    _exit(status);
}

}  // namespace

extern "C" [[noreturn]] void __wrap_exit(int status)
{
    if (in_child)
        finish_child(status & 0xFF);
    __real_exit(status);
}

namespace {

struct Scenario {
    int op = 0;  // 0 status, 1 dump, 2 write, 3 verify
    bool verbose = false, offset_given = false, dump_without_file = false, second = false;
    int file_kind = 0;
    uint32_t offset = 0;
    bool never_idle = false, flip = false, fail_after = false, id = false, timing = false;
    bool no_rights = false, no_orvex = false;
    uint32_t fail_after_n = 0, flip_addr = 0, flip_bit = 0;
    uint16_t id_value = 0;
    uint32_t page_polls = 0, sector_polls = 0, chip_polls = 0;
    int fill = 0;
    std::vector<uint8_t> image;

    // Nothing on the bus or the flash differs from a healthy part.
    bool healthy() const
    {
        return !never_idle && !flip && !fail_after && (!id || id_value == 0xEF10) && !timing &&
               !no_rights && !no_orvex && !second;
    }
};

Scenario decode(const uint8_t *data, size_t size)
{
    fuzz::Reader in(data, size);
    Scenario s;
    const uint8_t a = in.u8();
    s.op = a & 3;
    s.verbose = a & 4;
    s.offset_given = a & 8;
    s.file_kind = (a >> 4) & 3;
    s.dump_without_file = a & 64;
    s.second = a & 128;
    const uint32_t raw_offset = in.u32();
    const uint8_t f = in.u8();
    s.offset = f & 1 ? raw_offset : raw_offset % 33 * fuzz::SECTOR_SIZE;
    if (!s.offset_given)
        s.offset = 0;
    s.never_idle = f & 2;
    s.flip = f & 4;
    s.fail_after = f & 8;
    s.id = f & 16;
    s.timing = f & 32;
    s.no_rights = f & 64;
    s.no_orvex = f & 128;
    s.fail_after_n = in.u32() % (1u << 21) + 1;
    const uint32_t flip = in.u32();
    s.flip_addr = flip % fuzz::FLASH_SIZE;
    s.flip_bit = (flip >> 17) & 7;
    s.id_value = in.u16();
    // Kept short enough that a run stays quick; only a chip erase may outlast the status wait.
    s.page_polls = in.u16() % 64;
    s.sector_polls = in.u16() % 1024;
    s.chip_polls = in.u16() * 4u;
    s.fill = in.u8() & 3;
    s.image = in.rest();
    return s;
}

void set_up(const Scenario &s, std::vector<uint8_t> &flash)
{
    fuzz::reset_bus();
    sim::Bus &bus = fuzz::bus();
    if (s.no_orvex)
        sim::bus_add_other(bus, 1, 0, 0, 0x8086, 0x1234, 0x060000);
    else if (sim::bus_add_orvex(bus, 2, 0, 0, 0x01020304) < 0)
        fuzz::fail("cannot set the bus up");
    if (s.second)
        sim::bus_add_orvex(bus, 3, 0, 0, 0x01020304);
    bus.no_rights = s.no_rights;
    bus.fail_after = s.fail_after ? s.fail_after_n : 0;
    if (s.no_orvex)
        return;
    sim::Controller &c = bus.dev[0].ctrl;
    c.faults.never_idle = s.never_idle;
    c.faults.flip_enabled = s.flip;
    c.faults.flip_addr = s.flip_addr;
    c.faults.flip_bit = static_cast<uint8_t>(s.flip_bit);
    if (s.id) {
        c.flash.id[0] = static_cast<uint8_t>(s.id_value >> 8);
        c.flash.id[1] = static_cast<uint8_t>(s.id_value);
    }
    if (s.timing)
        c.timing = sim::FlashTiming{s.page_polls, s.sector_polls, s.chip_polls};
    uint8_t *mem = c.flash.mem;
    for (uint32_t i = 0; i < fuzz::FLASH_SIZE; i++)
        mem[i] = s.fill == 0 ? 0xFF : s.fill == 1 ? 0x00 : static_cast<uint8_t>(i * 7 + (i >> 9));
    if (s.fill == 3) {
        std::fill(mem, mem + fuzz::FLASH_SIZE, 0xFF);
        const uint32_t region = fuzz::ref_region(s.offset);
        std::copy_n(s.image.begin(), std::min<size_t>(s.image.size(), region), mem + s.offset);
    }
    flash.assign(mem, mem + fuzz::FLASH_SIZE);
}

struct Outcome {
    int status = -1;
    std::string out, err;
};

Outcome run(const std::vector<std::string> &args)
{
    std::vector<char *> argv{const_cast<char *>("orvex")};
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    handoff->finished = 0;
    capture->begin();
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid < 0)
        fuzz::fail("fork failed");
    if (pid == 0) {
        in_child = true;
        __sanitizer_set_death_callback(child_crashed);
        dup2(capture->err_fd(), STDERR_FILENO);
        finish_child(orvex_main(static_cast<int>(argv.size() - 1), argv.data()) & 0xFF);
    }
    int wstatus = 0;
    while (waitpid(pid, &wstatus, 0) < 0) {
    }
    Outcome o;
    o.out = capture->out();
    o.err = capture->err();
    if (handoff->finished)
        std::memcpy(fuzz::counters_begin(), child_counters, fuzz::counters_size());
    if (WIFSIGNALED(wstatus) || !WIFEXITED(wstatus))
        fuzz::fail("the run died of signal %d; output:\n%s%s", WTERMSIG(wstatus), o.out.c_str(),
                   o.err.c_str());
    o.status = WEXITSTATUS(wstatus);
    if (o.status == CHILD_CRASHED || !handoff->finished)
        fuzz::fail("the run failed a sanitizer check (status %d); output:\n%s%s", o.status,
                   o.out.c_str(), o.err.c_str());
    return o;
}

bool contains(const std::string &text, const std::string &what)
{
    return text.find(what) != std::string::npos;
}

// The exit status a healthy part gives.
int reference_status(const Scenario &s, bool file_ok, uint32_t region, bool same, size_t elen)
{
    const bool usable_region = region != 0 && region % 4 == 0;
    if (s.op == 0 || (s.op == 1 && s.dump_without_file))
        return usable_region ? 0 : 234;  // the status run reads the region too
    if (s.op == 1)                       // /dev/full takes an empty dump
        return !usable_region ? 234 : file_ok || (s.file_kind == 2 && elen == 0) ? 0 : 255;
    if (!file_ok)
        return 255;
    if (s.op == 2)
        return region == 0 || s.offset % fuzz::SECTOR_SIZE != 0 ? 234 : 0;
    return !usable_region ? 234 : same ? 0 : 1;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    capture = new fuzz::Capture;
    fuzz::bus();
    const size_t n = std::max<size_t>(fuzz::counters_size(), 1);
    void *p = mmap(nullptr, sizeof(Handoff) + n, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS,
                   -1, 0);
    if (p == MAP_FAILED)
        fuzz::fail("cannot map the hand-over page");
    handoff = static_cast<Handoff *>(p);
    child_counters = static_cast<uint8_t *>(p) + sizeof(Handoff);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const Scenario s = decode(data, size);
    std::vector<uint8_t> before;
    set_up(s, before);

    const std::string image = fuzz::scratch_path("image");
    const std::string dump = fuzz::scratch_path("dump");
    std::string file;
    bool file_ok = true;
    fuzz::remove_path(dump);
    if (s.op == 1) {
        file = s.file_kind == 2   ? "/dev/full"
               : s.file_kind == 3 ? fuzz::scratch_path("none/dump")
                                  : dump;
        file_ok = s.file_kind < 2;
    } else {
        file = image;
        if (s.file_kind == 2)
            fuzz::remove_path(image);
        else if (s.file_kind == 3)
            fuzz::put_dir(image);
        else
            fuzz::put_file(image, s.image);
        // With nothing to load, the image is never read: a directory passes.
        file_ok = s.file_kind < 2 || (s.file_kind == 3 && fuzz::ref_region(s.offset) == 0);
    }

    std::vector<std::string> args;
    // The trace of a long run would be most of its cost.
    if (s.verbose && fuzz::ref_region(s.offset) <= 8192)
        args.push_back("-d");
    if (s.op != 0 && !(s.op == 1 && s.dump_without_file)) {
        args.push_back(s.op == 1 ? "-r" : s.op == 2 ? "-w" : "-v");
        args.push_back(file);
    }
    if (s.offset_given) {
        char text[16];
        std::snprintf(text, sizeof text, s.offset & 1 ? "%u" : "0x%x", s.offset);
        args.push_back("-o");
        args.push_back(text);
    }
    const Outcome o = run(args);

    if (!std::count(std::begin(KNOWN_STATUS), std::end(KNOWN_STATUS), o.status))
        fuzz::fail("exit status %d; output:\n%s%s", o.status, o.out.c_str(), o.err.c_str());
    if (s.no_orvex)
        return 0;
    const uint8_t *mem = fuzz::bus().dev[0].ctrl.flash.mem;
    const std::vector<uint8_t> after(mem, mem + fuzz::FLASH_SIZE);
    const uint32_t region = fuzz::ref_region(s.offset);
    const uint32_t at = std::min(s.offset, fuzz::FLASH_SIZE);  // where the region starts
    const bool changed = after != before;

    // Below the offset nothing ever changes; only a write changes anything at all.
    if (!std::equal(before.begin(), before.begin() + at, after.begin()))
        fuzz::fail("bytes below offset %08x changed (status %d)", s.offset, o.status);
    if (s.op != 2 && changed)
        fuzz::fail("operation %d changed the flash", s.op);
    // A run that stopped before the erase leaves the flash as it was.
    for (const char *early :
         {"* failed to open '", "* failed to read '", "* flash ID mismatch", "* no ORVEX found",
          "* multiple ORVEXs found", "* failed to read FW version", "Usage:"})
        if (contains(o.out, early) && changed)
            fuzz::fail("the flash changed although the run said '%s'", early);
    if (s.never_idle && changed)
        fuzz::fail("the flash changed although it never became idle");

    // The trimmed image against the trimmed region, as a verify compares them.
    const size_t flen = fuzz::ref_trim(s.image.data(), std::min<size_t>(s.image.size(), region));
    const size_t elen = fuzz::ref_trim(after.data() + at, region);
    const bool same =
        flen == elen &&
        std::equal(s.image.begin(), s.image.begin() + static_cast<long>(flen), after.begin() + at);
    if (s.op == 1 && o.status == 0 && !s.dump_without_file && s.file_kind == 2 && elen != 0)
        fuzz::fail("a dump of %zu bytes into /dev/full succeeded", elen);
    if (s.op == 2 && o.status == 0) {
        std::vector<uint8_t> expect = before;
        std::fill(expect.begin() + at, expect.end(), 0xFF);
        const size_t len = fuzz::ref_trim(s.image.data(), std::min<size_t>(s.image.size(), region));
        std::copy_n(s.image.begin(), len, expect.begin() + at);
        if (after != expect)
            fuzz::fail("a successful write left other contents than the image");
    }
    if (s.op == 1 && o.status == 0 && !s.dump_without_file && s.file_kind != 2) {
        std::vector<uint8_t> saved;
        if (!fuzz::read_file(file, saved))
            fuzz::fail("a successful dump left no file");
        const size_t len = fuzz::ref_trim(after.data() + at, region);
        if (!std::equal(saved.begin(), saved.end(), after.begin() + at, after.begin() + at + len))
            fuzz::fail("the dump differs from the flash");
    }
    if (s.op == 3 && o.status == 0 && !same)
        fuzz::fail("a verify passed although image and flash differ");

    if (s.healthy()) {
        const int expect = reference_status(s, file_ok, region, same, elen);
        if (o.status != expect)
            fuzz::fail("exit status %d, expected %d; output:\n%s%s", o.status, expect,
                       o.out.c_str(), o.err.c_str());
        if (!o.err.empty())
            fuzz::fail("a healthy run complained: %s", o.err.c_str());
        const sim::Controller &c = fuzz::bus().dev[0].ctrl;
        if (c.protocol_errors != 0)
            fuzz::fail("the controller saw a protocol error: %s", c.last_error);
    }
    return 0;
}
