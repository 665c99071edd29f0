// SPDX-License-Identifier: MIT
#include "tests/common.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include "app/app.h"
#include "sim/libpci_double.h"

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

// Everything before the logs; the logs count as empty once their counts are 0.
void SimBus::reset()
{
    std::memset(static_cast<void *>(bus_), 0, offsetof(sim::Bus, log));
    bus_->magic = sim::MAGIC;
    bus_->size = sizeof(sim::Bus);
}

std::string fd_text(int fd)
{
    std::string text;
    char chunk[4096];
    off_t at = 0;
    for (ssize_t n; (n = pread(fd, chunk, sizeof chunk, at)) > 0; at += n)
        text.append(chunk, static_cast<size_t>(n));
    return text;
}

RunResult run_child(sim::Bus &bus, const std::function<int()> &body)
{
    const int out = memfd_create("stdout", MFD_CLOEXEC);
    const int err = memfd_create("stderr", MFD_CLOEXEC);
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out, STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        sim::attach(&bus);
        lock_dir = nullptr;  // a test that wants the lock gives each run a folder of its own
        std::exit(body());
    }
    int wstatus = 0;
    while (waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
    }
    RunResult r;
    if (WIFEXITED(wstatus))
        r.status = WEXITSTATUS(wstatus);
    else if (WIFSIGNALED(wstatus))
        r.signal = WTERMSIG(wstatus);
    r.out = fd_text(out);
    r.err = fd_text(err);
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
    pacc->error = reinterpret_cast<decltype(pacc->error)>(orvex_fatal);  // as orvex_main does
    pacc->warning = orvex_error;
    pci_init(pacc);
    pci_scan_bus(pacc);
    version_read = 1;
    return find_device(pacc, ORVEX_VENDOR_ID, ORVEX_DEVICE_ID, 0);
}

TempDir::TempDir()
{
    std::string tmpl = (std::filesystem::temp_directory_path() / "orvex-test-XXXXXX").string();
    if (!mkdtemp(tmpl.data())) {
        std::perror("mkdtemp");
        std::abort();
    }
    dir_ = tmpl;
}

TempDir::~TempDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
}

std::string TempDir::write(const std::string &name, const std::vector<uint8_t> &data) const
{
    remove(name);
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

void TempDir::remove(const std::string &name) const
{
    std::error_code ignored;
    std::filesystem::remove_all(path(name), ignored);
}

size_t ref_trim(const uint8_t *data, size_t len)
{
    while (len > 0 && data[len - 1] == 0xFF)
        len--;
    return len;
}
