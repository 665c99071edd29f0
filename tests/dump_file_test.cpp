// SPDX-License-Identifier: MIT
// The dump on disk: a regular file is replaced whole, through a new file beside it, so whatever
// goes wrong while the dump is written, the file it would replace stays as it was, byte for byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <dirent.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/fake_platform.h"
#include "tests/harness.h"

namespace {

using bytes = std::vector<uint8_t>;
constexpr uid_t NOBODY = 65534;
constexpr size_t FLASH_LEN = 1000;  // the dump: pattern(1000), the rest of the flash erased

enum class target { old_file, none, link };
enum class after { dump, old, none, other };
// What happens to the name while the new file is written (at its sync).
enum class meanwhile { nothing, name_replaced, name_taken };

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
    mode_t mode = 0640;        // the old file's
    meanwhile what = meanwhile::nothing;
    uid_t uid = 0;  // run as this user, in a folder everyone may write
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
    if (c.uid != 0 && geteuid() != 0)
        ORVEX_SKIP("needs root (runs the tool as another user)");
    SimBus bus;
    bus.add_orvex();
    bus.set_flash(pattern(FLASH_LEN));
    TempDir dir;
    // The target is "dump" in the scratch folder; a link "link" leads to it from a folder of its
    // own, and is what the run is given.
    const bytes old(90000, 0x11);
    std::string arg = dir.path("dump");
    const bytes other(500, 0x22);  // a file someone else puts at the name meanwhile
    if (c.uid != 0)
        chmod(dir.path("").c_str(), 0777);
    if (c.before != target::none) {
        dir.write("dump", old);
        if (geteuid() == 0) {
            ASSERT_EQ(chown(dir.path("dump").c_str(), NOBODY, NOBODY), 0);
        }
        chmod(dir.path("dump").c_str(), c.mode);  // after chown, which clears set-id bits
    }
    if (c.before == target::link) {
        ASSERT_EQ(mkdir(dir.path("links").c_str(), 0755), 0);
        arg = dir.path("links/link");
        ASSERT_EQ(symlink("../dump", arg.c_str()), 0);
    }

    const RunResult r = run_orvex(*bus, {"-r", arg}, [&] {
        umask(022);
        if (c.what == meanwhile::name_replaced) {
            at_platform_call(platform_call::sync, 1, [&] {
                rename(dir.path("dump").c_str(), dir.path("moved").c_str());
                dir.write("dump", other);
            });
        } else if (c.what == meanwhile::name_taken) {
            at_platform_call(platform_call::sync, 1, [&] { dir.write("dump", other); });
        } else if (c.kill) {
            kill_at_platform_call(c.call, 1);
        } else if (c.call != platform_call::alloc) {
            fail_platform_call(c.call, 1, c.err);
        }
        if (c.uid != 0 && (setgroups(0, nullptr) != 0 || setresgid(c.uid, c.uid, c.uid) != 0 ||
                           setresuid(c.uid, c.uid, c.uid) != 0))
            std::_Exit(99);
    });

    if (c.kill) {
        EXPECT_EQ(r.signal, SIGKILL);
    } else {
        std::string out = c.out;
        if (size_t at = out.find('@'); at != std::string::npos)
            out.replace(at, 1, arg);
        EXPECT_EQ(r.out, version_line + out);
        EXPECT_EQ(r.status, c.status);
    }
    struct stat st {};
    switch (c.file) {
    case after::dump:
        EXPECT_TRUE(dir.read("dump") == pattern(FLASH_LEN)) << "the new dump";
        ASSERT_EQ(stat(dir.path("dump").c_str(), &st), 0);
        // Never set-user-ID or set-group-ID, whatever the old file had.
        EXPECT_EQ(st.st_mode & 07777, c.before == target::none ? 0644u : c.mode & 0777u);
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
    case after::other:
        EXPECT_TRUE(dir.read("dump") == other) << "what was put at the name meanwhile";
        break;
    }
    if (c.before == target::link) {
        ASSERT_EQ(lstat(arg.c_str(), &st), 0);
        EXPECT_TRUE(S_ISLNK(st.st_mode)) << "the link stays a link";
        EXPECT_EQ(entries(dir.path("links")), std::vector<std::string>{"link"});
    }
    std::vector<std::string> names = entries(dir.path(""));
    std::erase_if(names, [](const std::string &n) {
        return n == "dump" || n == "links" || n == "moved";
    });
    if (c.leftover) {
        ASSERT_EQ(names.size(), 1u);
        EXPECT_EQ(names[0].rfind("dump.incomplete-dump-", 0), 0u) << names[0];
        EXPECT_EQ(names[0].size(), std::string("dump.incomplete-dump-XXXXXX").size());
    } else {
        EXPECT_EQ(names, std::vector<std::string>{}) << "nothing left beside the dump";
    }
}

