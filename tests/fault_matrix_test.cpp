// SPDX-License-Identifier: MIT
// Every fault the simulated bus can show, crossed with every operation: the lines printed, the
// exit status, what the flash holds afterwards, whether a dump file was left, and how far the tool
// went on the bus. A run refused before the erase must leave the flash exactly as it was; a run
// that loses the device must stop at the first access that failed.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <map>
#include <optional>
#include <sstream>

#include "tests/harness.h"

namespace {

constexpr uint32_t FLIP_ADDR = 0x1234;  // inside the image at either offset
constexpr uint8_t FLIP_BIT = 2;
constexpr uint32_t IMAGE_LEN = 0x3000;  // 48 pages: programming has a middle to fail in

const std::string read_failed = "orvex: sysfs_read: read failed: Input/output error\n";
const std::string write_failed = "orvex: sysfs_write: write failed: Input/output error\n";

// --- the operations -----------------------------------------------------------------------------

enum class Op { status, read, write, verify };

struct Operation {
    Op op;
    uint32_t offset;  // 0 or 0x1000 ("-o 0x1000": the erase goes sector by sector)
};

const std::vector<Operation> operations{
    {Op::status, 0}, {Op::status, 0x1000}, {Op::read, 0},   {Op::read, 0x1000},
    {Op::write, 0},  {Op::write, 0x1000},  {Op::verify, 0}, {Op::verify, 0x1000},
};

std::string op_name(const Operation &o)
{
    const char *names[] = {"status", "read", "write", "verify"};
    return std::string(names[static_cast<int>(o.op)]) + (o.offset ? "_at_0x1000" : "");
}

const std::vector<uint8_t> &new_image()
{
    static const std::vector<uint8_t> v = pattern(IMAGE_LEN, 3);
    return v;
}

// A verify is run against what the flash already holds, so it passes unless a fault intervenes.
std::vector<uint8_t> region_of_old(uint32_t offset)
{
    return {old_flash().begin() + offset, old_flash().end()};
}

// --- the faults ---------------------------------------------------------------------------------

enum class Fault {
    healthy,
    no_device,
    two_devices,
    no_access,
    no_rights,
    other_identity,
    never_idle,
    flipped_bit,
    no_flash,               // nothing on the wire: every bit reads 1
    busy_at_start,          // busy with a page program an interrupted run left behind
    stuck_at_start,         // ... and its busy bit stays stuck
    other_identity_busy,    // another part, busy as the run starts
    gone_at_version_read,   // access 2 fails: the version read itself
    gone_at_version_close,  // access 3 fails: closing the vendor access after the version
    gone_after_version,     // access 4 fails: the first one of the identity read
    gone_during_erase,      // while the tool polls the status of an erase it started
    gone_during_program,    // while the tool polls the status of a page program
    gone_during_read,       // at word 1000 of the read (for a write: the verify's read)
};

std::string fault_name(Fault f)
{
    std::istringstream names(  // in the order of the enumeration
        "healthy no_device two_devices no_access no_rights other_identity never_idle flipped_bit "
        "no_flash busy_at_start stuck_at_start other_identity_busy gone_at_version_read "
        "gone_at_version_close gone_after_version gone_during_erase gone_during_program "
        "gone_during_read");
    std::string name;
    for (int i = 0; i <= static_cast<int>(f); i++)
        names >> name;
    return name;
}

// Only a write erases and programs.
bool applies(Fault f, const Operation &o)
{
    return o.op == Op::write || (f != Fault::gone_during_erase && f != Fault::gone_during_program);
}

// --- the expectations ---------------------------------------------------------------------------

// The flash afterwards: the old contents, erased over [offset, erased_to), then the new image
// programmed over [offset, programmed_to); both ends absolute, offset when nothing happened.
struct FlashAfter {
    uint32_t erased_to;
    uint32_t programmed_to;
    bool flipped = false;
};

struct Expect {
    int status;
    std::string out;
    std::string err;
    std::optional<FlashAfter> flash;  // absent: there is no controller to look at
    int64_t accesses = -1;            // configuration-space accesses made; -1: not checked
};

std::string success_line(Op op)
{
    return op == Op::write ? reprogrammed : op == Op::verify ? verified : "";
}

// The single place that says what each cell must do. `fail_at` is the access the fault point
// makes fail (for the gone_* faults), so the expected number of accesses follows from it.
Expect expect(Fault f, const Operation &o, uint64_t fail_at)
{
    const uint32_t end = sim::FLASH_SIZE;
    const FlashAfter untouched{o.offset, o.offset};
    const FlashAfter written{end, o.offset + IMAGE_LEN};
    const bool write = o.op == Op::write;
    const auto dies_at = static_cast<int64_t>(fail_at);

    switch (f) {
    case Fault::healthy:
    case Fault::busy_at_start:
        return {0, version_line + success_line(o.op), "", write ? written : untouched};
    case Fault::no_device:
        return {237, "* no ORVEX found\n", "", std::nullopt, 0};
    case Fault::two_devices:
        return {234, "* multiple ORVEXs found\n", "", untouched, 0};
    case Fault::no_access:
        return {1, "", "orvex: Cannot find any working access method.\n", untouched, 0};
    case Fault::no_rights:
    case Fault::gone_at_version_read:
    case Fault::gone_at_version_close:
        // The probe's three accesses, then nothing more.
        return {1, sudo_line, "", untouched, 3};
    case Fault::other_identity:
    case Fault::other_identity_busy:
        // The probe (3) and the identity read (30), nothing after it.
        return {234, version_line + "* flash ID mismatch - found 0012, expected 0000ef10\n", "",
                untouched, f == Fault::other_identity ? 33 : -1};
    case Fault::no_flash:
        // ... then one status byte (34), all ones: nothing to wait for.
        return {234, version_line + "* flash ID mismatch - found ffff, expected 0000ef10\n", "",
                untouched, 33 + 34};
    case Fault::never_idle:
    case Fault::stuck_at_start:
        return {146, version_line + "* timed out waiting for the flash to become idle\n", "",
                untouched};
    case Fault::flipped_bit:
        // Only a page program can leave a bit wrong.
        if (write)
            return {1, version_line + "* data mismatch\n", "",
                    FlashAfter{end, written.programmed_to, true}};
        return {0, version_line + success_line(o.op), "", untouched};
    case Fault::gone_after_version:
        return {1, version_line, write_failed, untouched, dies_at};
    case Fault::gone_during_erase:
        // A whole-chip erase completes once started; sector by sector, the device goes while the
        // fourth sector (0x4000) is being erased.
        return {1, version_line, read_failed, FlashAfter{o.offset ? 0x5000u : end, o.offset},
                dies_at};
    case Fault::gone_during_program:
        // Lost while the page at offset + 0x2000 is programmed: that page is in, later ones not.
        return {1, version_line, read_failed, FlashAfter{end, o.offset + 0x2100}, dies_at};
    case Fault::gone_during_read:
        return {1, version_line, read_failed, write ? written : untouched, dies_at};
    }
    return {};
}

// --- finding the fault points in a healthy run --------------------------------------------------

struct Cell {
    Fault fault;
    Operation op;
};

std::string cell_name(const Cell &c)
{
    return fault_name(c.fault) + "__" + op_name(c.op);
}

void PrintTo(const Cell &c, std::ostream *os)
{
    *os << cell_name(c);
}

// A bus, a scratch folder and the arguments of one run; `arm` sets the fault up, `prepare` the files.
struct Scene {
    SimBus bus;
    TempDir dir;
    std::vector<std::string> args;
};

void prepare(Scene &s, const Operation &o)
{
    if (o.offset)
        s.args = {"-o", "0x1000"};
    switch (o.op) {
    case Op::status:
        break;
    case Op::read:
        s.args.insert(s.args.end(), {"-r", s.dir.path("dump")});
        break;
    case Op::write:
        s.args.insert(s.args.end(), {"-w", s.dir.write("img", new_image())});
        break;
    case Op::verify:
        s.args.insert(s.args.end(), {"-v", s.dir.write("img", region_of_old(o.offset))});
        break;
    }
}

// The access number (from 1) at which internal register `reg` is written with `value` for the
// nth time, looking from access `from` on; 0 if never.
uint64_t register_write_at(const sim::Bus &bus, uint32_t reg, uint32_t value, int nth = 1,
                           uint64_t from = 0)
{
    const uint64_t n = std::min<uint64_t>(bus.log_count, sim::LOG_CAPACITY);
    for (uint64_t i = std::max<uint64_t>(from, 1); i < n; i++) {
        const sim::CfgAccess &addr = bus.log[i - 1], &data = bus.log[i];
        if (addr.kind == 'W' && addr.offset == sim::CONFIG_WINDOW_ADDR && addr.value == reg &&
            data.kind == 'W' && data.offset == sim::CONFIG_WINDOW_DATA && data.value == value &&
            --nth == 0)
            return i + 1;
    }
    return 0;
}

// The number of accesses after which the device goes away, found on a healthy run of the same
// operation (the simulation is deterministic, so the faulty run is the same up to that point).
uint64_t fail_after_for(Fault f, const Operation &o)
{
    switch (f) {
    case Fault::gone_at_version_read:
        return 1;
    case Fault::gone_at_version_close:
        return 2;
    case Fault::gone_after_version:
        return 3;
    case Fault::gone_during_erase:
    case Fault::gone_during_program:
    case Fault::gone_during_read:
        break;
    default:
        return 0;
    }
    static std::map<std::pair<int, uint32_t>, std::array<uint64_t, 3>> cache;
    const auto key = std::make_pair(static_cast<int>(o.op), o.offset);
    if (!cache.contains(key)) {
        Scene s;
        s.bus.add_orvex();
        s.bus.set_flash(old_flash());
        prepare(s, o);
        const RunResult r = run_orvex(*s.bus, s.args);
        EXPECT_EQ(r.status, 0) << "the healthy run the fault points are taken from failed";
        const sim::Bus &b = *s.bus;
        // After the command's release the status command begins, and its first poll's CTRL and
        // status read follow: failing the read's data access fails the first poll.
        auto in_status_wait_after = [&](uint64_t command) {
            const uint64_t released = register_write_at(b, sim::REG_CHIP_SEL, 1, 1, command);
            return command ? released + BEGIN + WORD - 1 : 0;
        };
        const uint32_t erase_cmd = o.offset ? 0x20004000 : 0xC7;
        const uint64_t erase = in_status_wait_after(register_write_at(b, sim::REG_TX, erase_cmd));
        const uint64_t program =
            in_status_wait_after(register_write_at(b, sim::REG_TX, 0x02002000 + o.offset));
        // The read command's CTRL, then a word per WORD accesses, each read first: failing the
        // data access of word 1000's read.
        const uint64_t read_cmd = register_write_at(b, sim::REG_TX, 0x03000000 + o.offset);
        const uint64_t read = read_cmd ? read_cmd + REG + 1000 * WORD + REG - 1 : 0;
        cache[key] = {erase, program, read};
    }
    const auto &points = cache[key];
    const uint64_t at = f == Fault::gone_during_erase     ? points[0]
                        : f == Fault::gone_during_program ? points[1]
                                                          : points[2];
    EXPECT_NE(at, 0u) << "fault point not found in the healthy run";
    return at;
}

void arm(Scene &s, Fault f, uint64_t fail_after)
{
    if (f != Fault::no_device)
        s.bus.add_orvex(0);
    if (f == Fault::two_devices)
        s.bus.add_orvex(1);
    for (uint32_t d = 0; d < s.bus->n_devices; d++)
        s.bus.set_flash(old_flash(), static_cast<int>(d));
    sim::Controller &c = s.bus->dev[0].ctrl;
    if (f == Fault::busy_at_start || f == Fault::stuck_at_start ||
        f == Fault::other_identity_busy) {
        c.flash.busy_polls = 40;
        c.flash.wel = 1;
    }
    switch (f) {
    case Fault::no_access:
        s.bus->no_access = 1;
        break;
    case Fault::no_rights:
        s.bus->no_rights = 1;
        break;
    case Fault::other_identity:
    case Fault::other_identity_busy:
        c.flash.id[0] = 0x00;  // printed with its leading zeros
        c.flash.id[1] = 0x12;
        break;
    case Fault::no_flash:
        c.faults.absent = 1;
        break;
    case Fault::busy_at_start:
        break;
    case Fault::never_idle:
    case Fault::stuck_at_start:
        c.faults.never_idle = 1;
        break;
    case Fault::flipped_bit:
        c.faults.flip_enabled = 1;
        c.faults.flip_addr = FLIP_ADDR;
        c.faults.flip_bit = FLIP_BIT;
        break;
    default:
        s.bus->fail_after = fail_after;
        break;
    }
}

std::vector<uint8_t> expected_flash(const FlashAfter &a, uint32_t offset)
{
    std::vector<uint8_t> v = old_flash();
    std::fill(v.begin() + offset, v.begin() + std::max(offset, a.erased_to), 0xFF);
    if (a.programmed_to > offset)
        std::copy_n(new_image().begin(), a.programmed_to - offset, v.begin() + offset);
    if (a.flipped)
        v[FLIP_ADDR] ^= 1u << FLIP_BIT;
    return v;
}

// --- the matrix ---------------------------------------------------------------------------------

class FaultMatrix : public ::testing::TestWithParam<Cell> {};

TEST_P(FaultMatrix, Run)
{
    const Cell &cell = GetParam();
    const uint64_t fail_after = fail_after_for(cell.fault, cell.op);
    const Expect e = expect(cell.fault, cell.op, fail_after + 1);

    Scene s;
    arm(s, cell.fault, fail_after);
    prepare(s, cell.op);
    const RunResult r = run_orvex(*s.bus, s.args);

    EXPECT_EQ(r.out, e.out);
    EXPECT_EQ(r.err, e.err);
    EXPECT_EQ(r.status, e.status);
    EXPECT_EQ(r.signal, 0);
    if (e.flash) {
        for (uint32_t d = 0; d < s.bus->n_devices; d++)
            EXPECT_TRUE(s.bus.flash(static_cast<int>(d)) ==
                        expected_flash(*e.flash, cell.op.offset))
                << "flash of device " << d << " (erased to 0x" << std::hex << e.flash->erased_to
                << ", programmed to 0x" << e.flash->programmed_to << ")";
    }
    if (cell.op.op == Op::read) {
        // A dump is left exactly when the run succeeds, and holds the region.
        EXPECT_EQ(s.dir.exists("dump"), e.status == 0);
        if (e.status == 0) {
            EXPECT_TRUE(s.dir.read("dump") == region_of_old(cell.op.offset)) << "dump contents";
        }
    }
    if (e.accesses >= 0) {
        EXPECT_EQ(s.bus->log_count, static_cast<uint64_t>(e.accesses))
            << "configuration-space accesses made";
    }
    if (s.bus->n_devices) {
        EXPECT_EQ(s.bus->dev[0].ctrl.protocol_errors, 0u) << s.bus->dev[0].ctrl.last_error;
    }
}

std::vector<Cell> all_cells()
{
    std::vector<Cell> cells;
    for (int i = 0; i <= static_cast<int>(Fault::gone_during_read); i++)
        for (const Operation &o : operations)
            if (applies(static_cast<Fault>(i), o))
                cells.push_back({static_cast<Fault>(i), o});
    return cells;
}

INSTANTIATE_TEST_SUITE_P(Cells, FaultMatrix, ::testing::ValuesIn(all_cells()),
                         [](const auto &row) { return cell_name(row.param); });

// --- termination signals during a write -------------------------------------------------------
//
// A signal anywhere from the erase to the verify waits until the result line is out, then ends the
// run. A run that ends on a libpci complaint meanwhile ends with that complaint's status instead.
// At "-o 0x1000" the erase goes sector by sector and programming starts past the first sector. A
// signal before the write starts, or a fault of the program itself, is never held back.

struct SignalCase {
    const char *name;
    int signal;
    uint32_t tx_value;             // the signal comes as this word goes to Tx_REG0 (0: at access 1)
    uint32_t words_later = 0;      // ... or this many words into the read started by it
    Fault fault = Fault::healthy;  // healthy, flipped_bit or gone_during_program
    uint32_t offset = 0x1000;
};

class SignalDuringWrite : public ::testing::TestWithParam<SignalCase> {};

// The access at which a healthy run of `o` writes `tx_value` to Tx_REG0.
uint64_t tx_access(const Operation &o, uint32_t tx_value)
{
    Scene dry;
    arm(dry, Fault::healthy, 0);
    prepare(dry, o);
    EXPECT_EQ(run_orvex(*dry.bus, dry.args).status, 0);
    const uint64_t at = register_write_at(*dry.bus, sim::REG_TX, tx_value);
    EXPECT_NE(at, 0u) << "no such word in a healthy run";
    return at;
}

TEST_P(SignalDuringWrite, HeldUntilTheResultIsOut)
{
    const SignalCase &c = GetParam();
    const Operation o{Op::write, c.offset};
    uint64_t signal_at = 1;
    if (c.tx_value) {
        signal_at = tx_access(o, c.tx_value);
        if (c.words_later)
            signal_at += REG + c.words_later * WORD + REG;  // that word's read, as in the matrix
    }
    const uint64_t fail_after = fail_after_for(c.fault, o);
    Scene s;
    arm(s, c.fault, fail_after);
    prepare(s, o);
    s.bus->signal_at = signal_at;
    s.bus->signal_number = static_cast<uint32_t>(c.signal);

    const RunResult r = run_orvex(*s.bus, s.args);

    const Expect e = expect(c.fault, o, fail_after + 1);
    const bool held = c.tx_value != 0 && c.signal != SIGABRT;
    EXPECT_EQ(r.out, held ? e.out : "");  // a signal that is not held takes the buffer with it
    // Under qemu-user the emulator reports a signal that dumps core on standard error.
    EXPECT_EQ(r.err.starts_with("qemu: uncaught target signal") ? "" : r.err, e.err);
    if (c.fault == Fault::gone_during_program) {
        EXPECT_EQ(r.status, 1) << "the complaint ends the run, the held signal is dropped";
        EXPECT_EQ(r.signal, 0);
    } else {
        EXPECT_EQ(r.signal, c.signal);
    }
    const bool whole = s.bus.flash() == expected_flash(*e.flash, o.offset);
    EXPECT_EQ(whole, held) << "the write is done whole when the signal is held, else not";
    if (!c.tx_value) {
        EXPECT_TRUE(s.bus.flash() == old_flash());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Signals, SignalDuringWrite,
    ::testing::Values(
        SignalCase{"int_before_write", SIGINT, 0, 0, Fault::healthy, 0},
        SignalCase{"int_during_chip_erase", SIGINT, 0xC7, 0, Fault::healthy, 0},
        SignalCase{"alrm_during_chip_erase", SIGALRM, 0xC7, 0, Fault::healthy, 0},
        SignalCase{"int_during_sector_erase", SIGINT, 0x20004000},
        SignalCase{"term_during_sector_erase", SIGTERM, 0x20004000},
        SignalCase{"int_during_program", SIGINT, 0x02003000},
        SignalCase{"term_during_program", SIGTERM, 0x02003000},
        SignalCase{"hup_during_program", SIGHUP, 0x02003000},
        SignalCase{"quit_during_program", SIGQUIT, 0x02003000},
        SignalCase{"pipe_during_program", SIGPIPE, 0x02003000},
        SignalCase{"usr1_during_program", SIGUSR1, 0x02003000},
        SignalCase{"xfsz_during_program", SIGXFSZ, 0x02003000},
        SignalCase{"rtmin_during_program", SIGRTMIN, 0x02003000},
        SignalCase{"abrt_during_program", SIGABRT, 0x02003000},
        SignalCase{"int_during_verify_read", SIGINT, 0x03001000, 1000},
        SignalCase{"term_before_failed_verify", SIGTERM, 0x02003000, 0, Fault::flipped_bit},
        SignalCase{"int_then_device_gone", SIGINT, 0x02003000, 0, Fault::gone_during_program}),
    param_name);

// --- killed, then run again -------------------------------------------------------------------
//
// SIGKILL may strike at any access. It can leave the flash selected in the middle of a command,
// which the next run's set-up ends (a program or erase then starts, and the flash is busy), or
// busy with one. The same command run again at once must finish the job, and no run may take the
// busy flash for another part. The run is killed `later` accesses after a word went to Tx_REG0.

struct KillCase {
    const char *name;
    Operation op;
    uint32_t tx_value;
    uint64_t later;
    bool then_status = false;  // the next run is a status run instead
};

class KilledThenAgain : public ::testing::TestWithParam<KillCase> {};

TEST_P(KilledThenAgain, Finishes)
{
    const KillCase &c = GetParam();
    Scene s;
    arm(s, Fault::healthy, 0);
    prepare(s, c.op);
    s.bus->signal_at = tx_access(c.op, c.tx_value) + c.later;
    s.bus->signal_number = SIGKILL;
    ASSERT_EQ(run_orvex(*s.bus, s.args).signal, SIGKILL);

    const RunResult r = run_orvex(*s.bus, c.then_status ? std::vector<std::string>{} : s.args);
    EXPECT_EQ(r.out, version_line + (c.then_status ? "" : success_line(c.op.op)));
    EXPECT_EQ(r.status, 0);
    if (c.op.op == Op::write && !c.then_status) {
        EXPECT_TRUE(s.bus.flash() ==
                    expected_flash({sim::FLASH_SIZE, c.op.offset + IMAGE_LEN}, c.op.offset));
    }
    if (c.op.op == Op::read) {
        EXPECT_TRUE(s.dir.read("dump") == region_of_old(c.op.offset));
    }
    EXPECT_EQ(s.bus->dev[0].ctrl.protocol_errors, 0u) << s.bus->dev[0].ctrl.last_error;
}

const Operation W0{Op::write, 0}, W1{Op::write, 0x1000};
// The word clocked out, the flash still selected; n words of data or of a read further on; then
// the command released, and its status wait begun; two status bytes into it.
constexpr uint64_t CLOCKED = REG;
constexpr uint64_t words(uint64_t n)
{
    return REG + n * WORD;
}
constexpr uint64_t polled(uint64_t clocked, uint64_t n)
{
    return clocked + REG + BEGIN + n * WORD;
}

INSTANTIATE_TEST_SUITE_P(
    Kills, KilledThenAgain,
    ::testing::Values(KillCase{"write_before_erase", W0, 0x06, CLOCKED},
                      KillCase{"write_chip_erase_clocked", W0, 0xC7, CLOCKED},
                      KillCase{"write_chip_erase_running", W0, 0xC7, polled(CLOCKED, 2)},
                      KillCase{"write_sector_erase_running", W1, 0x20004000, polled(CLOCKED, 2)},
                      KillCase{"write_first_page_data", W0, 0x02000000, words(10)},
                      KillCase{"write_middle_page_running", W1, 0x02002000, polled(words(64), 1)},
                      KillCase{"write_last_page_data", W0, 0x02002F00, words(64)},
                      KillCase{"write_verify_read", W0, 0x03000000, words(1000)},
                      KillCase{"dump_read", {Op::read, 0}, 0x03000000, words(1000)},
                      KillCase{"verify_read", {Op::verify, 0x1000}, 0x03001000, words(1000)},
                      KillCase{"status_after_write", W0, 0x02001000, words(10), true}),
    param_name);

}  // namespace
