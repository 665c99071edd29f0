// SPDX-License-Identifier: MIT
// Whole runs of dump, write and verify: files, messages, exit statuses, the flash left behind and
// the dump written. When an image could not be loaded or a run was refused, nothing is erased or
// programmed.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <grp.h>
#include <optional>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "app/app.h"
#include "tests/fake_platform.h"
#include "tests/harness.h"

namespace {

using bytes = std::vector<uint8_t>;
constexpr uid_t NOBODY = 65534;
constexpr uint32_t FS = sim::FLASH_SIZE;

bytes erased(size_t len)
{
    return bytes(len, 0xFF);
}

bytes concat(bytes a, const bytes &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

bytes slice(const bytes &v, size_t from, size_t len = SIZE_MAX)
{
    return {v.begin() + static_cast<long>(from),
            v.begin() + static_cast<long>(std::min(v.size(), from + std::min(len, v.size())))};
}

bytes with_byte(bytes v, size_t at, uint8_t b)
{
    v[at] = b;
    return v;
}

// A write's result on `before`: erased from `offset` to the end, the image programmed there.
bytes written(const bytes &before, uint32_t offset, const bytes &image)
{
    bytes v = concat(slice(before, 0, offset), erased(FS - offset));
    std::copy_n(image.begin(), std::min<size_t>(image.size(), FS - offset), v.begin() + offset);
    return v;
}

// The command words the flash was sent: the first word written to Tx_REG0 after each select.
std::vector<uint32_t> command_words(const sim::Bus &bus)
{
    std::vector<uint32_t> words;
    bool first = false;
    for (const auto &[address, value] : register_writes(bus)) {
        if (address == sim::REG_CHIP_SEL)
            first = value == 0;  // active low
        else if (address == sim::REG_TX && first)
            words.push_back(value), first = false;
    }
    return words;
}

struct RunCase {
    const char *name;
    std::vector<std::string> args;  // "@x": the file x in the scratch folder; "@img" holds `image`
    bytes image;
    bytes flash;      // before the run (the rest erased)
    std::string out;  // after the version line; "@" stands for the scratch folder
    int status;
    std::optional<bytes> flash_after = {};  // none: unchanged, and nothing erased or programmed
    std::optional<bytes> dump = {};         // "@dump" afterwards; none: there is no such file
    uid_t uid = 0;                          // run as this user, without groups or capabilities
    bool private_image = false;             // "@img" readable by root only
    bool old_dump = false;                  // "@dump" exists before, longer than any dump
};

std::string expand(std::string s, const TempDir &dir)
{
    for (size_t pos; (pos = s.find('@')) != std::string::npos;)
        s.replace(pos, 1, dir.path(""));
    return s;
}

class ImageRun : public ::testing::TestWithParam<RunCase> {};

TEST_P(ImageRun, PrintsExitsAndLeavesFlash)
{
    const RunCase &c = GetParam();
    if (c.uid != 0 && geteuid() != 0)
        ORVEX_SKIP("needs root (runs the tool as uid " + std::to_string(c.uid) +
                   ", for the kernel to check file modes)");
    SimBus bus;
    bus.add_orvex();
    bus.set_flash(c.flash);
    const bytes before = bus.flash();
    TempDir dir;
    chmod(dir.path("").c_str(), 0755);  // other users may look in, but own nothing there
    mkdir(dir.path("subdir").c_str(), 0755);
    chmod(dir.write("img", c.image).c_str(), c.private_image ? 0600 : 0644);
    if (c.old_dump)
        dir.write("dump", bytes(FS + 5000, 0x11));
    std::vector<std::string> args;
    uint32_t start = 0;  // the -o of the run
    for (const std::string &a : c.args) {
        if (!args.empty() && args.back() == "-o")
            start = static_cast<uint32_t>(std::strtoul(a.c_str(), nullptr, 0));
        args.push_back(expand(a, dir));
    }

    // The child drops every id before the run, so the kernel checks file modes as for any user
    // (root would pass them). The bus is mapped and the output files open, so the run is the same.
    const uid_t uid = c.uid;
    const RunResult r = run_orvex(*bus, args, [uid] {
        if (uid != 0 && (setgroups(0, nullptr) != 0 || setresgid(uid, uid, uid) != 0 ||
                         setresuid(uid, uid, uid) != 0))
            std::_Exit(99);
    });

    ASSERT_NE(r.status, 99) << "could not drop to uid " << c.uid;
    EXPECT_EQ(r.out, version_line + expand(c.out, dir));
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, c.status);
    EXPECT_TRUE(bus.flash() == c.flash_after.value_or(before)) << "flash contents";
    const std::vector<uint32_t> commands = command_words(*bus);
    const auto sent = [&](auto pred) {
        return static_cast<size_t>(std::count_if(commands.begin(), commands.end(), pred));
    };
    if (!c.flash_after) {
        EXPECT_EQ(sent([](uint32_t w) { return w == 0x06; }), 0u) << "nothing may be erased";
    } else if (c.status == 0) {
        // Pages are programmed up to the image's last byte that is not 0xFF, and no further.
        const size_t len = ref_trim(c.image.data(), std::min<size_t>(c.image.size(), FS - start));
        EXPECT_EQ(sent([](uint32_t w) { return w >> 24 == 0x02; }), (len + 255) / 256);
    }
    EXPECT_EQ(dir.exists("dump"), c.dump.has_value() || c.old_dump);
    if (c.dump) {
        EXPECT_TRUE(dir.read("dump") == *c.dump) << "the dump, and nothing of an older file";
    }
    EXPECT_EQ(bus->dev[0].ctrl.protocol_errors, 0u) << bus->dev[0].ctrl.last_error;
}

const bytes &old = old_flash();
const bytes p300 = pattern(300);
const bytes img = pattern(100000);
const bytes trailing_ff = with_byte(concat(pattern(FS - 100), erased(100)), 5, 0xFF);
const std::vector<std::string> W{"-w", "@img"}, V{"-v", "@img"}, R{"-r", "@dump"};
const bytes none;                                                // no image, or an erased flash
const std::optional<bytes> kept = std::nullopt, no_dump = kept;  // flash untouched; no "@dump"

template <typename... Args>
std::vector<std::string> cmd(Args... args)
{
    return {args...};
}

std::vector<std::string> at(const char *offset, const std::vector<std::string> &args)
{
    std::vector<std::string> v{"-o", offset};
    v.insert(v.end(), args.begin(), args.end());
    return v;
}

INSTANTIATE_TEST_SUITE_P(
    Dump, ImageRun,
    ::testing::Values(
        RunCase{"status_run", {}, none, old, "", 0, kept, no_dump},
        RunCase{"trims_trailing_erased_bytes", R, none, trailing_ff, "", 0, kept,
                slice(trailing_ff, 0, FS - 100)},
        RunCase{"erased_flash_gives_empty_file", R, none, none, "", 0, kept, bytes{}},
        RunCase{"at_0x1000", at("0x1000", R), none, old, "", 0, kept, slice(old, 0x1000)},
        RunCase{"at_0x1fffc", at("0x1fffc", R), none, old, "", 0, kept, slice(old, 0x1FFFC)},
        RunCase{"at_2", at("2", R), none, old, "", 234, kept, no_dump},
        RunCase{"at_0x20000", at("0x20000", R), none, old, "", 234, kept, no_dump},
        RunCase{"at_minus_4", at("-4", R), none, old, "", 234, kept, no_dump},
        RunCase{"replaces_longer_file", at("0x1000", R), none, old, "", 0, kept, slice(old, 0x1000),
                0, false, true},
        RunCase{"into_directory", cmd("-r", "@subdir"), none, old, "* failed to create '@subdir'\n",
                255, kept, no_dump},
        RunCase{"no_such_folder", cmd("-r", "@no/such"), none, old,
                "* failed to create '@no/such'\n", 255, kept, no_dump},
        RunCase{"full_device", cmd("-r", "/dev/full"), none, old,
                "* failed to write data to file\n", 255, kept, no_dump},
        RunCase{"unwritable_folder", R, none, old, "* failed to create '@dump'\n", 255, kept,
                no_dump, NOBODY}),
    param_name);

INSTANTIATE_TEST_SUITE_P(
    Write, ImageRun,
    ::testing::Values(
        RunCase{"whole_chip", W, img, old, reprogrammed, 0, written(old, 0, img)},
        RunCase{"trailing_erased_bytes_not_programmed", W, concat(pattern(1000), erased(600)), old,
                reprogrammed, 0, written(old, 0, pattern(1000))},
        RunCase{"at_0x1000", at("0x1000", W), pattern(5000, 3), old, reprogrammed, 0,
                written(old, 0x1000, pattern(5000, 3))},
        RunCase{"at_0x1f000", at("0x1f000", W), pattern(10, 3), old, reprogrammed, 0,
                written(old, 0x1F000, pattern(10, 3))},
        // Longer than the region: cut to it without a word.
        RunCase{"longer_than_region_at_0x1000", at("0x1000", W), pattern(FS, 3), old, reprogrammed,
                0, written(old, 0x1000, pattern(FS, 3))},
        RunCase{"longer_than_flash", W, pattern(FS + 10, 3), old, reprogrammed, 0,
                written(old, 0, pattern(FS + 10, 3))},
        // Exactly the region: the last page ends at the last byte of the flash.
        RunCase{"exactly_the_flash", W, pattern(FS, 8), old, reprogrammed, 0, pattern(FS, 8)},
        RunCase{"exactly_the_region_at_0x1000", at("0x1000", W), pattern(FS - 0x1000, 8), old,
                reprogrammed, 0, written(old, 0x1000, pattern(FS - 0x1000, 8))},
        // An empty or all-0xFF image is a valid, empty one: the region is erased, nothing is
        // programmed, and the verify agrees.
        RunCase{"empty", W, none, old, reprogrammed, 0, erased(FS)},
        RunCase{"all_ff_at_0x1000", at("0x1000", W), erased(5000), old, reprogrammed, 0,
                written(old, 0x1000, {})},
        // Refused before anything is erased.
        RunCase{"at_2", at("2", W), pattern(100), old, "", 234, kept},
        RunCase{"at_0x800", at("0x800", W), pattern(100), old, "", 234, kept},
        RunCase{"at_0x20000", at("0x20000", W), pattern(100), old, "", 234, kept},
        RunCase{"missing", cmd("-w", "@missing"), none, old, "* failed to open '@missing'\n", 255,
                kept},
        RunCase{"directory", cmd("-w", "@subdir"), none, old, "* failed to read '@subdir'\n", 255,
                kept},
        // Another user's private image cannot be opened; the same image readable by that user
        // goes through, so it is the file's mode that counts.
        RunCase{"unreadable", W, pattern(5000), old, "* failed to open '@img'\n", 255, kept,
                no_dump, NOBODY, true},
        RunCase{"readable_by_that_user", W, pattern(5000), old, reprogrammed, 0,
                written(old, 0, pattern(5000)), kept, NOBODY}),
    param_name);

INSTANTIATE_TEST_SUITE_P(
    Verify, ImageRun,
    ::testing::Values(
        RunCase{"same", V, p300, p300, verified, 0},
        RunCase{"same_with_trailing_ff_in_file", V, concat(p300, erased(50)), p300, verified, 0},
        RunCase{"differs", V, with_byte(p300, 17, 0), p300, "* data mismatch\n", 1},
        RunCase{"file_shorter", V, slice(p300, 0, 200), p300,
                "* trimmed file length 200, trimmed EEPROM length 300\n* data matches up to 200\n",
                1},
        RunCase{"file_longer_and_differs", V, with_byte(p300, 3, 0), slice(p300, 0, 100),
                "* trimmed file length 300, trimmed EEPROM length 100\n* data mismatch\n", 1},
        RunCase{"both_empty", V, none, none, verified, 0},
        RunCase{"all_ff_file_against_erased", V, erased(5000), none, verified, 0},
        RunCase{"empty_file_against_programmed", V, none, old,
                "* trimmed file length 0, trimmed EEPROM length 131072\n* data matches up to 0\n",
                1},
        RunCase{"at_0x1000", at("0x1000", V), slice(old, 0x1000), old, verified, 0},
        // Longer than the region: only the region's length counts, whatever follows it.
        RunCase{"longer_with_different_tail", at("0x1000", V),
                concat(slice(old, 0x1000), bytes(100)), old, verified, 0},
        RunCase{"at_0x20000", at("0x20000", V), slice(old, 0x1000), old, "", 234},
        RunCase{"at_2", at("2", V), slice(old, 0x1000), old, "", 234},
        RunCase{"missing", cmd("-v", "@missing"), none, old, "* failed to open '@missing'\n", 255},
        RunCase{"directory", cmd("-v", "@subdir"), none, old, "* failed to read '@subdir'\n", 255},
        RunCase{"unreadable", V, old, old, "* failed to open '@img'\n", 255, kept, no_dump, NOBODY,
                true}),
    param_name);

// --- an image fed through a named pipe ----------------------------------------------------------
//
// Nothing may assume the image can be sized before it is read: a pipe gives its bytes once. A
// write loads its image twice (programming, then its verify), which a pipe cannot give, so it
// refuses one, decided on what it opened, without waiting for a writer.
TEST(FifoImage, VerifyReadsWhatTheWriterSendsAndWriteRefuses)
{
    SimBus bus;
    bus.add_orvex();
    bus.set_flash(old_flash());
    TempDir dir;
    const std::string fifo = dir.path("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::fflush(nullptr);
    const pid_t feeder = fork();
    if (feeder == 0) {
        FILE *f = std::fopen(fifo.c_str(), "wb");  // waits for the tool to open it
        _exit(f && std::fwrite(old_flash().data(), 1, FS, f) == FS && std::fclose(f) == 0 ? 0 : 1);
    }
    RunResult r = run_orvex(*bus, {"-v", fifo});
    int wstatus = 0;
    for (int i = 0; i < 1000 && waitpid(feeder, &wstatus, WNOHANG) == 0; i++)
        usleep(1000);
    if (kill(feeder, SIGKILL) == 0)
        waitpid(feeder, &wstatus, 0);  // the tool never opened the pipe
    EXPECT_EQ(wstatus, 0) << "the feeder could not send the whole image";
    EXPECT_EQ(r.out, version_line + verified);
    EXPECT_EQ(r.status, 0);

    // No writer: a run that opened it would wait for ever, so it is given ten seconds.
    r = run_orvex(*bus, {"-w", fifo}, [] { alarm(10); });
    EXPECT_EQ(r.out, version_line + "* failed to read '" + fifo + "'\n");
    EXPECT_EQ(r.status, 255);
    EXPECT_TRUE(bus.flash() == old_flash());
}

// --- the image's name changing while a write runs ------------------------------------------------
//
// The verify after a write reads the file the write opened, as that file now is: whatever becomes
// of the name meanwhile, it neither waits nor fails; a change made to the file itself shows.
enum class image_change { removed, fifo, other_file, changed_in_place };

struct NameCase {
    const char *name;
    image_change what;
    std::string out;
    int status;
};

class ImageNameDuringWrite : public ::testing::TestWithParam<NameCase> {};

TEST_P(ImageNameDuringWrite, VerifiesTheFileTheWriteLoaded)
{
    const NameCase &c = GetParam();
    SimBus bus;
    bus.add_orvex();
    bus.set_flash(old_flash());
    TempDir dir;
    const std::string image = dir.write("img", pattern(5000));
    // The verify's first allocation comes after the write has programmed the flash.
    const RunResult r = run_orvex(*bus, {"-w", image}, [&] {
        alarm(20);
        at_platform_call(platform_call::alloc, 2, [&] {
            switch (c.what) {
            case image_change::removed:
                unlink(image.c_str());
                break;
            case image_change::fifo:
                rename(image.c_str(), dir.path("old").c_str());
                mkfifo(image.c_str(), 0600);
                break;
            case image_change::other_file:
                rename(image.c_str(), dir.path("old").c_str());
                dir.write("img", pattern(5000, 2));
                break;
            case image_change::changed_in_place:
                if (FILE *f = std::fopen(image.c_str(), "r+b")) {
                    std::fseek(f, 100, SEEK_SET);
                    std::fputc(pattern(5000)[100] ^ 1, f);
                    std::fclose(f);
                }
                break;
            }
        });
    });
    EXPECT_EQ(r.out, version_line + c.out);
    EXPECT_EQ(r.status, c.status);
    EXPECT_TRUE(bus.flash() == written(old_flash(), 0, pattern(5000))) << "the loaded image";
}

INSTANTIATE_TEST_SUITE_P(
    Changes, ImageNameDuringWrite,
    ::testing::Values(NameCase{"name_removed", image_change::removed, reprogrammed, 0},
                      NameCase{"name_made_a_fifo", image_change::fifo, reprogrammed, 0},
                      NameCase{"name_given_to_another_file", image_change::other_file,
                               reprogrammed, 0},
                      NameCase{"file_changed_in_place", image_change::changed_in_place,
                               "* data mismatch\n", 1}),
    param_name);

// --- the C library failing ----------------------------------------------------------------------

struct PlatformCase {
    const char *name;
    std::vector<std::string> args;
    int failing;  // which such call of the run fails
    std::string out;
    int status;
    platform_call call = platform_call::alloc;
    int err = 5;  // EIO
};

class PlatformFailure : public ::testing::TestWithParam<PlatformCase> {};

TEST_P(PlatformFailure, ReportsAndStops)
{
    const PlatformCase &c = GetParam();
    SimBus bus;
    bus.add_orvex();
    bus.set_flash(pattern(1000));
    TempDir dir;
    std::vector<std::string> args = c.args;
    if (args.size() > 1)
        args[1] = args[0] == "-r" ? dir.path("dump") : dir.write("img", pattern(1000));
    RunResult r = run_orvex(*bus, args, [&c] { fail_platform_call(c.call, c.failing, c.err); });
    EXPECT_EQ(r.out, version_line + c.out);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(dir.exists("dump"), c.status == 0 && !args.empty() && args[0] == "-r");
    EXPECT_EQ(bus.flash(), concat(pattern(1000), erased(FS - 1000)));
}

const std::string no_memory = "* failed to allocate memory\n";

INSTANTIATE_TEST_SUITE_P(
    Calls, PlatformFailure,
    ::testing::Values(
        PlatformCase{"status_run", {}, 1, no_memory, 255},
        PlatformCase{"dump", {"-r", ""}, 1, no_memory, 255},
        PlatformCase{"write_image", {"-w", ""}, 1, no_memory, 255},
        PlatformCase{"verify_eeprom_copy", {"-v", ""}, 1, no_memory, 244},
        PlatformCase{"verify_image", {"-v", ""}, 2, no_memory, 255},
        // the write itself went through; its verify could not run
        PlatformCase{"write_then_verify", {"-w", ""}, 2, no_memory, 244},
        // a failing sync or close of a dump: tests/dump_file_test.cpp
        // a target that cannot be synced at all is no failure
        PlatformCase{"dump_sync_einval", {"-r", ""}, 1, "", 0, platform_call::sync, 22},
        PlatformCase{"dump_sync_erofs", {"-r", ""}, 1, "", 0, platform_call::sync, 30}),
    param_name);

}  // namespace
