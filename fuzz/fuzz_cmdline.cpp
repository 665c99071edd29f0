// Arbitrary argument vectors into parse_ops, against a reference model of the command line: the
// input, split at its NUL bytes, is argv[1..].
//
// parse_ops ends the process through usage() -> exit() on a bad command line and on -h. Forking
// per input would hide the child's coverage from libFuzzer, so the target is linked with
// --wrap=exit instead: while parse_ops runs, __wrap_exit records the status and longjmps back
// here. That is sound because no frame between the setjmp and exit() (parse_ops, fail, usage)
// holds an object with a destructor; any other exit() goes on to the real one.
#include <algorithm>
#include <csetjmp>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "app/app.h"
#include "fuzz/fuzz.h"

namespace {

std::jmp_buf exit_jump;
bool exit_armed = false;
int exit_status = 0;  // set by __wrap_exit, below

// strtoul(text, nullptr, 0) as a C library with a 32-bit unsigned long gives it, in the C locale:
// blanks, a sign, a base prefix, digits; saturated on overflow, negated modulo 2^32.
uint32_t ref_strtoul32(const char *s)
{
    while (*s == ' ' || (*s >= '\t' && *s <= '\r'))
        s++;
    const bool negative = *s == '-';
    if (*s == '+' || *s == '-')
        s++;
    auto digit = [](char c) -> uint32_t {
        const char letter = static_cast<char>(c | 0x20);
        return c >= '0' && c <= '9'             ? c - '0'
               : letter >= 'a' && letter <= 'z' ? letter - 'a' + 10
                                                : 99;
    };
    const uint32_t base = s[0] != '0'                                        ? 10
                          : (s[1] == 'x' || s[1] == 'X') && digit(s[2]) < 16 ? 16
                                                                             : 8;
    if (base == 16)
        s += 2;
    uint64_t value = 0;  // stops at 2^32, which stands for any larger magnitude
    for (; digit(*s) < base; s++)
        value = std::min<uint64_t>(value * base + digit(*s), 1ull << 32);
    if (value > UINT32_MAX)
        return UINT32_MAX;
    return negative ? 0u - static_cast<uint32_t>(value) : static_cast<uint32_t>(value);
}

struct Expected {
    int status = -1;      // the exit status, or -1 when parse_ops returns
    std::string message;  // printed before the usage text
    orvex_op op = OP_NONE;
    const char *file = nullptr;
    uint32_t offset = 0;
    int verbose = 0;
};

// What the command line means, worked out afresh.
Expected reference(int argc, char **argv)
{
    Expected e;
    for (int i = 1; i < argc; i++) {
        const std::string arg = argv[i];
        const size_t op_letter = arg.empty() ? 0 : std::string_view("rwv").find(arg[1]);
        if (arg.empty() || arg[0] != '-') {
            e.file = argv[i];
        } else if (op_letter != std::string_view::npos) {
            if (e.op != OP_NONE)
                return {1, "* too many operations\n"};
            e.op = static_cast<orvex_op>(OP_READ + op_letter);
        } else if (arg[1] == 'o') {
            if (i == argc - 1)
                return {1, "* offset expected for '-o'\n"};
            e.offset = ref_strtoul32(argv[++i]);
        } else if (arg[1] == 'd') {
            e.verbose = 1;
        } else if (arg[1] == 'h') {
            return {0, ""};
        } else {
            return {1, "* invalid option '" + arg + "'\n"};
        }
    }
    if (e.op == OP_NONE && e.file)
        return {1, "* no operation specified\n"};
    if (e.op != OP_NONE && !e.file)
        return {1, "* no file specified\n"};
    e.op = e.op == OP_NONE ? OP_READ : e.op;
    return e;
}

}  // namespace

extern "C" [[noreturn]] void __real_exit(int status);

extern "C" [[noreturn]] void __wrap_exit(int status)
{
    if (!exit_armed)
        __real_exit(status);
    exit_armed = false;
    exit_status = status;
    std::longjmp(exit_jump, 1);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // Each argument gets a buffer of its own, so reading past one is caught.
    std::vector<std::vector<char>> args(size ? 1 : 0);
    for (size_t i = 0; i < size && args.size() < 64; i++)
        if (data[i])
            args.back().push_back(static_cast<char>(data[i]));
        else
            args.emplace_back();
    std::vector<char *> argv{const_cast<char *>("orvex")};
    for (std::vector<char> &a : args) {
        a.push_back('\0');
        argv.push_back(a.data());
    }
    const int argc = static_cast<int>(argv.size());
    argv.push_back(nullptr);
    const Expected e = reference(argc, argv.data());

    op = OP_NONE;
    op_file = nullptr;
    offset = 0;
    verbose = 0;
    take_stdout();
    int status = -1;
    exit_armed = true;
    if (setjmp(exit_jump) == 0)
        parse_ops(argc, argv.data());
    else
        status = exit_status;
    exit_armed = false;
    const std::string out = take_stdout();

    CHECK(status == e.status, "parse_ops exit status %d, expected %d (-1: returns)", status,
          e.status);
    if (status >= 0)
        CHECK(out.starts_with(e.message + "Usage: orvex [<options>]\n"),
              "output '%s', expected '%s' and the usage", out.c_str(), e.message.c_str());
    else
        CHECK(out.empty() && op == e.op && op_file == e.file && offset == e.offset &&
                  verbose == e.verbose,
              "parse_ops gave op %d, file %p, offset %08x, verbose %d, output '%s'; expected op "
              "%d, file %p, offset %08x, verbose %d",
              op, op_file, offset, verbose, out.c_str(), e.op, e.file, e.offset, e.verbose);
    return 0;
}
