// Image files and dump targets that are not plain, readable, ordinary-sized files: each run gives
// its message and status, and when the image could not be loaded nothing is erased or programmed.
// (Missing images, directories, an uncreatable dump path and /dev/full are in image_test.cpp.)
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "app/app.h"
#include "tests/harness.h"

namespace {

constexpr uid_t NOBODY = 65534;
constexpr uint32_t REGION0X1000 = sim::FLASH_SIZE - 0x1000;

const std::string version_line = "ORVEX FW version: 01020304\n";
const std::string reprogrammed =
    "ORVEX EEPROM successfully reprogrammed - please reboot to activate.\n";
const std::string verified = "ORVEX EEPROM data verified\n";

const std::vector<uint8_t> &old_flash()
{
    static const std::vector<uint8_t> v = pattern(sim::FLASH_SIZE, 5);
    return v;
}

std::vector<uint8_t> old_from(uint32_t offset, size_t extra_len = 0, uint8_t extra = 0)
{
    std::vector<uint8_t> v(old_flash().begin() + offset, old_flash().end());
    v.insert(v.end(), extra_len, extra);
    return v;
}

// Runs the whole tool, as root or, with `uid`, as that user without groups or capabilities: the
// child drops every id before the run, so the kernel checks file modes as for any user (root would
// pass them). The bus is already mapped and the output files open, so the run itself is unchanged.
RunResult run_as(sim::Bus &bus, const std::vector<std::string> &args, uid_t uid)
{
    return run_orvex(bus, args, [uid] {
        if (uid != 0 && (setgroups(0, nullptr) != 0 || setresgid(uid, uid, uid) != 0 ||
                         setresuid(uid, uid, uid) != 0))
            std::_Exit(99);
    });
}

bool sent_write_enable(const sim::Bus &bus)
{
    const std::vector<uint32_t> words = tx_words(bus);
    return std::find(words.begin(), words.end(), 0x06u) != words.end();
}

// The flash afterwards: the old contents, erased from `erase_from` to the end, with `programmed`
// at `erase_from`. erase_from = FLASH_SIZE: nothing erased.
struct FlashAfter {
    uint32_t erase_from = sim::FLASH_SIZE;
    std::vector<uint8_t> programmed;
};

std::vector<uint8_t> expected_flash(const FlashAfter &a)
{
    std::vector<uint8_t> v = old_flash();
    std::fill(v.begin() + a.erase_from, v.end(), 0xFF);
    const size_t n = std::min<size_t>(a.programmed.size(), sim::FLASH_SIZE - a.erase_from);
    std::copy_n(a.programmed.begin(), n, v.begin() + a.erase_from);
    return v;
}

struct FileCase {
    const char *name;
    // Makes the files in the scratch folder and returns the arguments ("@" prefix: in the folder).
    std::function<std::vector<std::string>(const TempDir &)> make;
    uid_t uid;
    std::string out;  // after the version line; "@" stands for the scratch folder
    int status;
    FlashAfter flash;
};

void PrintTo(const FileCase &c, std::ostream *os)
{
    *os << c.name;
}

std::string expand(std::string s, const TempDir &dir)
{
    for (size_t at; (at = s.find('@')) != std::string::npos;)
        s.replace(at, 1, dir.path(""));
    return s;
}

class BadFile : public ::testing::TestWithParam<FileCase> {};

TEST_P(BadFile, ReportsAndLeavesFlash)
{
    const FileCase &c = GetParam();
    SimBus bus;
    bus.add_orvex();
    bus.set_flash(old_flash());
    TempDir dir;
    chmod(dir.path("").c_str(), 0755);  // other users may look in, but own nothing there
    std::vector<std::string> args = c.make(dir);
    for (std::string &a : args)
        a = expand(a, dir);

    const RunResult r = run_as(*bus, args, c.uid);

    ASSERT_NE(r.status, 99) << "could not drop to uid " << c.uid;
    EXPECT_EQ(r.out, version_line + expand(c.out, dir));
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, c.status);
    EXPECT_TRUE(bus.flash() == expected_flash(c.flash)) << "flash contents";
    if (c.flash.erase_from == sim::FLASH_SIZE) {
        EXPECT_FALSE(sent_write_enable(*bus)) << "nothing may be erased or programmed";
    }
}

std::vector<std::string> image(const TempDir &dir, const std::vector<uint8_t> &data, mode_t mode,
                               std::vector<std::string> args)
{
    const std::string path = dir.write("img", data);
    chmod(path.c_str(), mode);
    args.push_back(path);
    return args;
}

