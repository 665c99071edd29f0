// Image files of any content and length at any offset: file_read with the region's length, and a
// whole verify against the simulated controller, in process, compared with a reference model.
//
// Input: offset (4 bytes, little endian), mode (1), erased bytes appended to the file (2),
// position (2) and xor mask (1) of a flash byte changed after the image was placed, then the
// file's contents.
//   mode bits 0-1: 0/1 a regular file, 2 a directory, 3 no file at all
//   mode bit 2:    the flash holds the image at the offset (else the file's bytes reversed)
//   mode bit 3:    the offset as given (else 128 KiB minus its low 15 bits, a short region)
//   mode bit 4:    the flash is 0x00 outside what was placed (else erased)
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "app/app.h"
#include "fuzz/support.h"
#include "image/image.h"

namespace {

fuzz::Capture *capture;
pci_dev *dev;

[[noreturn]] void complaint(char *msg, ...)
{
    fuzz::fail("libpci complained: %s", msg);
}

std::string format(const char *fmt, long a, long b = 0)
{
    char line[160];
    std::snprintf(line, sizeof line, fmt, a, b);
    return line;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    capture = new fuzz::Capture;
    fuzz::reset_bus();
    if (sim::bus_add_orvex(fuzz::bus(), 2, 0, 0, 0x01020304) != 0)
        fuzz::fail("cannot set the bus up");
    pacc = pci_alloc();
    pacc->error = reinterpret_cast<decltype(pacc->error)>(complaint);
    pacc->warning = complaint;
    pci_init(pacc);
    pci_scan_bus(pacc);
    version_read = 1;
    dev = find_device(pacc, ORVEX_VENDOR_ID, ORVEX_DEVICE_ID, 0);
    if (!dev)
        fuzz::fail("no ORVEX on the simulated bus");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::Reader in(data, size);
    const uint32_t raw_offset = in.u32();
    const uint8_t mode = in.u8();
    const uint16_t pad = in.u16();
    const uint16_t tweak_at = in.u16();
    const uint8_t tweak = in.u8();
    std::vector<uint8_t> file = in.rest();
    file.insert(file.end(), pad, 0xFF);

    const uint32_t off = mode & 8 ? raw_offset : fuzz::FLASH_SIZE - (raw_offset & 0x7FFF);
    const uint32_t region = fuzz::ref_region(off);
    // With nothing to load, file_read never reads: a directory then gives an empty image.
    const int kind = (mode & 3) == 2 && region == 0 ? 0 : mode & 3;
    const std::string path = fuzz::scratch_path("image");
    if ((mode & 3) == 2)
        fuzz::put_dir(path);
    else if (kind == 3)
        fuzz::remove_path(path);
    else
        fuzz::put_file(path, file);

    // The flash: a background, the image (or other bytes) at the offset, one byte changed.
    fuzz::reset_bus();
    if (sim::bus_add_orvex(fuzz::bus(), 2, 0, 0, 0x01020304) != 0)
        fuzz::fail("cannot set the bus up");
    uint8_t *mem = fuzz::bus().dev[0].ctrl.flash.mem;
    std::memset(mem, mode & 16 ? 0x00 : 0xFF, fuzz::FLASH_SIZE);
    const size_t placed = std::min<size_t>(file.size(), region);
    if (mode & 4)
        std::copy_n(file.begin(), placed, mem + off);
    else
        std::copy_n(file.rbegin(), placed, mem + (region ? off : 0));
    if (region)
        mem[off + tweak_at % region] ^= tweak;
    const std::vector<uint8_t> flash(mem, mem + fuzz::FLASH_SIZE);

    // file_read: the first region bytes of the file, trimmed.
    if (region_length(off) != region)
        fuzz::fail("region_length(%08x) = %u, expected %u", off, region_length(off), region);
    capture->begin();
    uint32_t len = 12345;
    byte_buffer buf = file_read(path.c_str(), region, len);
    std::string out = capture->out();
    const std::string failed_open = "* failed to open '" + path + "'\n";
    const std::string failed_read = "* failed to read '" + path + "'\n";
    if (kind >= 2) {
        if (buf || len != 0 || out != (kind == 2 ? failed_read : failed_open))
            fuzz::fail("file_read of a %s: buffer %d, length %u, output '%s'",
                       kind == 2 ? "directory" : "missing file", buf != nullptr, len, out.c_str());
    } else {
        const size_t stored = std::min<size_t>(file.size(), region);
        if (!buf || !out.empty())
            fuzz::fail("file_read failed: '%s'", out.c_str());
        if (len != fuzz::ref_trim(file.data(), stored))
            fuzz::fail("file_read length %u, expected %zu", len,
                       fuzz::ref_trim(file.data(), stored));
        if (stored && std::memcmp(buf.get(), file.data(), stored) != 0)
            fuzz::fail("file_read changed the data");
        if (trimmed_length({buf.get(), stored}) != len)
            fuzz::fail("trimmed_length disagrees with file_read");
    }
    buf.reset();

    // The verify: trimmed file against trimmed region, with its messages.
    std::string expect_out;
    int expect;
    if (kind >= 2) {
        expect = RES_FAILED;
        expect_out = kind == 2 ? failed_read : failed_open;
    } else if (region == 0 || region % 4 != 0) {
        expect = RES_INVALID;
    } else {
        const size_t flen = fuzz::ref_trim(file.data(), std::min<size_t>(file.size(), region));
        const size_t elen = fuzz::ref_trim(flash.data() + off, region);
        const size_t common = std::min(flen, elen);
        const bool same =
            std::equal(file.begin(), file.begin() + static_cast<long>(common), flash.begin() + off);
        expect = flen == elen && same ? RES_OK : RES_DIFFERS;
        if (flen != elen) {
            expect_out = format("* trimmed file length %ld, trimmed EEPROM length %ld\n",
                                static_cast<long>(flen), static_cast<long>(elen));
            expect_out += same ? format("* data matches up to %ld\n", static_cast<long>(common))
                               : "* data mismatch\n";
        } else if (!same) {
            expect_out = "* data mismatch\n";
        }
    }
    capture->begin();
    const int result = orvex_verify_eeprom(dev, path.c_str(), off);
    out = capture->out();
    if (result != expect || out != expect_out)
        fuzz::fail("verify at %08x gave %d '%s', expected %d '%s'", off, result, out.c_str(),
                   expect, expect_out.c_str());
    if (std::memcmp(mem, flash.data(), fuzz::FLASH_SIZE) != 0)
        fuzz::fail("verify changed the flash");
    const sim::Controller &c = fuzz::bus().dev[0].ctrl;
    if (c.protocol_errors != 0)
        fuzz::fail("the controller saw a protocol error: %s", c.last_error);
    return 0;
}
