// SPDX-License-Identifier: MIT
// Image files of any content and length at any offset: a whole verify against the simulated
// controller, in process, compared with a reference model. The verify is the one caller of
// file_read here; what a write makes of file_read's buffer, fuzz_run checks on the flash, and
// images that are directories or missing, fuzz_run and the unit tests.
//
// Input: offset (4 bytes, little endian), mode (1), erased bytes appended to the file (2),
// position (2) and xor mask (1) of a flash byte changed after the image was placed, then the
// file's contents.
//   mode bits 0-1: unused
//   mode bit 2:    the flash holds the image at the offset (else the file's bytes reversed)
//   mode bit 3:    the offset as given (else 128 KiB minus its low 15 bits, a short region)
//   mode bit 4:    the flash is 0x00 outside what was placed (else erased)
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Header h{};
    std::memcpy(&h, data, std::min(size, sizeof h));
    std::vector<uint8_t> file(data + std::min(size, sizeof h), data + size);
    file.insert(file.end(), h.pad, 0xFF);
    const std::string path = dir.write("image", file);
    const uint32_t from = h.mode & 8 ? h.offset : sim::FLASH_SIZE - (h.offset & 0x7FFF);
    const uint32_t at = std::min(from, sim::FLASH_SIZE), region = sim::FLASH_SIZE - at;

    // The flash: a background, the image (or the file reversed) at the offset, one byte changed.
    std::vector<uint8_t> flash(sim::FLASH_SIZE, h.mode & 16 ? 0x00 : 0xFF);
    const size_t stored = std::min<size_t>(file.size(), region);
    const std::vector<uint8_t> placed =
        h.mode & 4 ? file : std::vector<uint8_t>(file.rbegin(), file.rend());
    std::copy_n(placed.begin(), stored, flash.begin() + at);
    if (region)
        flash[at + h.tweak_at % region] ^= h.tweak;
    static pci_dev *const dev = (bus.add_orvex(), sim::attach(&*bus), open_orvex());
    bus.set_flash(flash);

    // The trimmed file against the trimmed region, with the messages a verify prints.
    const size_t flen = ref_trim(file.data(), stored), elen = ref_trim(flash.data() + at, region);
    const size_t common = std::min(flen, elen);
    const bool same = std::equal(file.begin(), file.begin() + common, flash.begin() + at);
    std::string want = flen == elen ? ""
                                    : "* trimmed file length " + std::to_string(flen) +
                                          ", trimmed EEPROM length " + std::to_string(elen) + "\n";
    want += !same          ? "* data mismatch\n"
            : want.empty() ? ""
                           : "* data matches up to " + std::to_string(common) + "\n";
    const bool usable = region != 0 && region % 4 == 0;
    const int expect = !usable ? RES_INVALID : flen == elen && same ? RES_OK : RES_DIFFERS;

    take_stdout();
    image_file image(path.c_str());
    const int result = orvex_verify_eeprom(dev, image, from);
    const std::string out = take_stdout();
    CHECK(result == expect && out == (usable ? want : ""),
          "verify at %08x gave %d '%s', expected %d '%s'", from, result, out.c_str(), expect,
          want.c_str());
    CHECK(bus.flash() == flash && bus->dev[0].ctrl.protocol_errors == 0,
          "verify changed the flash or made a protocol error: %s", bus->dev[0].ctrl.last_error);
    return 0;
}
