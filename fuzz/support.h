// What the fuzz targets share: reading fuzz input, capturing standard output, scratch files, the
// simulated bus, and small reference models written independently of the tool's own code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "chip/pci.h"
#include "sim/bus.h"

namespace fuzz {

// Fixed-layout fields from the front of an input; bytes past its end read as zero.
class Reader {
public:
    Reader(const uint8_t *data, size_t size) : data_(data), size_(size)
    {
    }
    uint8_t u8();
    uint16_t u16();
    uint32_t u32();
    // Everything not consumed yet.
    std::vector<uint8_t> rest();

private:
    const uint8_t *data_;
    size_t size_;
    size_t pos_ = 0;
};

// Standard output goes to a memory file for the whole fuzzing session, and a second one is there
// for a child's standard error; begin() empties both before an input, out() and err() return
// what was printed since.
class Capture {
public:
    Capture();
    void begin();
    std::string out();
    std::string err();
    int out_fd() const
    {
        return out_;
    }
    int err_fd() const
    {
        return err_;
    }

private:
    int out_;
    int err_;
};

// A scratch directory, removed when the fuzzer exits.
const std::string &scratch_dir();
std::string scratch_path(const char *name);
// Replaces `path` (file, directory or nothing) with a file holding `data`.
void put_file(const std::string &path, const std::vector<uint8_t> &data);
void put_dir(const std::string &path);
void remove_path(const std::string &path);
bool read_file(const std::string &path, std::vector<uint8_t> &data);

// The shared simulated bus, attached for in-process use.
sim::Bus &bus();
// Back to no devices, no faults and empty logs.
void reset_bus();

// Prints what went wrong and aborts, so libFuzzer records the input.
[[noreturn]] void fail(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// Reference models.
inline constexpr uint32_t FLASH_SIZE = 131072;
inline constexpr uint32_t SECTOR_SIZE = 4096;
// Bytes of the EEPROM from `offset` to its end.
uint32_t ref_region(uint32_t offset);
// Length of data[0, len) without its trailing erased bytes.
size_t ref_trim(const uint8_t *data, size_t len);

}  // namespace fuzz
