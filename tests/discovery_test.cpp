// SPDX-License-Identifier: MIT
// Finding the one controller, the firmware version, the flash check and libpci's complaints.
#include <gtest/gtest.h>

#include <algorithm>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "app/app.h"
#include "tests/harness.h"

namespace {

struct BusCase {
    const char *name;
    std::function<void(SimBus &)> build;
    std::string out;
    std::string err;
    int status;
};

class BusTest : public ::testing::TestWithParam<BusCase> {};

TEST_P(BusTest, StatusRun)
{
    SimBus bus;
    GetParam().build(bus);
    std::vector<uint8_t> before = bus->n_devices ? bus.flash() : std::vector<uint8_t>{};
    RunResult r = run_orvex(*bus, {});
    EXPECT_EQ(r.out, GetParam().out);
    EXPECT_EQ(r.err, GetParam().err);
    EXPECT_EQ(r.status, GetParam().status);
    if (bus->n_devices) {
        EXPECT_EQ(bus.flash(), before);
    }
    // Only the controller is accessed, and only when it is the only one.
    for (uint64_t i = 0; i < std::min<uint64_t>(bus->log_count, sim::LOG_CAPACITY); i++)
        ASSERT_TRUE(r.status == 0 && bus->dev[bus->log[i].device].is_orvex) << "access " << i;
}

// It adds devices to the bus: the const that cppcheck offers would be only the handle's.
// cppcheck-suppress constParameterCallback
void other_devices(SimBus &bus)
{
    sim::bus_add_other(*bus, 0, 0, 0, 0x8086, 0x1237, 0x060000);
    sim::bus_add_other(*bus, 0, 1, 0, 0x1106, 0x3484, 0x0c0330);  // same maker, other chip
    sim::bus_add_other(*bus, 0, 2, 0, 0x1234, 0x3483, 0x0c0330);  // same device ID, other maker
}

// Buses with faults (none, two, no rights, gone, other identity) are crossed with every operation
// in fault_matrix_test.cpp; here: which devices count as the controller.
INSTANTIATE_TEST_SUITE_P(Buses, BusTest,
                         ::testing::Values(BusCase{"others_only", other_devices,
                                                   "* no ORVEX found\n", "", 237},
                                           BusCase{"two_among_others",
                                                   [](SimBus &b) {
                                                       b.add_orvex(0);
                                                       other_devices(b);
                                                       b.add_orvex(1);
                                                   },
                                                   "* multiple ORVEXs found\n", "", 234},
                                           BusCase{"one_among_others",
                                                   [](SimBus &b) {
                                                       other_devices(b);
                                                       sim::bus_add_orvex(*b, 3, 0, 0, 0xabcdef01);
                                                       sim::bus_add_other(*b, 4, 0, 0, 0x10de,
                                                                          0x1234, 0x030000);
                                                   },
                                                   "ORVEX FW version: abcdef01\n", "", 0}),
                         param_name);

TEST(Discovery, VersionReadAccessesInOrder)
{
    SimBus bus;
    bus.add_orvex();
    run_child(*bus, [] {
        uint32_t v = orvex_read_fw_version(open_orvex());
        return v == 0x01020304 ? 0 : 1;
    });
    ASSERT_GE(bus->log_count, 3u);
    const sim::CfgAccess *a = bus->log;
    EXPECT_EQ(std::make_tuple(a[0].kind, a[0].offset, a[0].width, a[0].value),
              std::make_tuple('W', uint16_t{0x43}, uint8_t{1}, 1u));
    EXPECT_EQ(std::make_tuple(a[1].kind, a[1].offset, a[1].width),
              std::make_tuple('R', uint16_t{0x50}, uint8_t{4}));
    EXPECT_EQ(std::make_tuple(a[2].kind, a[2].offset, a[2].width, a[2].value),
              std::make_tuple('W', uint16_t{0x43}, uint8_t{1}, 0u));
    EXPECT_EQ(bus->log_count, 3u);
}

// A complaint counted before the version read (during the scan, say) still means missing rights,
// even when the version read itself went through.
TEST(ErrorPolicy, EarlierComplaintStopsAtVersion)
{
    SimBus bus;
    bus.add_orvex();
    RunResult r = run_orvex(*bus, {}, [] { err_count = 1; });
    EXPECT_EQ(r.out, sudo_line);
    EXPECT_EQ(r.status, 1);
}

}  // namespace

