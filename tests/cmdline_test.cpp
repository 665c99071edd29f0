// SPDX-License-Identifier: MIT
// Command-line outcomes of whole runs, and the offset conversion.
#include <gtest/gtest.h>

#include "app/app.h"
#include "tests/harness.h"

namespace {

struct CmdlineCase {
    std::vector<std::string> args;
    std::string out;  // "@" stands for the scratch folder's path prefix
    int status;
};

// Each run has an erased flash and, in a scratch folder, a.bin (257 bytes) and b.bin (64 bytes):
// a verify names the file it took by its length.
TEST(Cmdline, WholeRunOutcomes)
{
    const std::string V = "ORVEX FW version: 01020304\n", U = usage_text;
    const CmdlineCase cases[] = {
        {{}, V, 0},
        {{"-h"}, U, 0},
        {{"-r", "@out", "-h"}, U, 0},
        {{"name", "-h"}, U, 0},
        {{"-hx"}, U, 0},
        {{"-x", "-h"}, "* invalid option '-x'\n" + U, 1},
        {{"-R"}, "* invalid option '-R'\n" + U, 1},
        {{"-"}, "* invalid option '-'\n" + U, 1},
        {{"--"}, "* invalid option '--'\n" + U, 1},
        {{"-r"}, "* no file specified\n" + U, 1},
        {{"-r", "@out", "-v"}, "* too many operations\n" + U, 1},
        {{"-r", "-r", "@out"}, "* too many operations\n" + U, 1},
        {{"@a.bin"}, "* no operation specified\n" + U, 1},
        {{"-o"}, "* offset expected for '-o'\n" + U, 1},
        {{"-w", "@a.bin", "-o"}, "* offset expected for '-o'\n" + U, 1},
        {{"-o", "-r", "@a.bin"}, "* no operation specified\n" + U, 1},
        {{"-v", ""}, V + "* failed to open ''\n", 255},
        // The later file name wins, letters after the option letter are ignored.
        {{"@a.bin", "@b.bin", "-vfoo"},
         V + "* trimmed file length 64, trimmed EEPROM length 0\n* data matches up to 0\n",
         1},
        // No other run leaves a last page of fewer than four bytes to program.
        {{"-w", "@a.bin"},
         V + "ORVEX EEPROM successfully reprogrammed - please reboot to activate.\n",
         0},
    };
    for (const CmdlineCase &c : cases) {
        SimBus bus;
        bus.add_orvex();
        TempDir dir;
        dir.write("a.bin", pattern(257));
        dir.write("b.bin", pattern(64, 2));
        std::vector<std::string> args;
        for (const std::string &a : c.args)
            args.push_back(a.starts_with("@") ? dir.path(a.substr(1)) : a);
        SCOPED_TRACE(testing::PrintToString(c.args));
        RunResult r = run_orvex(*bus, args);
        std::string expected = c.out;
        for (size_t at; (at = expected.find('@')) != std::string::npos;)
            expected.replace(at, 1, dir.path(""));
        EXPECT_EQ(r.out, expected);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.err, "");
    }
}

using OffsetRow = std::pair<const char *, uint32_t>;
class OffsetTest : public ::testing::TestWithParam<OffsetRow> {};

// "-o" converts as strtoul with base 0 does on a 32-bit host, whatever the host. Parsed in a
// child, since parse_ops fills process-wide settings.
TEST_P(OffsetTest, ConvertsLikeA32BitStrtoul)
{
    SimBus bus;
    RunResult r = run_child(*bus, [] {
        std::string text = GetParam().first;
        char prog[] = "orvex", o[] = "-o", w[] = "-w", file[] = "f";
        char *argv[] = {prog, o, text.data(), w, file, nullptr};
        parse_ops(5, argv);
        std::printf("%u", offset);
        return 0;
    });
    EXPECT_EQ(r.out, std::to_string(GetParam().second));
}

// There is no binary prefix (newer C libraries have one): "0b1" is a 0 followed by junk.
INSTANTIATE_TEST_SUITE_P(
    Conversions, OffsetTest,
    ::testing::Values(OffsetRow("0x1000", 0x1000), OffsetRow("0X1f", 0x1F), OffsetRow("4096", 4096),
                      OffsetRow("010", 8), OffsetRow("09", 0), OffsetRow("  +0x20", 0x20),
                      OffsetRow("\t12", 12), OffsetRow("", 0), OffsetRow("abc", 0),
                      OffsetRow("0x", 0), OffsetRow("12abc", 12), OffsetRow("-1", 0xFFFFFFFF),
                      OffsetRow("-0x1000", 0xFFFFF000), OffsetRow("-4294967295", 1),
                      OffsetRow("-4294967296", 0xFFFFFFFF), OffsetRow("4294967295", 0xFFFFFFFF),
                      OffsetRow("4294967296", 0xFFFFFFFF), OffsetRow("0x100000000", 0xFFFFFFFF),
                      OffsetRow("99999999999999999999999", 0xFFFFFFFF),
                      OffsetRow("-18446744073709551615", 0xFFFFFFFF), OffsetRow("--5", 0),
                      OffsetRow("+-5", 0), OffsetRow("- 5", 0), OffsetRow("-r", 0),
                      OffsetRow("0x20000", 0x20000), OffsetRow("0b101", 0), OffsetRow("0B1", 0),
                      OffsetRow("-0b1", 0), OffsetRow("0x1b", 27), OffsetRow("0x0x10", 0),
                      OffsetRow("0xg", 0)));

}  // namespace
