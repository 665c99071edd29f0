// Whole runs of dump, write and verify: files, messages, exit statuses and the flash left behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <sys/stat.h>

#include "app/app.h"
#include "tests/fake_platform.h"
#include "tests/harness.h"

namespace {

constexpr const char *version_line = "ORVEX FW version: 01020304\n";
const std::string reprogrammed =
    "ORVEX EEPROM successfully reprogrammed - please reboot to activate.\n";
const std::string verified = "ORVEX EEPROM data verified\n";

std::vector<uint8_t> erased(size_t len)
{
    return std::vector<uint8_t>(len, 0xFF);
}

std::vector<uint8_t> concat(std::vector<uint8_t> a, const std::vector<uint8_t> &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::vector<uint8_t> slice(const std::vector<uint8_t> &v, size_t from, size_t len)
{
    return {v.begin() + static_cast<long>(from), v.begin() + static_cast<long>(from + len)};
}

// Counts the commands the flash was sent, by opcode in the top byte of a command word.
size_t commands(const sim::Bus &bus, uint8_t opcode)
{
    size_t n = 0;
    bool first = true;
    for (const auto &[address, value] : register_writes(bus)) {
        if (address == 0x400FC)
            first = true;
        else if (address == 0x400D0 && first) {
            n += (value >> 24) == opcode || (opcode == 0xC7 && value == 0xC7);
            first = false;
        }
    }
    return n;
}

class ImageRun : public ::testing::Test {
protected:
    void SetUp() override
    {
        bus.add_orvex();
    }
    RunResult run(const std::vector<std::string> &args)
    {
        return run_orvex(*bus, args);
    }
    SimBus bus;
    TempDir dir;
};

TEST_F(ImageRun, DumpTrimsTrailingErasedBytes)
{
    std::vector<uint8_t> flash = concat(pattern(sim::FLASH_SIZE - 100), erased(100));
    flash[5] = 0xFF;
    bus.set_flash(flash);
    RunResult r = run({"-r", dir.path("dump")});
    EXPECT_EQ(r.out, version_line);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(dir.read("dump"), slice(flash, 0, sim::FLASH_SIZE - 100));
}

struct DumpCase {
    const char *offset;
    uint32_t from;  // first byte dumped; the file holds the rest of the flash
    int status;
};

void PrintTo(const DumpCase &c, std::ostream *os)
{
    *os << "-o " << c.offset;
}

class DumpOffset : public ImageRun, public ::testing::WithParamInterface<DumpCase> {};

TEST_P(DumpOffset, DumpsTheRegion)
{
    const std::vector<uint8_t> flash = pattern(sim::FLASH_SIZE);
    bus.set_flash(flash);
    RunResult r = run({"-o", GetParam().offset, "-r", dir.path("dump")});
    EXPECT_EQ(r.out, version_line);
    EXPECT_EQ(r.status, GetParam().status);
    if (GetParam().status == 0) {
        EXPECT_EQ(dir.read("dump"),
                  slice(flash, GetParam().from, sim::FLASH_SIZE - GetParam().from));
    } else {
        EXPECT_FALSE(dir.exists("dump"));
    }
}

INSTANTIATE_TEST_SUITE_P(Offsets, DumpOffset,
                         ::testing::Values(DumpCase{"0", 0, 0}, DumpCase{"0x1000", 0x1000, 0},
                                           DumpCase{"0x1fffc", 0x1FFFC, 0}, DumpCase{"2", 0, 234},
                                           DumpCase{"0x20000", 0, 234}, DumpCase{"-4", 0, 234}));

TEST_F(ImageRun, ErasedEepromDumpsEmptyFile)
{
    RunResult r = run({"-r", dir.path("dump")});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(dir.exists("dump"));
    EXPECT_TRUE(dir.read("dump").empty());
}

TEST_F(ImageRun, StatusRunReadsEverythingWritesNothing)
{
    RunResult r = run({});
    EXPECT_EQ(r.out, version_line);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(commands(*bus, 0x03), 1u);
    EXPECT_EQ(commands(*bus, 0x02) + commands(*bus, 0x20) + commands(*bus, 0xC7), 0u);
}

TEST_F(ImageRun, WriteHundredThousandBytes)
{
    bus.set_flash(pattern(sim::FLASH_SIZE, 9));  // old firmware everywhere
    const std::vector<uint8_t> image = pattern(100000);
    RunResult r = run({"-w", dir.write("img", image)});
    EXPECT_EQ(r.out, std::string(version_line) + reprogrammed);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(commands(*bus, 0xC7), 1u);
    EXPECT_EQ(commands(*bus, 0x20), 0u);
    EXPECT_EQ(commands(*bus, 0x02), 391u);
    EXPECT_EQ(bus.flash(), concat(image, erased(sim::FLASH_SIZE - 100000)));
    EXPECT_EQ(bus->dev[0].ctrl.protocol_errors, 0u) << bus->dev[0].ctrl.last_error;
}

TEST_F(ImageRun, WriteProgramsOnlyUpToLastNonErasedByte)
{
    const std::vector<uint8_t> image = concat(pattern(1000), erased(600));
    RunResult r = run({"-w", dir.write("img", image)});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, std::string(version_line) + reprogrammed);
    EXPECT_EQ(commands(*bus, 0x02), 4u);  // 1000 bytes: three full pages and one of 232
}

struct WriteCase {
    const char *offset;
    size_t image_len;
    uint32_t from;         // where the image lands
    size_t sector_erases;  // 0 with a whole-chip erase at offset 0
    std::string out;       // after the version line
    int status;
};

void PrintTo(const WriteCase &c, std::ostream *os)
{
    *os << "-o " << c.offset << ", " << c.image_len << "-byte image";
}

class WriteOffset : public ImageRun, public ::testing::WithParamInterface<WriteCase> {};

TEST_P(WriteOffset, ErasesToTheEndAndPrograms)
{
    const WriteCase &c = GetParam();
    const std::vector<uint8_t> old = pattern(sim::FLASH_SIZE, 7);
    bus.set_flash(old);
    const std::vector<uint8_t> image = pattern(c.image_len, 3);
    RunResult r = run({"-w", dir.write("img", image), "-o", c.offset});
    EXPECT_EQ(r.out, version_line + c.out);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(commands(*bus, 0x20), c.sector_erases);
    std::vector<uint8_t> expected = old;
    if (c.status == 0) {
        std::fill(expected.begin() + c.from, expected.end(), 0xFF);
        const size_t n = std::min<size_t>(c.image_len, sim::FLASH_SIZE - c.from);
        std::copy_n(image.begin(), n, expected.begin() + c.from);
    }
    EXPECT_EQ(bus.flash(), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Offsets, WriteOffset,
    ::testing::Values(WriteCase{"0x1000", 5000, 0x1000, 31, reprogrammed, 0},
                      WriteCase{"0x1f000", 10, 0x1F000, 1, reprogrammed, 0},
                      // longer than the region: cut to it without a word
                      WriteCase{"0x1000", sim::FLASH_SIZE, 0x1000, 31, reprogrammed, 0},
                      WriteCase{"0", sim::FLASH_SIZE + 10, 0, 0, reprogrammed, 0},
                      // refused before anything is erased
                      WriteCase{"2", 100, 0, 0, "", 234}, WriteCase{"0x800", 100, 0, 0, "", 234},
                      // nothing left to erase or program, and nothing to verify
                      WriteCase{"0x20000", 100, 0, 0, "", 234}));

struct VerifyCase {
    const char *name;
    std::vector<uint8_t> flash, image;
    std::string out;
    int status;
};

void PrintTo(const VerifyCase &c, std::ostream *os)
{
    *os << c.name;
}

class VerifyTest : public ImageRun, public ::testing::WithParamInterface<VerifyCase> {};

TEST_P(VerifyTest, Compares)
{
    bus.set_flash(GetParam().flash);
    const std::vector<uint8_t> before = bus.flash();
    RunResult r = run({"-v", dir.write("img", GetParam().image)});
    EXPECT_EQ(r.out, version_line + GetParam().out);
    EXPECT_EQ(r.status, GetParam().status);
    EXPECT_EQ(bus.flash(), before);
}

std::vector<uint8_t> with_byte(std::vector<uint8_t> v, size_t at, uint8_t b)
{
    v[at] = b;
    return v;
}

const std::vector<uint8_t> p300 = pattern(300);

INSTANTIATE_TEST_SUITE_P(
    Cases, VerifyTest,
    ::testing::Values(
        VerifyCase{"same", p300, p300, verified, 0},
        VerifyCase{"same_with_trailing_ff_in_file", p300, concat(p300, erased(50)), verified, 0},
        VerifyCase{"differs", p300, with_byte(p300, 17, 0), "* data mismatch\n", 1},
        VerifyCase{
            "file_shorter", p300, slice(p300, 0, 200),
            "* trimmed file length 200, trimmed EEPROM length 300\n* data matches up to 200\n", 1},
        VerifyCase{"file_longer_and_differs", slice(p300, 0, 100), with_byte(p300, 3, 0),
                   "* trimmed file length 300, trimmed EEPROM length 100\n* data mismatch\n", 1},
        VerifyCase{"both_empty", {}, {}, verified, 0},
        VerifyCase{"all_ff_file_against_erased", {}, erased(5000), verified, 0}),
    param_name);

TEST_F(ImageRun, VerifyAtOffsets)
{
    const std::vector<uint8_t> flash = pattern(sim::FLASH_SIZE);
    bus.set_flash(flash);
    const std::string tail = dir.write("tail", slice(flash, 0x1000, sim::FLASH_SIZE - 0x1000));
    EXPECT_EQ(run({"-o", "0x1000", "-v", tail}).out, version_line + verified);
    EXPECT_EQ(run({"-o", "0x20000", "-v", tail}).out, version_line);
    EXPECT_EQ(run({"-o", "0x20000", "-v", tail}).status, 234);
    EXPECT_EQ(run({"-o", "2", "-v", tail}).status, 234);
}

TEST_F(ImageRun, FlippedBitFailsTheWritesVerify)
{
    bus->dev[0].ctrl.faults.flip_enabled = 1;
    bus->dev[0].ctrl.faults.flip_addr = 0x1234;
    bus->dev[0].ctrl.faults.flip_bit = 2;
    RunResult r = run({"-w", dir.write("img", pattern(100000))});
    EXPECT_EQ(r.out, std::string(version_line) + "* data mismatch\n");
    EXPECT_EQ(r.status, 1);
}

// File problems: each has its message and status, and nothing is erased when the image could not
// be loaded.
struct FileCase {
    const char *name;
    std::vector<std::string> args;  // "@" prefix: inside the temp dir
    std::string out;                // "@" stands for the temp dir
    int status;
};

void PrintTo(const FileCase &c, std::ostream *os)
{
    *os << c.name;
}

class FileProblem : public ImageRun, public ::testing::WithParamInterface<FileCase> {};

TEST_P(FileProblem, ReportsAndLeavesFlash)
{
    bus.set_flash(pattern(sim::FLASH_SIZE));
    mkdir(dir.path("subdir").c_str(), 0755);
    std::vector<std::string> args;
    for (const std::string &a : GetParam().args)
        args.push_back(a.starts_with("@") ? dir.path(a.substr(1)) : a);
    RunResult r = run(args);
    std::string expected = version_line + GetParam().out;
    for (size_t at; (at = expected.find('@')) != std::string::npos;)
        expected.replace(at, 1, dir.path(""));
    EXPECT_EQ(r.out, expected);
    EXPECT_EQ(r.status, GetParam().status);
    EXPECT_EQ(bus.flash(), pattern(sim::FLASH_SIZE));
    EXPECT_EQ(commands(*bus, 0x02) + commands(*bus, 0x20) + commands(*bus, 0xC7), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FileProblem,
    ::testing::Values(
        FileCase{"write_missing", {"-w", "@missing"}, "* failed to open '@missing'\n", 255},
        FileCase{"write_directory", {"-w", "@subdir"}, "* failed to read '@subdir'\n", 255},
        FileCase{"verify_directory", {"-v", "@subdir"}, "* failed to read '@subdir'\n", 255},
        FileCase{"verify_missing", {"-v", "@missing"}, "* failed to open '@missing'\n", 255},
        FileCase{"dump_into_directory", {"-r", "@subdir"}, "* failed to create '@subdir'\n", 255},
        FileCase{"dump_no_such_dir", {"-r", "@no/such"}, "* failed to create '@no/such'\n", 255},
        FileCase{"dump_full_device", {"-r", "/dev/full"}, "* failed to write data to file\n", 255}),
    param_name);

}  // namespace

namespace {

// The access number (counting from 1) at which the controller receives `value` through the
// window's data register, the n-th time.
uint64_t access_writing(const sim::Bus &bus, uint32_t value, int nth = 1)
{
    for (uint64_t i = 0; i < std::min<uint64_t>(bus.log_count, sim::LOG_CAPACITY); i++)
        if (bus.log[i].kind == 'W' && bus.log[i].offset == 0x7C && bus.log[i].value == value &&
            --nth == 0)
            return i + 1;
    return 0;
}

struct SignalCase {
    const char *name;
    int signal;
    uint32_t at_value;  // the signal comes as this word is written (0: at the very first access)
    bool completes;     // the write finishes before the signal acts
};

void PrintTo(const SignalCase &c, std::ostream *os)
{
    *os << c.name;
}

class SignalDuringWrite : public ImageRun, public ::testing::WithParamInterface<SignalCase> {};

// A write is held together: a termination signal during its erase or its programming waits until
// the image is written and verified and the result line is out, then takes effect.
TEST_P(SignalDuringWrite, FinishesFirst)
{
    const std::vector<uint8_t> old = pattern(sim::FLASH_SIZE, 5);
    const std::vector<uint8_t> image = pattern(100000);
    const std::string file = dir.write("img", image);
    uint64_t at = 1;
    if (GetParam().at_value) {
        SimBus dry;
        dry.add_orvex();
        run_orvex(*dry, {"-w", file});
        at = access_writing(*dry, GetParam().at_value);
        ASSERT_NE(at, 0u);
    }
    bus.set_flash(old);
    bus->signal_at = at;
    bus->signal_number = static_cast<uint32_t>(GetParam().signal);

    RunResult r = run({"-w", file});

    EXPECT_EQ(r.signal, GetParam().signal);
    if (GetParam().completes) {
        EXPECT_EQ(r.out, std::string(version_line) + reprogrammed);
        EXPECT_EQ(bus.flash(), concat(image, erased(sim::FLASH_SIZE - image.size())));
    } else if (GetParam().at_value == 0) {
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(bus.flash(), old);
    } else {
        EXPECT_NE(bus.flash(), concat(image, erased(sim::FLASH_SIZE - image.size())));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Signals, SignalDuringWrite,
    ::testing::Values(SignalCase{"int_before_write", SIGINT, 0, false},
                      SignalCase{"int_during_erase", SIGINT, 0xC7, true},
                      SignalCase{"term_during_erase", SIGTERM, 0xC7, true},
                      SignalCase{"int_during_program", SIGINT, 0x02008000, true},
                      SignalCase{"term_during_program", SIGTERM, 0x02008000, true},
                      SignalCase{"hup_during_program", SIGHUP, 0x02008000, true},
                      SignalCase{"quit_during_program", SIGQUIT, 0x02008000, true},
                      SignalCase{"pipe_during_program", SIGPIPE, 0x02008000, true},
                      SignalCase{"alrm_during_erase", SIGALRM, 0xC7, true},
                      SignalCase{"usr1_during_program", SIGUSR1, 0x02008000, true},
                      SignalCase{"xfsz_during_program", SIGXFSZ, 0x02008000, true},
                      SignalCase{"rtmin_during_program", SIGRTMIN, 0x02008000, true},
                      // a fault of the program itself is never held back
                      SignalCase{"abrt_during_program", SIGABRT, 0x02008000, false}),
    param_name);

}  // namespace

namespace {

struct AllocCase {
    const char *name;
    std::vector<std::string> args;
    int failing;  // which such call of the run fails
    std::string out;
    int status;
    platform_call call = platform_call::alloc;
    int err = 5;  // EIO
};

void PrintTo(const AllocCase &c, std::ostream *os)
{
    *os << c.name;
}

class AllocFailure : public ImageRun, public ::testing::WithParamInterface<AllocCase> {};

TEST_P(AllocFailure, ReportsAndStops)
{
    bus.set_flash(pattern(1000));
    std::vector<std::string> args = GetParam().args;
    if (args.size() > 1)
        args[1] = args[0] == "-r" ? dir.path("dump") : dir.write("img", pattern(1000));
    const AllocCase &c = GetParam();
    RunResult r = run_orvex(*bus, args, [&c] { fail_platform_call(c.call, c.failing, c.err); });
    EXPECT_EQ(r.out, version_line + c.out);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(dir.exists("dump"), c.call != platform_call::alloc);
    EXPECT_EQ(bus.flash(), concat(pattern(1000), erased(sim::FLASH_SIZE - 1000)));
}

const std::string no_memory = "* failed to allocate memory\n";
const std::string stored_not = "* failed to write data to file\n";

INSTANTIATE_TEST_SUITE_P(
    Buffers, AllocFailure,
    ::testing::Values(AllocCase{"status_run", {}, 1, no_memory, 255},
                      AllocCase{"dump", {"-r", ""}, 1, no_memory, 255},
                      AllocCase{"write_image", {"-w", ""}, 1, no_memory, 255},
                      AllocCase{"verify_eeprom_copy", {"-v", ""}, 1, no_memory, 244},
                      AllocCase{"verify_image", {"-v", ""}, 2, no_memory, 255},
                      // the write itself went through; its verify could not run
                      AllocCase{"write_then_verify", {"-w", ""}, 2, no_memory, 244},
                      // the dump was written and flushed, but is not known to be on disk
                      AllocCase{"dump_sync", {"-r", ""}, 1, stored_not, 255, platform_call::sync},
                      AllocCase{"dump_close", {"-r", ""}, 1, stored_not, 255, platform_call::close},
                      // a target that cannot be synced at all is no failure
                      AllocCase{"dump_sync_einval", {"-r", ""}, 1, "", 0, platform_call::sync, 22},
                      AllocCase{"dump_sync_erofs", {"-r", ""}, 1, "", 0, platform_call::sync, 30}),
    param_name);

}  // namespace
