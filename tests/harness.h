// Running the tool's code against the simulated controller in a child process, so exits, signals
// and process-wide settings stay there, while the bus (shared memory) shows what it did.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "chip/pci.h"
#include "sim/bus.h"

// Names a parameterised case after its table row's `name`.
inline constexpr auto param_name = [](const auto &row) { return std::string(row.param.name); };

struct RunResult {
    int status = -1;  // exit status, or -1 when a signal ended the child
    int signal = 0;   // the signal that ended it, if any
    std::string out;  // standard output
    std::string err;  // standard error
};

// A bus in shared memory, freed with the test.
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

    // One ORVEX at 0000:02:00.0 with firmware 0x01020304 and an erased flash, index 0.
    int add_orvex(uint8_t slot = 0, uint32_t fw = 0x01020304);
    std::vector<uint8_t> flash(int device = 0) const;
    void set_flash(const std::vector<uint8_t> &data, int device = 0);

private:
    sim::Bus *bus_;
};

// Runs `body` in a child attached to `bus`; its return value is the exit status.
RunResult run_child(sim::Bus &bus, const std::function<int()> &body);
// Runs the whole tool with these arguments (the program name is added); `first`, when given,
// runs in the child just before the tool does.
RunResult run_orvex(sim::Bus &bus, const std::vector<std::string> &args,
                    const std::function<void()> &first = {});
// In a child: the way the run opens the bus, with complaints already fatal. Null if no ORVEX.
pci_dev *open_orvex();

std::vector<std::string> split_lines(const std::string &text);
extern const std::string usage_text;  // as printed, with its final newline

// The trace lines "-d" would print for the named-register accesses logged from `from` on.
std::vector<std::string> named_register_trace(const sim::Bus &bus, uint64_t from = 0);
// Register writes of one device logged from `from` on, as (address, value) pairs.
std::vector<std::pair<uint32_t, uint32_t>> register_writes(const sim::Bus &bus, uint64_t from = 0);

// The words written to Tx_REG0 from `from` on, in order: the commands and data sent to the flash.
std::vector<uint32_t> tx_words(const sim::Bus &bus, uint64_t from = 0);

// A scratch directory removed with the test.
class TempDir {
public:
    TempDir();
    ~TempDir();
    std::string path(const std::string &name) const
    {
        return dir_ + "/" + name;
    }
    std::string write(const std::string &name, const std::vector<uint8_t> &data) const;
    std::vector<uint8_t> read(const std::string &name) const;
    bool exists(const std::string &name) const;

private:
    std::string dir_;
};

// Bytes that never end in 0xFF: image data of a given length and seed.
std::vector<uint8_t> pattern(size_t len, uint32_t seed = 1);
