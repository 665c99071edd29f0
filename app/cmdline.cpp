// SPDX-License-Identifier: MIT
// Turns the argument vector into the settings of one run.
#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "app/app.h"

orvex_op op = OP_NONE;
const char *op_file = nullptr;
uint32_t offset = 0;

namespace {

constexpr const char usage_text[] =
    "Usage: orvex [<options>]\n"
    "  where <options> are taken from:\n"
    "    -h            Show this help message\n"
    "    -r <file>     Read EEPROM\n"
    "    -w <file>     Write EEPROM\n"
    "    -v <file>     Verify EEPROM\n"
    "    -o <offset>   Specify an offset to read from/write to (for testing).\n"
    "                  N.B. Erases to the end of the EEPROM!\n"
    "    -d            Verbose debugging";

[[noreturn]] void fail(const char *msg)
{
    std::printf("%s\n", msg);
    usage(1);
}

void set_op(orvex_op new_op)
{
    if (op != OP_NONE)
        fail("* too many operations");
    op = new_op;
}

// The value of an ASCII digit or letter as a digit (a/A = 10 ... z/Z = 35), or 36 for anything
// else; the same in every locale.
unsigned digit_value(char c)
{
    if (c >= '0' && c <= '9')
        return unsigned(c - '0');
    if (c >= 'a' && c <= 'z')
        return unsigned(c - 'a') + 10;
    if (c >= 'A' && c <= 'Z')
        return unsigned(c - 'A') + 10;
    return 36;
}

// strtoul with base 0 into 32 bits, with the results of a 32-bit unsigned long on every host:
// a magnitude too large for 32 bits gives 0xFFFFFFFF, a negated one is taken modulo 2^32.
// The prefixes are those of C17: "0x" for hex, "0" for octal. Newer C libraries also read "0b" as
// binary (C23), so the digits are converted here rather than by the C library: "0b1" is 0.
uint32_t parse_offset(const char *text)
{
    while (std::isspace(static_cast<unsigned char>(*text)))
        text++;
    const bool negative = *text == '-';
    if (*text == '-' || *text == '+')
        text++;
    unsigned base = 10;
    if (text[0] == '0') {
        base = 8;
        // "0x" without a hex digit after it is the number 0 followed by junk.
        if ((text[1] == 'x' || text[1] == 'X') && digit_value(text[2]) < 16) {
            base = 16;
            text += 2;
        }
    }
    uint64_t magnitude = 0;
    for (unsigned digit; (digit = digit_value(*text)) < base; text++) {
        magnitude = magnitude * base + digit;
        if (magnitude > UINT32_MAX)
            return UINT32_MAX;
    }
    const uint32_t value = static_cast<uint32_t>(magnitude);
    return negative ? 0u - value : value;
}

}  // namespace

void usage(int exitcode)
{
    std::printf("%s\n", usage_text);
    std::exit(exitcode);
}

void parse_ops(int argc, char **argv)
{
    for (int i = 1; i < argc; i++) {
        const char *arg = argv[i];
        if (arg[0] != '-') {
            op_file = arg;
            continue;
        }
        switch (arg[1]) {
        case 'r':
            set_op(OP_READ);
            break;
        case 'w':
            set_op(OP_WRITE);
            break;
        case 'v':
            set_op(OP_VERIFY);
            break;
        case 'o':
            if (i + 1 >= argc)
                fail("* offset expected for '-o'");
            offset = parse_offset(argv[++i]);
            break;
        case 'd':
            verbose = 1;
            break;
        case 'h':
            usage(0);
        default:
            std::printf("* invalid option '%s'\n", arg);
            usage(1);
        }
    }
    if (op == OP_NONE) {
        if (op_file)
            fail("* no operation specified");
        op = OP_READ;  // status run
    } else if (!op_file) {
        fail("* no file specified");
    }
}
