// Command-line outcomes of whole runs, and the offset conversion.
#include <gtest/gtest.h>

#include "app/app.h"
#include "tests/harness.h"

namespace {

constexpr const char *version_line = "ORVEX FW version: 01020304\n";

struct CmdlineCase {
    std::vector<std::string> args;
    std::string out;  // "@" stands for the temp dir path prefix
    int status;
};

void PrintTo(const CmdlineCase &c, std::ostream *os)
{
    *os << "orvex";
    for (const std::string &a : c.args)
        *os << " '" << a << "'";
}

class CmdlineTest : public ::testing::TestWithParam<CmdlineCase> {};

TEST_P(CmdlineTest, PrintsAndExits)
{
    SimBus bus;
    bus.add_orvex();
    TempDir dir;
    dir.write("a.bin", pattern(64));
    dir.write("b.bin", pattern(64, 2));
    std::vector<std::string> args;
    for (const std::string &a : GetParam().args)
        args.push_back(a.starts_with("@") ? dir.path(a.substr(1)) : a);

    RunResult r = run_orvex(*bus, args);

    std::string expected = GetParam().out;
    for (size_t at; (at = expected.find('@')) != std::string::npos;)
        expected.replace(at, 1, dir.path(""));
    EXPECT_EQ(r.out, expected);
    EXPECT_EQ(r.status, GetParam().status);
    EXPECT_EQ(r.err, "");
}

const std::string U = usage_text;

INSTANTIATE_TEST_SUITE_P(
    Outcomes, CmdlineTest,
    ::testing::Values(CmdlineCase{{}, version_line, 0}, CmdlineCase{{"-h"}, U, 0},
                      CmdlineCase{{"-r", "@out", "-h"}, U, 0}, CmdlineCase{{"name", "-h"}, U, 0},
                      CmdlineCase{{"-hx"}, U, 0},
                      CmdlineCase{{"-x", "-h"}, "* invalid option '-x'\n" + U, 1},
                      CmdlineCase{{"-R"}, "* invalid option '-R'\n" + U, 1},
                      CmdlineCase{{"-"}, "* invalid option '-'\n" + U, 1},
                      CmdlineCase{{"--"}, "* invalid option '--'\n" + U, 1},
                      CmdlineCase{{"-r"}, "* no file specified\n" + U, 1},
                      CmdlineCase{{"-r", "@out", "-v"}, "* too many operations\n" + U, 1},
                      CmdlineCase{{"-r", "-r", "@out"}, "* too many operations\n" + U, 1},
                      CmdlineCase{{"@a.bin"}, "* no operation specified\n" + U, 1},
                      CmdlineCase{{"-o"}, "* offset expected for '-o'\n" + U, 1},
                      CmdlineCase{{"-w", "@a.bin", "-o"}, "* offset expected for '-o'\n" + U, 1},
                      CmdlineCase{{"-o", "-r", "@a.bin"}, "* no operation specified\n" + U, 1},
                      CmdlineCase{{"@b.bin", "-v"},
                                  std::string(version_line) +
                                      "* trimmed file length 64, "
                                      "trimmed EEPROM length 0\n* data matches up to 0\n",
                                  1}));

// Letters after the option letter are ignored, and a later file name replaces an earlier one.
TEST(Cmdline, LastFileNameWins)
{
    SimBus bus;
    bus.add_orvex();
    TempDir dir;
    bus.set_flash(pattern(64, 2));
    dir.write("a.bin", pattern(64, 1));
    dir.write("b.bin", pattern(64, 2));
    RunResult r = run_orvex(*bus, {dir.path("a.bin"), dir.path("b.bin"), "-vfoo"});
    EXPECT_EQ(r.out, std::string(version_line) + "ORVEX EEPROM data verified\n");
    EXPECT_EQ(r.status, 0);
}

TEST(Cmdline, EmptyArgumentIsAFileName)
{
    SimBus bus;
    bus.add_orvex();
    RunResult r = run_orvex(*bus, {"-v", ""});
    EXPECT_EQ(r.out, std::string(version_line) + "* failed to open ''\n");
    EXPECT_EQ(r.status, 255);
}

struct OffsetCase {
    const char *text;
    uint32_t value;
};

void PrintTo(const OffsetCase &c, std::ostream *os)
{
    *os << "-o '" << c.text << "'";
}

class OffsetTest : public ::testing::TestWithParam<OffsetCase> {};

// Parsed in a child, since parse_ops fills process-wide settings. The results must be the same
// on 32-bit and 64-bit hosts.
TEST_P(OffsetTest, ConvertsLikeA32BitStrtoul)
{
    SimBus bus;
    RunResult r = run_child(*bus, [] {
        char prog[] = "orvex", o[] = "-o", w[] = "-w", file[] = "f";
        std::string text = GetParam().text;
        char *argv[] = {prog, o, text.data(), w, file, nullptr};
        parse_ops(5, argv);
        std::printf("%08x", offset);
        return 0;
    });
    char expected[16];
    std::snprintf(expected, sizeof expected, "%08x", GetParam().value);
    EXPECT_EQ(r.out, expected) << "offset text '" << GetParam().text << "'";
}

INSTANTIATE_TEST_SUITE_P(
    Conversions, OffsetTest,
    ::testing::Values(
        OffsetCase{"0x1000", 0x1000}, OffsetCase{"0X1f", 0x1F}, OffsetCase{"4096", 4096},
        OffsetCase{"010", 8}, OffsetCase{"09", 0}, OffsetCase{"  +0x20", 0x20},
        OffsetCase{"\t12", 12}, OffsetCase{"", 0}, OffsetCase{"abc", 0}, OffsetCase{"0x", 0},
        OffsetCase{"12abc", 12}, OffsetCase{"-1", 0xFFFFFFFF}, OffsetCase{"-0x1000", 0xFFFFF000},
        OffsetCase{"-4294967295", 1}, OffsetCase{"-4294967296", 0xFFFFFFFF},
        OffsetCase{"4294967295", 0xFFFFFFFF}, OffsetCase{"4294967296", 0xFFFFFFFF},
        OffsetCase{"0x100000000", 0xFFFFFFFF}, OffsetCase{"99999999999999999999999", 0xFFFFFFFF},
        OffsetCase{"-18446744073709551615", 0xFFFFFFFF}, OffsetCase{"--5", 0}, OffsetCase{"+-5", 0},
        OffsetCase{"- 5", 0}, OffsetCase{"-r", 0}, OffsetCase{"0x20000", 0x20000},
        // No binary prefix (C23 strtoul with _GNU_SOURCE has one): a 0 followed by junk.
        OffsetCase{"0b101", 0}, OffsetCase{"0B1", 0}, OffsetCase{"-0b1", 0}, OffsetCase{"0x1b", 27},
        OffsetCase{"0x0x10", 0}, OffsetCase{"0xg", 0}));

}  // namespace
