// SPDX-License-Identifier: MIT
// Arbitrary argument vectors into parse_ops, against a reference model of the command line: the
// input, split at its NUL bytes, is argv[1..].
//
// parse_ops ends the process through usage() -> exit() on a bad command line and on -h. Forking
// per input would hide the child's coverage from libFuzzer, so the target is linked with
// --wrap=exit instead: while parse_ops runs, __wrap_exit records the status and longjmps back
// here. That is sound because no frame between the setjmp and exit() (parse_ops, fail, usage)
// holds an object with a destructor; any other exit() goes on to the real one.
#include <csetjmp>
#include <utility>

#include "fuzz/fuzz.h"

extern "C" [[noreturn]] void __real_exit(int status);

namespace {

std::jmp_buf exit_jump;
int exit_status = -2;  // -1 while parse_ops runs, until __wrap_exit (below) sets the status

// strtoul(text, nullptr, 0) as a C library with a 32-bit unsigned long gives it: the 64-bit one's
// value, saturated when its magnitude takes more than 32 bits. No "0b" prefix (newer C libraries
// read one): that is a 0 followed by junk.
uint32_t ref_strtoul32(const char *text)
{
    const char *s = text + std::strspn(text, " \t\n\v\f\r");
    const bool negative = *s == '-';
    s += negative || *s == '+';
    const uint64_t value =
        s[0] == '0' && (s[1] | 0x20) == 'b' ? 0 : std::strtoull(text, nullptr, 0);
    return (negative ? 0 - value : value) > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(value);
}

// How parse_ops ends, in words: the settings it leaves when it returns (and nothing printed), else
// its exit status and what it printed, up to the first line of the usage text.
std::string settings(int o, const char *file, uint32_t off, int v)
{
    char text[80];
    std::snprintf(text, sizeof text, "op %d, file %p, offset %08x, verbose %d", o, file, off, v);
    return text;
}

const std::string USAGE = "Usage: orvex [<options>]\n";

// What the command line means, worked out afresh.
std::string reference(int argc, char **argv)
{
    auto fail = [](const std::string &message) { return "exit 1: " + message + "\n" + USAGE; };
    int o = OP_NONE, v = 0;
    const char *file = nullptr;
    uint32_t off = 0;
    for (int i = 1; i < argc; i++) {
        const std::string arg = argv[i];
        const size_t letter = arg[0] == '-' ? std::string("rwvodh").find(arg[1]) : 9;
        if (letter == 5)
            return "exit 0: " + USAGE;
        if (letter == arg.npos || (letter < 3 && o != OP_NONE) || (letter == 3 && i == argc - 1))
            return fail(letter == arg.npos ? "* invalid option '" + arg + "'"
                        : letter < 3       ? "* too many operations"
                                           : "* offset expected for '-o'");
        o = letter < 3 ? OP_READ + static_cast<int>(letter) : o;
        off = letter == 3 ? ref_strtoul32(argv[++i]) : off;
        v |= letter == 4;
        file = letter == 9 ? argv[i] : file;
    }
    if ((o == OP_NONE) == (file != nullptr))
        return fail(file ? "* no operation specified" : "* no file specified");
    return settings(o == OP_NONE ? OP_READ : o, file, off, v);
}

}  // namespace

extern "C" [[noreturn]] void __wrap_exit(int status)
{
    if (exit_status != -1)
        __real_exit(status);
    exit_status = status;
    std::longjmp(exit_jump, 1);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // Each argument gets a buffer of its own, so reading past one is caught.
    std::vector<char *> argv{const_cast<char *>("orvex")};
    for (size_t at = 0; size && at <= size && argv.size() <= 64; at += strlen(argv.back()) + 1)
        argv.push_back(strndup(reinterpret_cast<const char *>(data) + at, size - at));
    const int argc = static_cast<int>(argv.size());
    argv.push_back(nullptr);

    op = OP_NONE, op_file = nullptr, offset = 0, verbose = 0, exit_status = -1;
    take_stdout();
    if (setjmp(exit_jump) == 0)
        parse_ops(argc, argv.data());
    const int status = std::exchange(exit_status, -2);
    const std::string out = take_stdout(), want = reference(argc, argv.data());
    const std::string got = status < 0 ? settings(op, op_file, offset, verbose) + out
                                       : "exit " + std::to_string(status) + ": " + out;
    CHECK(status < 0 ? got == want : got.starts_with(want), "parse_ops gave\n%s\nexpected\n%s",
          got.c_str(), want.c_str());
    for (int i = 1; i < argc; i++)
        std::free(argv[i]);
    return 0;
}
