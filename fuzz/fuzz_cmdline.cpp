// Arbitrary argument vectors into parse_ops: the input, split at its NUL bytes, is argv[1..].
//
// parse_ops ends the process through usage() -> exit() on a bad command line and on -h. Forking
// per input would hide the child's coverage from libFuzzer, so the target is linked with
// --wrap=exit instead: while parse_ops runs, __wrap_exit records the status and longjmps back
// here. That is sound because no frame between the setjmp and exit() (parse_ops, fail, usage)
// holds an object with a destructor; any other exit() goes on to the real one.
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/app.h"
#include "fuzz/support.h"

namespace {

std::jmp_buf exit_jump;
bool exit_armed = false;
int exit_status = 0;

}  // namespace

extern "C" [[noreturn]] void __real_exit(int status);

extern "C" [[noreturn]] void __wrap_exit(int status)
{
    if (exit_armed) {
        exit_armed = false;
        exit_status = status;
        std::longjmp(exit_jump, 1);
    }
    __real_exit(status);
}

namespace {

constexpr size_t MAX_ARGS = 64;

// strtoul(text, nullptr, 0) as a C library with a 32-bit unsigned long gives it, in the C locale:
// blanks, a sign, a base prefix, digits; saturated on overflow, negated modulo 2^32.
uint32_t ref_strtoul32(const char *s)
{
    while (*s == ' ' || (*s >= '\t' && *s <= '\r'))
        s++;
    bool negative = false;
    if (*s == '+' || *s == '-')
        negative = *s++ == '-';
    auto digit = [](char c) -> int {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'z')
            return c - 'a' + 10;
        if (c >= 'A' && c <= 'Z')
            return c - 'A' + 10;
        return 99;
    };
    unsigned base = 10;
    if (s[0] == '0' && (s[1] == 'x' || s[1] == 'X') && digit(s[2]) < 16) {
        base = 16;
        s += 2;
    } else if (s[0] == '0') {
        base = 8;
    }
    uint64_t value = 0;
    bool overflow = false;
    for (; digit(*s) < static_cast<int>(base); s++) {
        value = value * base + static_cast<unsigned>(digit(*s));
        if (value > 0xFFFFFFFFu) {
            overflow = true;
            value = 0xFFFFFFFFu;
        }
    }
    if (overflow)
        return 0xFFFFFFFFu;
    return negative ? static_cast<uint32_t>(0u - static_cast<uint32_t>(value))
                    : static_cast<uint32_t>(value);
}

struct Expected {
    bool exits = false;
    int status = 0;
    std::string message;  // printed before the usage text ("" for -h)
    orvex_op op = OP_NONE;
    const char *file = nullptr;
    uint32_t offset = 0;
    int verbose = 0;
};

// What the command line means, worked out afresh.
Expected reference(int argc, char **argv)
{
    Expected e;
    auto quit = [&](int status, std::string message) {
        e.exits = true;
        e.status = status;
        e.message = std::move(message);
        return e;
    };
    for (int i = 1; i < argc; i++) {
        const std::string arg = argv[i];
        if (arg.empty() || arg[0] != '-') {
            e.file = argv[i];
            continue;
        }
        const char letter = arg.size() > 1 ? arg[1] : '\0';
        if (letter == 'r' || letter == 'w' || letter == 'v') {
            if (e.op != OP_NONE)
                return quit(1, "* too many operations\n");
            e.op = letter == 'r' ? OP_READ : letter == 'w' ? OP_WRITE : OP_VERIFY;
        } else if (letter == 'o') {
            if (i == argc - 1)
                return quit(1, "* offset expected for '-o'\n");
            e.offset = ref_strtoul32(argv[++i]);
        } else if (letter == 'd') {
            e.verbose = 1;
        } else if (letter == 'h') {
            return quit(0, "");
        } else {
            return quit(1, "* invalid option '" + arg + "'\n");
        }
    }
    if (e.op == OP_NONE && e.file)
        return quit(1, "* no operation specified\n");
    if (e.op == OP_NONE)
        e.op = OP_READ;
    else if (!e.file)
        return quit(1, "* no file specified\n");
    return e;
}

// parse_ops on a fresh set of settings; false with the status when it wanted to exit.
bool parse(int argc, char **argv, int &status)
{
    op = OP_NONE;
    op_file = nullptr;
    offset = 0;
    verbose = 0;
    exit_armed = true;
    if (setjmp(exit_jump) != 0) {
        status = exit_status;
        return false;
    }
    parse_ops(argc, argv);
    exit_armed = false;
    return true;
}

fuzz::Capture *capture;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    capture = new fuzz::Capture;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // Each argument gets a buffer of its own, so reading past one is caught.
    std::vector<std::vector<char>> args;
    for (size_t start = 0; start < size && args.size() < MAX_ARGS;) {
        const uint8_t *nul =
            static_cast<const uint8_t *>(std::memchr(data + start, 0, size - start));
        const size_t end = nul ? static_cast<size_t>(nul - data) : size;
        args.emplace_back(data + start, data + end);
        args.back().push_back('\0');
        start = end + 1;
    }
    std::vector<char *> argv{const_cast<char *>("orvex")};
    for (auto &a : args)
        argv.push_back(a.data());
    const int argc = static_cast<int>(argv.size());
    argv.push_back(nullptr);

    const Expected e = reference(argc, argv.data());
    capture->begin();
    int status = 0;
    const bool parsed = parse(argc, argv.data(), status);
    const std::string out = capture->out();

    if (!parsed) {
        if (!e.exits || status != e.status)
            fuzz::fail("parse_ops exited with %d, expected %s %d", status,
                       e.exits ? "exit" : "no exit", e.status);
        if (out.rfind(e.message + "Usage: orvex [<options>]\n", 0) != 0)
            fuzz::fail("unexpected output: '%s' (expected '%s' and the usage)", out.c_str(),
                       e.message.c_str());
        return 0;
    }
    if (e.exits)
        fuzz::fail("parse_ops returned, expected exit %d with '%s'", e.status, e.message.c_str());
    if (!out.empty())
        fuzz::fail("parse_ops printed '%s' on success", out.c_str());
    if (op == OP_NONE || op != e.op)
        fuzz::fail("op %d, expected %d", op, e.op);
    if (op != OP_READ && !op_file)
        fuzz::fail("op %d without a file", op);
    if (op_file != e.file)
        fuzz::fail("file '%s', expected '%s'", op_file ? op_file : "(none)",
                   e.file ? e.file : "(none)");
    if (offset != e.offset)
        fuzz::fail("offset %08x, expected %08x", offset, e.offset);
    if (verbose != e.verbose)
        fuzz::fail("verbose %d, expected %d", verbose, e.verbose);
    return 0;
}
