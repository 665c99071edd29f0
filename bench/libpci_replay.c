/* SPDX-License-Identifier: MIT
 * libpci-replay: the plain C program that orvex's peak memory is compared with. It sets libpci up
 * as the tool does (allocate, initialise, scan the bus, find the device), then makes a recorded
 * run's configuration-space accesses through pci_read_byte/word/long and
 * pci_write_byte/word/long, and exits.
 *
 *   libpci-replay [-w] SLOT LOG
 *
 * SLOT names the device ("0000:01:00.0"); -w asks for writable access from the start, as the tool
 * does for a write. LOG is the output of `orvex-sim log` for a run on a bus with one device
 * ("W 4 0x78 000400fc"). The log is read one line at a time while replaying, through stdio's
 * buffer, so the program holds no more of it than a line: its peak is libpci's and the C
 * library's, not the log's. Exits 0 when every value read equals the recorded one, 1 otherwise. */
#include <pci/pci.h>
#include <stdio.h>
#include <string.h>

int main(int argc, char **argv)
{
    int writeable = argc > 1 && strcmp(argv[1], "-w") == 0;
    if (argc != 3 + writeable) {
        fprintf(stderr, "usage: libpci-replay [-w] SLOT LOG\n");
        return 2;
    }
    char *slot = argv[1 + writeable];
    const char *log_path = argv[2 + writeable];

    struct pci_access *acc = pci_alloc();
    pci_init(acc);
    pci_scan_bus(acc);
    acc->writeable = writeable;

    struct pci_filter filter;
    pci_filter_init(acc, &filter);
    const char *bad = pci_filter_parse_slot(&filter, slot);
    if (bad) {
        fprintf(stderr, "libpci-replay: %s: %s\n", slot, bad);
        return 2;
    }
    struct pci_dev *dev = acc->devices;
    while (dev && !pci_filter_match(&filter, dev))
        dev = dev->next;
    if (!dev) {
        fprintf(stderr, "libpci-replay: no device at %s\n", slot);
        return 1;
    }

    FILE *log = fopen(log_path, "r");
    if (!log) {
        perror(log_path);
        return 2;
    }
    unsigned long long accesses = 0, mismatches = 0;
    char line[128];
    while (fgets(line, sizeof line, log)) {
        char kind = 0;
        unsigned width = 0, offset = 0, value = 0;
        if (sscanf(line, "%c %u 0x%x %x", &kind, &width, &offset, &value) != 4 ||
            (kind != 'R' && kind != 'W') || (width != 1 && width != 2 && width != 4) ||
            strstr(line, "failed") || strstr(line, " dev ")) {
            fprintf(stderr, "libpci-replay: %s: cannot replay: %s", log_path, line);
            fclose(log);
            return 2;
        }
        const int pos = (int)offset;
        accesses++;
        if (kind == 'W') {
            if (width == 1)
                pci_write_byte(dev, pos, (u8)value);
            else if (width == 2)
                pci_write_word(dev, pos, (u16)value);
            else
                pci_write_long(dev, pos, value);
            continue;
        }
        const unsigned got = width == 1   ? pci_read_byte(dev, pos)
                             : width == 2 ? pci_read_word(dev, pos)
                                          : pci_read_long(dev, pos);
        mismatches += got != value;
    }
    fclose(log);
    if (mismatches) {
        fprintf(stderr, "libpci-replay: %llu of %llu accesses read another value than recorded\n",
                mismatches, accesses);
        return 1;
    }
    return 0;
}
