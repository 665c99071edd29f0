// SPDX-License-Identifier: MIT
// The unit tests' helpers on top of tests/common.h (the bus, runs in a child, scratch files):
// case names, the usage text, the register accesses the bus logged, and image data.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "sim/bus.h"
#include "tests/common.h"

// Names a parameterised case after its table row's `name`.
inline constexpr auto param_name = [](const auto &row) { return std::string(row.param.name); };

namespace {
// A failing case's table row is shown by its name. (The rows are in each test file's unnamed
// namespace, which is this one, so the test framework finds this.)
template <typename Row>
requires requires(const Row &row)
{
    row.name;
}
void PrintTo(const Row &row, std::ostream *os)
{
    *os << row.name;
}
}  // namespace

// Ends a test that this machine cannot run, saying why: skipped, or failed where every test must
// run (ORVEX_NO_SKIP set, as CI does).
inline bool skips_fail()
{
    const char *v = std::getenv("ORVEX_NO_SKIP");
    return v && *v;
}
#define ORVEX_SKIP(why)                                             \
    do {                                                            \
        if (skips_fail())                                           \
            FAIL() << "cannot run here (ORVEX_NO_SKIP): " << (why); \
        else                                                        \
            GTEST_SKIP() << (why);                                  \
    } while (0)

std::vector<std::string> split_lines(const std::string &text);
extern const std::string usage_text;  // as printed, with its final newline

// Register writes of one device logged from `from` on, as (address, value) pairs.
std::vector<std::pair<uint32_t, uint32_t>> register_writes(const sim::Bus &bus, uint64_t from = 0);

// The words written to Tx_REG0 from `from` on, in order: the commands and data sent to the flash.
std::vector<uint32_t> tx_words(const sim::Bus &bus, uint64_t from = 0);

// Bytes that never end in 0xFF: image data of a given length and seed.
std::vector<uint8_t> pattern(size_t len, uint32_t seed = 1);
// What the flash holds before a run unless a test says otherwise: old firmware everywhere.
const std::vector<uint8_t> &old_flash();

// Configuration-space accesses of the building blocks of the register traffic: a register write
// or read through the window is two (address, then data), the vendor access byte one; a command
// begins with select, Tx and CTRL; each further word of it is Tx or Rx, and CTRL.
inline constexpr uint64_t REG = 2, VENDOR = 1, BEGIN = 3 * REG, WORD = 2 * REG;

// The lines a run prints on the simulated controller (firmware 01020304).
inline const std::string version_line = "ORVEX FW version: 01020304\n";
inline const std::string sudo_line = "* failed to read FW version - run with 'sudo'\n";
inline const std::string reprogrammed =
    "ORVEX EEPROM successfully reprogrammed - please reboot to activate.\n";
inline const std::string verified = "ORVEX EEPROM data verified\n";
