// SPDX-License-Identifier: MIT
// Start-up, error policy, device discovery, flash check and dispatch of the one operation.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "app/app.h"
#include "chip/chip.h"
#include "image/image.h"
#include "spi/spi.h"

pci_access *pacc = nullptr;
uint32_t err_count = 0;
uint32_t version_read = 0;
const char *const program_name = "orvex";

namespace {

// The message of a libpci error that ends the run. The caller ends its va_list and exits with 1,
// so that every va_start has its va_end before the process goes.
void print_fatal(const char *msg, va_list args)
{
    std::fflush(stdout);  // so that the lines before it stay before it in a shared log
    std::fprintf(stderr, "%s: ", program_name);
    std::vfprintf(stderr, msg, args);
    std::fputc('\n', stderr);
}

// An identity of all ones means nothing drove the data line. A flash still busy with a program or
// erase (one an interrupted run started, or left selected for this run's set-up to start) ignores
// every command but read-status, so it is waited for, within the status wait's bound, and asked
// again. A status byte of all ones means no flash answers at all: nothing to wait for.
int wait_if_busy(pci_dev *dev, uint32_t &id)
{
    orvex_spi_init(dev);
    const uint8_t status = orvex_spi_read_status(dev);
    const bool busy = (status & g_flash_info.busy_mask) != 0 && status != 0xFF;
    const int result = busy ? orvex_spi_wait_idle(dev) : RES_OK;
    orvex_spi_uninit(dev);
    if (busy && result == RES_OK)
        id = orvex_read_flash_id(dev);
    return result;
}

int check_flash_id(pci_dev *dev)
{
    uint32_t id = orvex_read_flash_id(dev);
    if (int r = id == byte_masks[g_flash_info.flash_id_len] ? wait_if_busy(dev, id) : RES_OK)
        return r;
    if (id == g_flash_info.flash_id)
        return RES_OK;
    std::printf("* flash ID mismatch - found %0*x, expected %08x\n", g_flash_info.flash_id_len * 2,
                id, g_flash_info.flash_id);
    return RES_INVALID;
}

int dispatch(pci_dev *dev)
{
    int result;
    image_file image(op_file);
    switch (op) {
    case OP_WRITE:
        result = orvex_write_eeprom(dev, image, offset);
        if (result == 0)
            result = orvex_verify_eeprom(dev, image, offset);
        if (result == 0)
            std::printf("ORVEX EEPROM successfully reprogrammed - please reboot to activate.\n");
        release_signals();
        return result;
    case OP_VERIFY:
        result = orvex_verify_eeprom(dev, image, offset);
        if (result == 0)
            std::printf("ORVEX EEPROM data verified\n");
        return result;
    case OP_READ:
        return orvex_read_eeprom(dev, op_file, offset);
    default:
        std::printf("* internal error\n");
        usage(1);
    }
}

}  // namespace

// Until the version has been read, complaints are counted: they mean the user lacks the rights
// the run needs. After that any complaint means the chip can no longer be trusted to do what the
// tool asks, so the run ends there.
void orvex_error(char *msg, ...)
{
    if (!version_read) {
        err_count++;
        return;
    }
    va_list args;
    va_start(args, msg);
    print_fatal(msg, args);
    va_end(args);
    std::exit(1);
}

void orvex_fatal(char *msg, ...)
{
    va_list args;
    va_start(args, msg);
    print_fatal(msg, args);
    va_end(args);
    std::exit(1);
}

pci_dev *find_device(pci_access *acc, uint16_t vendor, uint16_t device, int idx)
{
    pci_filter filter;
    pci_filter_init(acc, &filter);
    filter.vendor = vendor;
    filter.device = device;
    for (pci_dev *dev = acc->devices; dev; dev = dev->next)
        if (pci_filter_match(&filter, dev) && idx-- == 0)
            return dev;
    return nullptr;
}

// The version read doubles as the permission probe: a user who may not write configuration
// space gets a complaint from libpci at the vendor access byte.
uint32_t orvex_read_fw_version(pci_dev *dev)
{
    orvex_init(dev);
    const uint32_t version = pci_read_long(dev, CFG_FW_VERSION);
    orvex_uninit(dev);
    if (err_count != 0) {
        std::printf("* failed to read FW version - run with 'sudo'\n");
        std::exit(1);
    }
    version_read = 1;
    return version;
}

int orvex_main(int argc, char **argv)
{
    pacc = pci_alloc();
    // clang makes libpci's GNU noreturn part of the callback's type, which [[noreturn]] is not.
    pacc->error = reinterpret_cast<decltype(pacc->error)>(orvex_fatal);
    pacc->warning = orvex_error;
    pci_init(pacc);
    pci_scan_bus(pacc);

    parse_ops(argc, argv);
    pacc->writeable = op == OP_WRITE ? 1 : 0;

    pci_dev *dev = find_device(pacc, ORVEX_VENDOR_ID, ORVEX_DEVICE_ID, 0);
    if (!dev) {
        std::printf("* no ORVEX found\n");
        return RES_NODEV;
    }
    if (find_device(pacc, ORVEX_VENDOR_ID, ORVEX_DEVICE_ID, 1)) {
        std::printf("* multiple ORVEXs found\n");
        return RES_INVALID;
    }
    if (int r = orvex_lock_device(dev))
        return r;
    std::printf("ORVEX FW version: %08x\n", orvex_read_fw_version(dev));

    if (int r = check_flash_id(dev))
        return r;
    return dispatch(dev);
}
