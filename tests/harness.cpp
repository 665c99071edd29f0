#include "tests/harness.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include "app/app.h"
#include "chip/chip.h"
#include "sim/libpci_double.h"

namespace {

std::string read_all(int fd)
{
    std::string text;
    lseek(fd, 0, SEEK_SET);
    char chunk[4096];
    for (ssize_t n; (n = read(fd, chunk, sizeof chunk)) > 0;)
        text.append(chunk, static_cast<size_t>(n));
    return text;
}

}  // namespace

SimBus::SimBus() : bus_(sim::bus_create_shared())
{
}

SimBus::~SimBus()
{
    sim::bus_unmap(bus_);
}

int SimBus::add_orvex(uint8_t slot, uint32_t fw)
{
    return sim::bus_add_orvex(*bus_, 2, slot, 0, fw);
}

std::vector<uint8_t> SimBus::flash(int device) const
{
    const uint8_t *mem = bus_->dev[device].ctrl.flash.mem;
    return {mem, mem + sim::FLASH_SIZE};
}

void SimBus::set_flash(const std::vector<uint8_t> &data, int device)
{
    uint8_t *mem = bus_->dev[device].ctrl.flash.mem;
    std::fill(mem, mem + sim::FLASH_SIZE, 0xFF);
    std::copy(data.begin(), data.begin() + std::min<size_t>(data.size(), sim::FLASH_SIZE), mem);
}

RunResult run_child(sim::Bus &bus, const std::function<int()> &body)
{
    int out = memfd_create("stdout", 0);
    int err = memfd_create("stderr", 0);
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out, STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        sim::attach(&bus);
        std::exit(body());
    }
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    RunResult r;
    if (WIFEXITED(wstatus))
        r.status = WEXITSTATUS(wstatus);
    else if (WIFSIGNALED(wstatus))
        r.signal = WTERMSIG(wstatus);
    r.out = read_all(out);
    r.err = read_all(err);
    close(out);
    close(err);
    return r;
}

RunResult run_orvex(sim::Bus &bus, const std::vector<std::string> &args,
                    const std::function<void()> &first)
{
    return run_child(bus, [&] {
        if (first)
            first();
        std::vector<char *> argv{const_cast<char *>("orvex")};
        for (const std::string &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        return orvex_main(static_cast<int>(args.size() + 1), argv.data());
    });
}

pci_dev *open_orvex()
{
    pacc = pci_alloc();
    pacc->error = orvex_fatal;
    pacc->warning = orvex_error;
    pci_init(pacc);
    pci_scan_bus(pacc);
    version_read = 1;
    return find_device(pacc, ORVEX_VENDOR_ID, ORVEX_DEVICE_ID, 0);
}

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

std::vector<std::string> named_register_trace(const sim::Bus &bus, uint64_t from)
{
    std::vector<std::string> lines;
    const uint64_t end = std::min<uint64_t>(bus.reg_log_count, sim::REG_LOG_CAPACITY);
    for (uint64_t i = from; i < end; i++) {
        const sim::RegAccess &a = bus.reg_log[i];
        std::string_view name = reg_name(a.address);
        if (name.empty())
            continue;
        char line[64];
        std::snprintf(line, sizeof line, "%c %.*s %08x", a.kind, static_cast<int>(name.size()),
                      name.data(), a.value);
        lines.emplace_back(line);
    }
    return lines;
}

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

TempDir::TempDir()
{
    char tmpl[] = "/tmp/orvex-test-XXXXXX";
    dir_ = mkdtemp(tmpl);
}

TempDir::~TempDir()
{
    std::string cmd = "rm -rf '" + dir_ + "'";
    if (std::system(cmd.c_str()) != 0)
        std::fprintf(stderr, "could not remove %s\n", dir_.c_str());
}

std::string TempDir::write(const std::string &name, const std::vector<uint8_t> &data) const
{
    std::ofstream f(path(name), std::ios::binary);
    f.write(reinterpret_cast<const char *>(data.data()), static_cast<std::streamsize>(data.size()));
    return path(name);
}

std::vector<uint8_t> TempDir::read(const std::string &name) const
{
    std::ifstream f(path(name), std::ios::binary);
    return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

bool TempDir::exists(const std::string &name) const
{
    return access(path(name).c_str(), F_OK) == 0;
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
