// Turns the argument vector into the settings of one run.
#include <cctype>
#include <cerrno>
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

// strtoul with base 0 into 32 bits, with the results of a 32-bit unsigned long on every host:
// a magnitude too large for 32 bits gives 0xFFFFFFFF, a negated one is taken modulo 2^32.
uint32_t parse_offset(const char *text)
{
    while (std::isspace(static_cast<unsigned char>(*text)))
        text++;
    bool negative = *text == '-';
    if (*text == '-' || *text == '+')
        text++;
    // strtoull would accept a second sign or blanks here; strtoul after a sign does not.
    if (!std::isalnum(static_cast<unsigned char>(*text)))
        return 0;
    errno = 0;
    unsigned long long magnitude = std::strtoull(text, nullptr, 0);
    if (errno == ERANGE || magnitude > UINT32_MAX)
        return UINT32_MAX;
    uint32_t value = static_cast<uint32_t>(magnitude);
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