const std::string not_stored = "* failed to write data to file\n";
const std::string not_created = "* failed to create '@'\n";

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
                 after::old, true},
        // The new name is in the folder by the time the folder is synced.
        DumpCase{"killed_at_folder_sync", target::old_file, platform_call::sync_folder, EIO, true},
        DumpCase{"rename_fails", target::old_file, platform_call::rename, EIO, false, not_stored,
                 255, after::old},
        DumpCase{"rename_fails_no_old_file", target::none, platform_call::rename, EIO, false,
                 not_stored, 255, after::none},
        // Only the file the name held when it was opened is replaced; a new name is taken only
        // while it is free.
        DumpCase{"name_replaced_meanwhile", target::old_file, platform_call::alloc, EIO, false,
                 not_stored, 255, after::other, false, 0640, meanwhile::name_replaced},
        DumpCase{"name_replaced_meanwhile_through_a_link", target::link, platform_call::alloc, EIO,
                 false, not_stored, 255, after::other, false, 0640, meanwhile::name_replaced},
        DumpCase{"name_taken_meanwhile", target::none, platform_call::alloc, EIO, false,
                 not_stored, 255, after::other, false, 0640, meanwhile::name_taken},
        DumpCase{"set_id_bits_dropped", target::old_file, platform_call::alloc, EIO, false, "", 0,
                 after::dump, false, 06755},
        DumpCase{"set_id_bits_dropped_through_a_link", target::link, platform_call::alloc, EIO,
                 false, "", 0, after::dump, false, 02750},
        // A file the user may not write is not replaced, though its folder takes new files: the
        // shell's > would be refused too.
        DumpCase{"read_only_file", target::old_file, platform_call::alloc, EIO, false,
                 not_created, 255, after::old, false, 0440, meanwhile::nothing, NOBODY},
        DumpCase{"read_only_file_through_a_link", target::link, platform_call::alloc, EIO, false,
                 not_created, 255, after::old, false, 0440, meanwhile::nothing, NOBODY},
        DumpCase{"writable_file_of_that_user", target::old_file, platform_call::alloc, EIO, false,
                 "", 0, after::dump, false, 0640, meanwhile::nothing, NOBODY}),
    param_name);

// A link to something other than a regular file leads the dump into it, as a plain open would;
// the node itself is never replaced by a regular file.
enum class node { fifo, folder, device };

struct NodeCase {
    const char *name;
    node kind;
};

class DumpToNode : public ::testing::TestWithParam<NodeCase> {};

TEST_P(DumpToNode, WritesIntoItAndLeavesItAsItWas)
{
    const NodeCase &c = GetParam();
    if (c.kind == node::device && geteuid() != 0)
        ORVEX_SKIP("needs root (makes a device node)");
    SimBus bus;
    bus.add_orvex();
    bus.set_flash(pattern(FLASH_LEN));
    TempDir dir;
    const std::string target = dir.path("node"), link = dir.path("link");
    struct stat before {};
    switch (c.kind) {
    case node::fifo:
        ASSERT_EQ(mkfifo(target.c_str(), 0600), 0);
        break;
    case node::folder:
        ASSERT_EQ(mkdir(target.c_str(), 0755), 0);
        break;
    case node::device:
        ASSERT_EQ(mknod(target.c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);  // as /dev/null
        break;
    }
    ASSERT_EQ(symlink("node", link.c_str()), 0);
    ASSERT_EQ(lstat(target.c_str(), &before), 0);

    // A FIFO's reader takes what the dump sends.
    std::fflush(nullptr);
    const pid_t reader = c.kind == node::fifo ? fork() : 0;
    if (c.kind == node::fifo && reader == 0) {
        alarm(20);
        FILE *in = std::fopen(target.c_str(), "rb");
        FILE *out = std::fopen(dir.path("received").c_str(), "wb");
        for (int ch; in && out && (ch = std::fgetc(in)) != EOF;)
            std::fputc(ch, out);
        _exit(in && out && std::fclose(out) == 0 ? 0 : 1);
    }
    const RunResult r = run_orvex(*bus, {"-r", link}, [] { alarm(20); });
    if (c.kind == node::fifo) {
        int wstatus = -1;
        waitpid(reader, &wstatus, 0);
        EXPECT_EQ(wstatus, 0) << "the reader";
        EXPECT_TRUE(dir.read("received") == pattern(FLASH_LEN)) << "what the reader got";
    }
    // A folder cannot be opened for writing; a device node on a file system mounted nodev cannot
    // be opened at all.
    const bool refused = c.kind == node::folder || (c.kind == node::device && r.status == 255);
    EXPECT_EQ(r.out, version_line + (refused ? "* failed to create '" + link + "'\n" : ""));
    EXPECT_EQ(r.status, refused ? 255 : 0);

    struct stat after {};
    ASSERT_EQ(lstat(target.c_str(), &after), 0);
    EXPECT_EQ(after.st_mode, before.st_mode) << "the node is what it was";
    EXPECT_EQ(after.st_ino, before.st_ino) << "the node is the same node";
    EXPECT_EQ(after.st_rdev, before.st_rdev);
    ASSERT_EQ(lstat(link.c_str(), &after), 0);
    EXPECT_TRUE(S_ISLNK(after.st_mode)) << "the link stays a link";
    std::vector<std::string> names = entries(dir.path(""));
    std::erase(names, "received");
    EXPECT_EQ(names, (std::vector<std::string>{"link", "node"})) << "nothing left beside them";
    if (c.kind == node::folder) {
        EXPECT_EQ(entries(target), std::vector<std::string>{}) << "nothing written into it";
    }
}

INSTANTIATE_TEST_SUITE_P(Nodes, DumpToNode,
                         ::testing::Values(NodeCase{"fifo", node::fifo},
                                           NodeCase{"folder", node::folder},
                                           NodeCase{"device", node::device}),
                         param_name);

}  // namespace
