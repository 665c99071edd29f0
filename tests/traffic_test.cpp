// SPDX-License-Identifier: MIT
// The whole register traffic of each operation, pinned two ways: the "-d" trace against a golden
// file reviewed line by line (tests/golden/NAME.trace), and the number of configuration-space
// accesses, which also counts the window addresses, the unnamed register and the vendor access
// byte that the trace leaves out, against the count the command sequences give.
//
// In the golden files a block of up to eight lines that repeats is written once, its lines joined
// by " | ", followed by "  x" and the number of times it occurs in a row.
// ORVEX_GOLDEN_UPDATE=1 rewrites the files from the runs instead of comparing.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "chip/chip.h"
#include "tests/harness.h"

namespace {

std::string fold(const std::vector<std::string> &lines)
{
    std::string out;
    size_t i = 0;
    while (i < lines.size()) {
        size_t best_k = 0, best_reps = 1;
        for (size_t k = 1; k <= 8 && i + 2 * k <= lines.size(); k++) {
            size_t reps = 1;
            while (i + (reps + 1) * k <= lines.size() &&
                   std::equal(lines.begin() + long(i), lines.begin() + long(i + k),
                              lines.begin() + long(i + reps * k)))
                reps++;
            if (reps >= 3 && reps * k > best_reps * best_k) {
                best_k = k;
                best_reps = reps;
            }
        }
        if (best_k == 0) {
            out += lines[i++] + "\n";
            continue;
        }
        for (size_t j = 0; j < best_k; j++)
            out += lines[i + j] + (j + 1 < best_k ? " | " : "");
        out += "  x" + std::to_string(best_reps) + "\n";
        i += best_k * best_reps;
    }
    return out;
}

// Configuration-space accesses of the building blocks are in tests/harness.h.
constexpr uint64_t SPI_INIT = VENDOR + REG + 3 * 2 * REG + 2 * REG;  // CS, 3 masked, CTRL, CLK_DIV
constexpr uint64_t SPI_UNINIT = REG + VENDOR;
constexpr uint64_t COMMAND = BEGIN + REG;    // ... and release
constexpr uint64_t wait_idle(uint64_t busy)  // the busy status bytes, then the idle one
{
    return BEGIN + (busy + 1) * WORD + REG;
}
constexpr uint64_t VERSION = 3;                                     // 0x43, 0x50, 0x43
constexpr uint64_t IDENTITY = SPI_INIT + BEGIN + REG + SPI_UNINIT;  // one Rx read
constexpr uint64_t read_region(uint64_t len)
{
    return SPI_INIT + SPI_INIT + wait_idle(0) + BEGIN + len / 4 * WORD + REG + SPI_UNINIT +
           SPI_UNINIT;
}
constexpr uint64_t PAGE_BUSY = 2, SECTOR_BUSY = 20, CHIP_BUSY = 100;  // the simulator's timing
constexpr uint64_t write_region(uint64_t offset, uint64_t image_len)
{
    const uint64_t region = 131072 - offset;
    uint64_t n = SPI_INIT + wait_idle(0);
    n += offset == 0 ? COMMAND + COMMAND + wait_idle(CHIP_BUSY)
                     : region / 4096 * (COMMAND + COMMAND + wait_idle(SECTOR_BUSY));
    n += SPI_INIT + wait_idle(0);
    for (uint64_t done = 0; done < image_len; done += 256) {
        const uint64_t chunk = std::min<uint64_t>(256, image_len - done);
        n += COMMAND + wait_idle(0) + BEGIN + (chunk + 3) / 4 * WORD + REG + wait_idle(PAGE_BUSY);
    }
    return n + SPI_UNINIT + SPI_UNINIT;
}

constexpr uint32_t IMAGE_LEN = 602;  // two whole pages, then part of a page ending mid-word

std::vector<uint8_t> image()
{
    std::vector<uint8_t> v(IMAGE_LEN, 0x5A);
    for (size_t i = 0; i < 8; i++)
        v[i] = static_cast<uint8_t>(i);
    return v;
}

struct TrafficCase {
    const char *name;
    std::vector<std::string> args;  // "@img" is the image file, "@out" a file to dump into
    uint32_t flash_offset;          // where the image already is in the flash
    uint64_t accesses;
};

class Traffic : public ::testing::TestWithParam<TrafficCase> {};

TEST_P(Traffic, MatchesGoldenTraceAndCount)
{
    const TrafficCase &c = GetParam();
    SimBus bus;
    bus.add_orvex();
    std::vector<uint8_t> flash(sim::FLASH_SIZE, 0xFF);
    std::copy_n(image().begin(), IMAGE_LEN, flash.begin() + c.flash_offset);
    bus.set_flash(flash);
    TempDir dir;
    std::vector<std::string> args{"-d"};
    for (const std::string &a : c.args)
        args.push_back(a == "@img" ? dir.write("img", image()) : a == "@out" ? dir.path("out") : a);

    const uint32_t r30004 = sim::reg_peek(*bus, 0, REG_30004);
    const RunResult r = run_orvex(*bus, args);
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(bus->access_count, c.accesses);
    // The one register the trace leaves out: only its second byte is set, the rest kept.
    EXPECT_EQ(sim::reg_peek(*bus, 0, REG_30004), (r30004 & ~0xFF00u) | 0x200);

    const std::string got = fold(split_lines(r.out));
    const std::string file = std::string(ORVEX_GOLDEN_DIR "/") + c.name + ".trace";
    if (std::getenv("ORVEX_GOLDEN_UPDATE")) {
        std::ofstream(file) << got;
        return;
    }
    std::stringstream want;
    want << std::ifstream(file).rdbuf();
    EXPECT_EQ(got, want.str()) << "the -d trace differs from " << file;
}

INSTANTIATE_TEST_SUITE_P(
    Operations, Traffic,
    ::testing::Values(
        TrafficCase{"status", {}, 0, VERSION + IDENTITY + read_region(131072)},
        TrafficCase{"dump", {"-r", "@out"}, 0, VERSION + IDENTITY + read_region(131072)},
        TrafficCase{"verify", {"-v", "@img"}, 0, VERSION + IDENTITY + read_region(131072)},
        TrafficCase{"write_at_0",
                    {"-w", "@img"},
                    0x8000,
                    VERSION + IDENTITY + write_region(0, IMAGE_LEN) + read_region(131072)},
        TrafficCase{"write_at_0x1000",
                    {"-o", "0x1000", "-w", "@img"},
                    0,
                    VERSION + IDENTITY + write_region(0x1000, IMAGE_LEN) +
                        read_region(131072 - 0x1000)}),
    param_name);

}  // namespace