INSTANTIATE_TEST_SUITE_P(
    Images, BadFile,
    ::testing::Values(
        // Another user's private image: open fails for lack of rights; nothing is erased. The
        // same image readable by that user goes through, so it is the file's mode that counts.
        FileCase{"write_unreadable",
                 [](const TempDir &d) { return image(d, pattern(5000), 0600, {"-w"}); },
                 NOBODY,
                 "* failed to open '@img'\n",
                 255,
                 {}},
        FileCase{"verify_unreadable",
                 [](const TempDir &d) { return image(d, old_from(0), 0600, {"-v"}); },
                 NOBODY,
                 "* failed to open '@img'\n",
                 255,
                 {}},
        FileCase{"write_readable_by_that_user",
                 [](const TempDir &d) { return image(d, pattern(5000), 0644, {"-w"}); },
                 NOBODY,
                 reprogrammed,
                 0,
                 {0, pattern(5000)}},
        // An empty or all-0xFF image is a valid, empty one: the region is erased, nothing is
        // programmed, and the verify agrees.
        FileCase{"write_empty",
                 [](const TempDir &d) { return image(d, {}, 0644, {"-w"}); },
                 0,
                 reprogrammed,
                 0,
                 {0, {}}},
        FileCase{
            "write_all_ff_at_0x1000",
            [](const TempDir &d) {
                return image(d, std::vector<uint8_t>(5000, 0xFF), 0644, {"-o", "0x1000", "-w"});
            },
            0,
            reprogrammed,
            0,
            {0x1000, {}}},
        FileCase{"verify_empty_against_programmed",
                 [](const TempDir &d) { return image(d, {}, 0644, {"-v"}); },
                 0,
                 "* trimmed file length 0, trimmed EEPROM length 131072\n"
                 "* data matches up to 0\n",
                 1,
                 {}},
        // Exactly the region: the last page ends at the last byte of the flash.
        FileCase{
            "write_exactly_the_flash",
            [](const TempDir &d) { return image(d, pattern(sim::FLASH_SIZE, 8), 0644, {"-w"}); },
            0,
            reprogrammed,
            0,
            {0, pattern(sim::FLASH_SIZE, 8)}},
        FileCase{"write_exactly_the_region_at_0x1000",
                 [](const TempDir &d) {
                     return image(d, pattern(REGION0X1000, 8), 0644, {"-o", "0x1000", "-w"});
                 },
                 0,
                 reprogrammed,
                 0,
                 {0x1000, pattern(REGION0X1000, 8)}},
        // Longer than the region: only the region's length counts, whatever follows it.
        FileCase{"verify_longer_with_different_tail",
                 [](const TempDir &d) {
                     return image(d, old_from(0x1000, 100, 0x00), 0644, {"-o", "0x1000", "-v"});
                 },
                 0,
                 verified,
                 0,
                 {}},
        // A dump into a folder the user may not write to.
        FileCase{"dump_into_unwritable_folder",
                 [](const TempDir &) {
                     return std::vector<std::string>{"-r", "@dump"};
                 },
                 NOBODY,
                 "* failed to create '@dump'\n",
                 255,
                 {}}),
    param_name);

TEST(DumpTarget, ExistingLongerFileIsReplaced)
{
    SimBus bus;
    bus.add_orvex();
    bus.set_flash(old_flash());
    TempDir dir;
    dir.write("dump", std::vector<uint8_t>(sim::FLASH_SIZE + 5000, 0x11));
    const RunResult r = run_orvex(*bus, {"-o", "0x1000", "-r", dir.path("dump")});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(dir.read("dump") == old_from(0x1000)) << "the dump, and nothing of the old file";
}

// --- an image fed through a named pipe ----------------------------------------------------------
//
// Nothing may assume the image can be sized before it is read: a pipe gives its bytes once per
// writer. A write loads its image twice (programming, then its verify), which a pipe cannot give,
// so it refuses one before opening it; the feeder then never finds a reader.

pid_t feed_fifo(const std::string &fifo, const std::vector<uint8_t> &data, int feeds,
                const sim::Bus &bus)
{
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid != 0)
        return pid;
    for (int i = 0; i < feeds; i++) {
        if (i > 0) {
            // The first status poll comes after the image is loaded and its file closed.
            while (bus.dev[0].ctrl.status_polls == 0)
                usleep(1000);
        }
        const int fd = open(fifo.c_str(), O_WRONLY);  // waits for the tool to open it
        if (fd < 0)
            _exit(10 + i);
        for (size_t done = 0; done < data.size();) {
            const ssize_t n = write(fd, data.data() + done, data.size() - done);
            if (n <= 0)
                _exit(20 + i);
            done += static_cast<size_t>(n);
        }
        close(fd);
    }
    _exit(0);
}

struct FifoCase {
    const char *name;
    const char *op;
    int feeds;
    std::vector<uint8_t> data;
    std::string out;  // "@" stands for the pipe
    int status;
    std::vector<uint8_t> flash_after;
};

void PrintTo(const FifoCase &c, std::ostream *os)
{
    *os << c.name;
}

class FifoImage : public ::testing::TestWithParam<FifoCase> {};

TEST_P(FifoImage, ReadsWhatTheWriterSends)
{
    const FifoCase &c = GetParam();
    SimBus bus;
    bus.add_orvex();
    bus.set_flash(old_flash());
    TempDir dir;
    const std::string fifo = dir.path("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const pid_t feeder = feed_fifo(fifo, c.data, c.feeds, *bus);

    const RunResult r = run_orvex(*bus, {c.op, fifo});

    int wstatus = 0;
    pid_t done = 0;
    for (int i = 0; i < 1000 && (done = waitpid(feeder, &wstatus, WNOHANG)) == 0; i++)
        usleep(1000);
    if (done == 0) {
        kill(feeder, SIGKILL);
        waitpid(feeder, &wstatus, 0);
        ADD_FAILURE() << "the tool did not take every feed";
    } else {
        EXPECT_TRUE(WIFEXITED(wstatus) && WEXITSTATUS(wstatus) == 0) << "feeder status " << wstatus;
    }
    std::string out = c.out;
    if (size_t at = out.find('@'); at != std::string::npos)
        out.replace(at, 1, fifo);
    EXPECT_EQ(r.out, version_line + out);
    EXPECT_EQ(r.status, c.status);
    EXPECT_TRUE(bus.flash() == c.flash_after) << "flash contents";
}

INSTANTIATE_TEST_SUITE_P(Fifo, FifoImage,
                         ::testing::Values(FifoCase{"verify", "-v", 1, old_from(0), verified, 0,
                                                    old_flash()},
                                           FifoCase{"write_refused", "-w", 0, pattern(100000, 4),
                                                    "* failed to read '@'\n", 255, old_flash()}),
                         param_name);

}  // namespace
