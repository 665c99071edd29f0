// SPDX-License-Identifier: MIT
#include "tests/harness.h"

#include <algorithm>

#include "chip/chip.h"

std::vector<std::string> split_lines(const std::string &text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
        lines.push_back(text.substr(start, nl - start));
    if (start < text.size())
        lines.push_back(text.substr(start));
    return lines;
}

const std::string usage_text =
    "Usage: orvex [<options>]\n"
    "  where <options> are taken from:\n"
    "    -h            Show this help message\n"
    "    -r <file>     Read EEPROM\n"
    "    -w <file>     Write EEPROM\n"
    "    -v <file>     Verify EEPROM\n"
    "    -o <offset>   Specify an offset to read from/write to (for testing).\n"
    "                  N.B. Erases to the end of the EEPROM!\n"
    "    -d            Verbose debugging\n";

std::vector<std::pair<uint32_t, uint32_t>> register_writes(const sim::Bus &bus, uint64_t from)
{
    std::vector<std::pair<uint32_t, uint32_t>> writes;
    const uint64_t end = std::min<uint64_t>(bus.reg_log_count, sim::REG_LOG_CAPACITY);
    for (uint64_t i = from; i < end; i++)
        if (bus.reg_log[i].kind == 'W')
            writes.emplace_back(bus.reg_log[i].address, bus.reg_log[i].value);
    return writes;
}

std::vector<uint32_t> tx_words(const sim::Bus &bus, uint64_t from)
{
    std::vector<uint32_t> words;
    for (const auto &[address, value] : register_writes(bus, from))
        if (address == Tx_REG0)
            words.push_back(value);
    return words;
}

std::vector<uint8_t> pattern(size_t len, uint32_t seed)
{
    std::vector<uint8_t> data(len);
    uint32_t x = seed * 2654435761u + 12345;
    for (uint8_t &b : data) {
        x = x * 1103515245u + 12345;
        b = static_cast<uint8_t>(x >> 16);
        if (b == 0xFF)
            b = 0x5A;
    }
    return data;
}

const std::vector<uint8_t> &old_flash()
{
    static const std::vector<uint8_t> v = pattern(sim::FLASH_SIZE, 5);
    return v;
}
