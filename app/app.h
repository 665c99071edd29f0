// SPDX-License-Identifier: MIT
// Command line, start-up, error policy, device discovery, flash check and dispatch.
#pragma once

#include <cstdint>

#include "app/settings.h"
#include "chip/chip.h"
#include "chip/pci.h"
#include "spi/spi.h"

inline constexpr uint16_t ORVEX_VENDOR_ID = 0x1106;
inline constexpr uint16_t ORVEX_DEVICE_ID = 0x3483;

extern pci_access *pacc;
extern uint32_t err_count;
extern uint32_t version_read;
extern const char *const program_name;

void parse_ops(int argc, char **argv);
[[noreturn]] void usage(int exitcode);

// libpci's warning callback: counted while probing, fatal once the version has been read.
void orvex_error(char *msg, ...);
// libpci's error callback: libpci cannot go on after it, so neither does the run.
[[noreturn]] void orvex_fatal(char *msg, ...);

// Another run holding the controller is waited for this long before the run gives up.
inline constexpr int64_t LOCK_WAIT_NS = 60'000'000'000;
inline constexpr unsigned LOCK_POLL_INTERVAL_US = 10'000;
inline constexpr int RES_BUSY = -16;  // -EBUSY

// Where each controller's lock file goes (DDDD:BB:DD.F.lock); null: runs are not locked.
extern const char *lock_dir;
// 0 once this run has the controller to itself (or nothing can be locked); -16 after LOCK_WAIT_NS.
int orvex_lock_device(pci_dev *dev);

pci_dev *find_device(pci_access *acc, uint16_t vendor, uint16_t device, int idx);
uint32_t orvex_read_fw_version(pci_dev *dev);

// The whole run; returns the result code whose low 8 bits are the exit status.
int orvex_main(int argc, char **argv);
