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
#include <cstring>
#include <string>
#include <sys/stat.h>

#include "app/app.h"
#include "fuzz/fuzz.h"
#include "image/image.h"
#include "sim/libpci_double.h"

namespace {

struct [[gnu::packed]] Header {
    uint32_t offset;
    uint8_t mode;
    uint16_t pad, tweak_at;
    uint8_t tweak;
};

SimBus bus;
TempDir dir;
pci_dev *dev;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    bus.add_orvex();
    sim::attach(&*bus);
    dev = open_orvex();
    CHECK(dev, "no ORVEX on the simulated bus");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Header h{};
    std::memcpy(&h, data, std::min(size, sizeof h));
    std::vector<uint8_t> file(data + std::min(size, sizeof h), data + size);
    file.insert(file.end(), h.pad, 0xFF);
    const uint32_t from = h.mode & 8 ? h.offset : sim::FLASH_SIZE - (h.offset & 0x7FFF);
    const uint32_t region = ref_region(from), at = std::min(from, sim::FLASH_SIZE);
    const std::string path = dir.path("image");
    dir.remove("image");
    if ((h.mode & 3) < 2)
        dir.write("image", file);
    else if ((h.mode & 3) == 2)
        mkdir(path.c_str(), 0755);
    // With nothing to load, file_read never reads: a directory then gives an empty image.
    const int kind = (h.mode & 3) == 2 && region == 0 ? 0 : h.mode & 3;

    // The flash: a background, the image (or other bytes) at the offset, one byte changed.
    bus.reset();
    bus.add_orvex();
    uint8_t *mem = bus->dev[0].ctrl.flash.mem;
    std::memset(mem, h.mode & 16 ? 0x00 : 0xFF, sim::FLASH_SIZE);
    const size_t stored = std::min<size_t>(file.size(), region);
    if (h.mode & 4)
        std::copy_n(file.begin(), stored, mem + at);
    else
        std::copy_n(file.rbegin(), stored, mem + at);
    if (region)
        mem[at + h.tweak_at % region] ^= h.tweak;
    const std::vector<uint8_t> flash = bus.flash();

    // file_read: the first region bytes of the file, trimmed.
    CHECK(region_length(from) == region, "region_length(%08x) = %u, expected %u", from,
          region_length(from), region);
    const std::string complaint =
        kind < 2
            ? ""
            : std::string(kind == 2 ? "* failed to read '" : "* failed to open '") + path + "'\n";
    const size_t flen = ref_trim(file.data(), stored);
    capture_stdout();
    uint32_t len = 12345;
    const byte_buffer buf = file_read(path.c_str(), region, len);
    std::string out = captured();
    CHECK(out == complaint &&
              (kind < 2 ? buf && len == flen &&
                              std::equal(file.begin(), file.begin() + stored, buf.get()) &&
                              trimmed_length({buf.get(), stored}) == len
                        : !buf && len == 0),
          "file_read: buffer %d, length %u (expected %zu), '%s'", buf != nullptr, len, flen,
          out.c_str());

    // The verify: trimmed file against trimmed region, with its messages.
    int expect = RES_FAILED;
    std::string expect_out = complaint;
    if (kind < 2 && (region == 0 || region % 4 != 0)) {
        expect = RES_INVALID;
    } else if (kind < 2) {
        const size_t elen = ref_trim(flash.data() + at, region), common = std::min(flen, elen);
        const bool same = std::equal(file.begin(), file.begin() + common, flash.begin() + at);
        char line[128];
        std::snprintf(line, sizeof line, "* trimmed file length %zu, trimmed EEPROM length %zu\n",
                      flen, elen);
        expect_out = flen == elen ? "" : line;
        std::snprintf(line, sizeof line, "* data matches up to %zu\n", common);
        expect_out += !same ? "* data mismatch\n" : flen != elen ? line : "";
        expect = flen == elen && same ? RES_OK : RES_DIFFERS;
    }
    capture_stdout();
    const int result = orvex_verify_eeprom(dev, path.c_str(), from);
    out = captured();
    CHECK(result == expect && out == expect_out, "verify at %08x gave %d '%s', expected %d '%s'",
          from, result, out.c_str(), expect, expect_out.c_str());
    CHECK(bus.flash() == flash, "verify changed the flash");
    CHECK(bus->dev[0].ctrl.protocol_errors == 0, "protocol error: %s", bus->dev[0].ctrl.last_error);
    return 0;
}
