// SPDX-License-Identifier: MIT
// The dump on disk: a regular file is replaced whole, through a new file beside it, so whatever
// goes wrong while the dump is written, the file it would replace stays as it was, byte for byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/fake_platform.h"
#include "tests/harness.h"

namespace {

using bytes = std::vector<uint8_t>;
constexpr uid_t NOBODY = 65534;
constexpr size_t FLASH_LEN = 1000;  // the dump: pattern(1000), the rest of the flash erased

enum class target { old_file, none, link };
enum class after { dump, old, none };

struct DumpCase {
    const char *name;
    target before;
    platform_call call = platform_call::alloc;  // alloc: nothing fails
    int err = EIO;
    bool kill = false;  // the call kills the run instead of failing
    std::string out = "";
    int status = 0;
    after file = after::dump;  // what the target holds afterwards
    bool leftover = false;     // an incomplete dump is left beside it
};

// The names in a folder, but for . and .. (readdir64: a 32-bit build without 64-bit offsets
// gets EOVERFLOW from readdir on a file system with 64-bit directory offsets).
std::vector<std::string> entries(const std::string &folder)
{
    std::vector<std::string> names;
    if (DIR *d = opendir(folder.c_str())) {
        while (const dirent64 *e = readdir64(d))
            if (std::string n = e->d_name; n != "." && n != "..")
                names.push_back(n);
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

class DumpFile : public ::testing::TestWithParam<DumpCase> {};

TEST_P(DumpFile, ReplacesWholeOrKeepsTheOldFile)
{
    const DumpCase &c = GetParam();
    SimBus bus;
    bus.add_orvex();
    bus.set_flash(pattern(FLASH_LEN));
    TempDir dir;
    // The target is "dump" in the scratch folder; a link "link" leads to it from a folder of its
    // own, and is what the run is given.
    const bytes old(90000, 0x11);
    std::string arg = dir.path("dump");
    if (c.before != target::none) {
        chmod(dir.write("dump", old).c_str(), 0640);
        if (geteuid() == 0) {
            ASSERT_EQ(chown(dir.path("dump").c_str(), NOBODY, NOBODY), 0);
        }
    }
    if (c.before == target::link) {
        ASSERT_EQ(mkdir(dir.path("links").c_str(), 0755), 0);
        arg = dir.path("links/link");
        ASSERT_EQ(symlink("../dump", arg.c_str()), 0);
    }

    const RunResult r = run_orvex(*bus, {"-r", arg}, [&c] {
        umask(022);
        if (c.call == platform_call::alloc)
            return;
        if (c.kill)
            kill_at_platform_call(c.call, 1);
        else
            fail_platform_call(c.call, 1, c.err);
    });

    if (c.kill) {
        EXPECT_EQ(r.signal, SIGKILL);
    } else {
        EXPECT_EQ(r.out, version_line + c.out);
        EXPECT_EQ(r.status, c.status);
    }
    struct stat st {};
    switch (c.file) {
    case after::dump:
        EXPECT_TRUE(dir.read("dump") == pattern(FLASH_LEN)) << "the new dump";
        ASSERT_EQ(stat(dir.path("dump").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, c.before == target::none ? 0644u : 0640u);
        if (c.before != target::none && geteuid() == 0) {
            EXPECT_EQ(st.st_uid, NOBODY) << "the old file's owner";
            EXPECT_EQ(st.st_gid, NOBODY) << "the old file's group";
        }
        break;
    case after::old:
        EXPECT_TRUE(dir.read("dump") == old) << "the old file, byte for byte";
        break;
    case after::none:
        EXPECT_FALSE(dir.exists("dump"));
        break;
    }
    if (c.before == target::link) {
        ASSERT_EQ(lstat(arg.c_str(), &st), 0);
        EXPECT_TRUE(S_ISLNK(st.st_mode)) << "the link stays a link";
        EXPECT_EQ(entries(dir.path("links")), std::vector<std::string>{"link"});
    }
    std::vector<std::string> names = entries(dir.path(""));
    std::erase_if(names, [](const std::string &n) { return n == "dump" || n == "links"; });
    if (c.leftover) {
        ASSERT_EQ(names.size(), 1u);
        EXPECT_EQ(names[0].rfind("dump.incomplete-dump-", 0), 0u) << names[0];
        EXPECT_EQ(names[0].size(), std::string("dump.incomplete-dump-XXXXXX").size());
    } else {
        EXPECT_EQ(names, std::vector<std::string>{}) << "nothing left beside the dump";
    }
}

const std::string not_stored = "* failed to write data to file\n";

INSTANTIATE_TEST_SUITE_P(
    Dumps, DumpFile,
    ::testing::Values(
        DumpCase{"replaces_old_file", target::old_file}, DumpCase{"new_file", target::none},
        DumpCase{"through_a_link", target::link},
        DumpCase{"sync_fails", target::old_file, platform_call::sync, EIO, false, not_stored, 255,
                 after::old},
        DumpCase{"sync_fails_no_old_file", target::none, platform_call::sync, EIO, false,
                 not_stored, 255, after::none},
        DumpCase{"close_fails", target::old_file, platform_call::close, EIO, false, not_stored, 255,
                 after::old},
        DumpCase{"close_fails_through_a_link", target::link, platform_call::close, EIO, false,
                 not_stored, 255, after::old},
        // The dump is complete and in place, but its name may not survive a power cut.
        DumpCase{"folder_sync_fails", target::old_file, platform_call::sync_folder, EIO, false,
                 not_stored, 255},
        DumpCase{"folder_cannot_be_synced", target::old_file, platform_call::sync_folder, EINVAL},
        // No room for a second file: writing over the old one would lose it.
        DumpCase{"no_room_for_a_new_file", target::old_file, platform_call::create_temp, ENOSPC,
                 false, not_stored, 255, after::old},
        DumpCase{"no_quota_for_a_new_file", target::old_file, platform_call::create_temp, EDQUOT,
                 false, not_stored, 255, after::old},
        // A folder that takes no new file, though its file may be written: written in place.
        DumpCase{"folder_takes_no_new_file", target::old_file, platform_call::create_temp, EACCES},
        DumpCase{"killed_while_writing", target::old_file, platform_call::sync, EIO, true, "", 0,
                 after::old, true}),
    param_name);

}  // namespace
