// SPDX-License-Identifier: MIT
// What the unit tests and the fuzz targets share: the simulated bus in shared memory, running the
// tool's code against it in a forked child, scratch files, and reference models of the image
// rules written independently of the tool's own code. Nothing here depends on a test framework.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "chip/pci.h"
#include "sim/bus.h"

// A bus in shared memory, freed with the object.
class SimBus {
public:
    SimBus();
    ~SimBus();
    SimBus(const SimBus &) = delete;
    SimBus &operator=(const SimBus &) = delete;

    sim::Bus &operator*() const
    {
        return *bus_;
    }
    sim::Bus *operator->() const
    {
        return bus_;
    }

    // One ORVEX at 0000:02:<slot>.0 with firmware `fw` and an erased flash; its index.
    int add_orvex(uint8_t slot = 0, uint32_t fw = 0x01020304);
    std::vector<uint8_t> flash(int device = 0) const;
    void set_flash(const std::vector<uint8_t> &data, int device = 0);
    // Back to an empty bus: no devices, no faults, empty logs.
    void reset();

private:
    sim::Bus *bus_;
};

struct RunResult {
    int status = -1;  // exit status, or -1 when a signal ended the child
    int signal = 0;   // the signal that ended it, if any
    std::string out;  // standard output
    std::string err;  // standard error
};

// Runs `body` in a child attached to `bus`; its return value is the exit status.
RunResult run_child(sim::Bus &bus, const std::function<int()> &body);
// Runs the whole tool with these arguments (the program name is added); `first`, when given,
// runs in the child just before the tool does.
RunResult run_orvex(sim::Bus &bus, const std::vector<std::string> &args,
                    const std::function<void()> &first = {});
// The way the run opens the bus, with complaints already fatal. Null if no ORVEX. Attach the bus
// first (a child of run_child is attached).
pci_dev *open_orvex();

// Everything written to `fd` so far, read from its start.
std::string fd_text(int fd);

// A scratch directory under $TMPDIR (or /tmp), removed with the object.
class TempDir {
public:
    TempDir();
    ~TempDir();
    std::string path(const std::string &name) const
    {
        return dir_ + "/" + name;
    }
    // Replaces whatever is at `name` with a file holding `data`; its path.
    std::string write(const std::string &name, const std::vector<uint8_t> &data) const;
    std::vector<uint8_t> read(const std::string &name) const;
    bool exists(const std::string &name) const;
    void remove(const std::string &name) const;  // a file or a whole tree

private:
    std::string dir_;
};

// Reference model: the length of `data` without its trailing erased (0xFF) bytes.
size_t ref_trim(const uint8_t *data, size_t len);