namespace {

// Each run's lock folder is `dir` in a scratch folder. Another run is modelled by this process
// holding the lock file `held`; `link` ("FROM>TO") is a symbolic link someone left in the way;
// `made` ("PATH MODE UID", PATH ending in / for a folder) is a folder or file someone made before
// the run. Paths are relative to the scratch folder.
enum class lock_outcome { taken, waits, refused, none };

struct LockCase {
    const char *name;
    const char *dir;
    lock_outcome outcome;
    std::vector<const char *> made = {};
    const char *held = nullptr;
    const char *link = nullptr;
    uid_t uid = 0;  // the run's user
};

class Lock : public ::testing::TestWithParam<LockCase> {};

TEST_P(Lock, OneRunAtATime)
{
    const LockCase &c = GetParam();
    if (geteuid() != 0)
        ORVEX_SKIP("needs root: only a run as root takes the lock");
    SimBus bus;
    bus.add_orvex();
    TempDir d;
    const std::string folder = d.path(c.dir), link = c.link ? c.link : "";
    chmod(d.path("").c_str(), 0755);
    for (const char *m : c.made) {
        char path[64];
        unsigned mode, uid;
        ASSERT_EQ(std::sscanf(m, "%63s %o %u", path, &mode, &uid), 3) << m;
        const std::string p = d.path(path);
        if (p.back() == '/')
            ASSERT_EQ(mkdir(p.c_str(), 0700), 0);
        else
            ASSERT_EQ(close(open(p.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600)), 0);
        ASSERT_EQ(chown(p.c_str(), uid, uid), 0);
        ASSERT_EQ(chmod(p.c_str(), mode), 0);
    }
    int held = -1;
    if (c.held) {
        const std::string file = d.path(c.held);
        mkdir(file.substr(0, file.rfind('/')).c_str(), 0700);
        held = open(file.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0600);
        ASSERT_EQ(flock(held, LOCK_EX), 0);
    }
    const size_t to = link.find('>');
    if (c.link) {
        ASSERT_EQ(symlink(link.substr(to + 1).c_str(), d.path(link.substr(0, to)).c_str()), 0);
    }
    const uid_t uid = c.uid;
    RunResult r = run_orvex(*bus, {}, [&folder, uid] {
        umask(0);
        lock_dir = folder.c_str();
        if (uid != 0 && (setresgid(uid, uid, uid) != 0 || setresuid(uid, uid, uid) != 0))
            std::_Exit(99);
    });
    switch (c.outcome) {
    case lock_outcome::taken:
    case lock_outcome::none:
        EXPECT_EQ(r.out, version_line);
        EXPECT_EQ(r.status, 0);
        break;
    case lock_outcome::waits:
        EXPECT_EQ(r.out, "* waiting for another orvex run to finish\n"
                         "* another orvex run is using the ORVEX\n");
        EXPECT_EQ(r.status, 240);
        EXPECT_EQ(bus->access_count, 0u);
        break;
    case lock_outcome::refused:
        EXPECT_EQ(r.out, "* " + folder + " is not root's alone - remove it, then run again\n");
        EXPECT_EQ(r.status, 240);
        EXPECT_EQ(bus->access_count, 0u);
        break;
    }
    struct stat st {};
    if (c.outcome == lock_outcome::taken && c.made.empty() && !c.held && !c.link) {
        ASSERT_EQ(lstat(folder.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0700u) << "the folder is root's alone";
        ASSERT_EQ(lstat((folder + "/0000:02:00.0.lock").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0600u) << "the lock file is root's alone";
    }
    if (c.outcome == lock_outcome::none && c.made.empty() && !c.held) {
        EXPECT_NE(lstat(folder.c_str(), &st), 0) << "a run that takes no lock makes no folder";
    }
    if (held >= 0)
        close(held);
}

const char *const FILE_0 = "orvex/0000:02:00.0.lock";

// A link in the lock's place is not followed, even to a lock another run holds; a folder or file
// another user made or may change is not used, and the run stops before it touches the
// controller. A run not as root takes no lock and makes nothing.
INSTANTIATE_TEST_SUITE_P(
    Runs, Lock,
    ::testing::Values(
        LockCase{"free", "orvex", lock_outcome::taken},
        LockCase{"held_past_the_bound", "orvex", lock_outcome::waits, {}, FILE_0},
        LockCase{
            "other_controller_held", "orvex", lock_outcome::taken, {}, "orvex/0000:02:01.0.lock"},
        LockCase{"no_folder_to_make_it_in", "missing/orvex", lock_outcome::none},
        LockCase{"file_is_a_link",
                 "orvex",
                 lock_outcome::refused,
                 {},
                 "orvex/held",
                 "orvex/0000:02:00.0.lock>held"},
        LockCase{"folder_is_a_link",
                 "orvex",
                 lock_outcome::refused,
                 {},
                 "held/0000:02:00.0.lock",
                 "orvex>held"},
        LockCase{"folder_roots_from_before",
                 "orvex",
                 lock_outcome::taken,
                 {"orvex/ 700 0", "orvex/0000:02:00.0.lock 600 0"}},
        LockCase{"folder_readable_by_all", "orvex", lock_outcome::taken, {"orvex/ 755 0"}},
        LockCase{"folder_of_another_user", "orvex", lock_outcome::refused, {"orvex/ 700 65534"}},
        LockCase{"folder_writable_by_group", "orvex", lock_outcome::refused, {"orvex/ 770 0"}},
        LockCase{"folder_writable_by_all", "orvex", lock_outcome::refused, {"orvex/ 1777 0"}},
        LockCase{"file_of_another_user",
                 "orvex",
                 lock_outcome::refused,
                 {"orvex/ 700 0", "orvex/0000:02:00.0.lock 600 65534"}},
        LockCase{"file_writable_by_all",
                 "orvex",
                 lock_outcome::refused,
                 {"orvex/ 700 0", "orvex/0000:02:00.0.lock 666 0"}},
        LockCase{"file_is_a_folder",
                 "orvex",
                 lock_outcome::refused,
                 {"orvex/ 700 0", "orvex/0000:02:00.0.lock/ 700 0"}},
        LockCase{"not_root", "orvex", lock_outcome::none, {}, nullptr, nullptr, 65534},
        LockCase{"not_root_beside_a_held_lock",
                 "orvex",
                 lock_outcome::none,
                 {},
                 FILE_0,
                 nullptr,
                 65534}),
    param_name);

}  // namespace
