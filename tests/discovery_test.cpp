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
// holding the lock file `held`; `link` ("FROM>TO") is a symbolic link someone left in the way.
// Paths are relative to the scratch folder.
struct LockCase {
    const char *name;
    const char *dir;
    const char *held;
    const char *link;
    bool waits;  // the run waits its 60 seconds (virtual) and gives up with 240
};

class Lock : public ::testing::TestWithParam<LockCase> {};

TEST_P(Lock, OneRunAtATime)
{
    const LockCase &c = GetParam();
    SimBus bus;
    bus.add_orvex();
    TempDir d;
    const std::string folder = d.path(c.dir), link = c.link ? c.link : "";
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
    RunResult r = run_orvex(*bus, {}, [&folder] {
        umask(0);
        lock_dir = folder.c_str();
    });
    EXPECT_EQ(r.out, c.waits ? "* waiting for another orvex run to finish\n"
                               "* another orvex run is using the ORVEX\n"
                             : version_line);
    EXPECT_EQ(r.status, c.waits ? 240 : 0);
    if (c.waits) {
        EXPECT_EQ(bus->access_count, 0u);
    }
    struct stat st {};
    if (!c.held && !c.link && lstat(folder.c_str(), &st) == 0) {
        EXPECT_EQ(st.st_mode & 07777, 0700u) << "the folder is root's alone";
        ASSERT_EQ(lstat((folder + "/0000:02:00.0.lock").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0600u) << "the lock file is root's alone";
    }
    if (held >= 0)
        close(held);
}

// A link in the lock's place is not followed, even to a lock another run holds.
INSTANTIATE_TEST_SUITE_P(
    Runs, Lock,
    ::testing::Values(
        LockCase{"free", "orvex", nullptr, nullptr, false},
        LockCase{"held_past_the_bound", "orvex", "orvex/0000:02:00.0.lock", nullptr, true},
        LockCase{"other_controller_held", "orvex", "orvex/0000:02:01.0.lock", nullptr, false},
        LockCase{"no_folder_to_make_it_in", "missing/orvex", nullptr, nullptr, false},
        LockCase{"file_is_a_link", "orvex", "orvex/held", "orvex/0000:02:00.0.lock>held", false},
        LockCase{"folder_is_a_link", "orvex", "held/0000:02:00.0.lock", "orvex>held", false}),
    param_name);

}  // namespace
