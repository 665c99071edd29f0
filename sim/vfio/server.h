// A vfio-user server for one simulated ORVEX: the function a client (QEMU's vfio-user-pci) sees,
// message by message, and the loop that serves a connected socket.
//
// The function is the bus's own device: configuration-space accesses go through sim::cfg_read
// and sim::cfg_write, so they are counted, logged and faulted as the other buses do it, and the
// header reads and takes writes as the controller model has it. It has no BARs, no expansion ROM
// and no interrupts; configuration space is the conventional 256 bytes (the header has no PCI
// Express capability, as the sysfs `config` file shows it).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "sim/bus.h"
#include "sim/vfio/protocol.h"

namespace vfio_user {

using sim::CONFIG_SIZE;  // the config region: the bus's configuration space
// The largest transfer a REGION_READ or REGION_WRITE may ask for, as the version reply offers it,
// and the largest message taken: a write of that much with its header.
inline constexpr uint32_t MAX_DATA_XFER = 1u << 20;
inline constexpr uint32_t MAX_MESSAGE = HEADER_SIZE + REGION_RW_SIZE + MAX_DATA_XFER;
// File descriptors taken with one message (DMA_MAP's, SET_IRQS' eventfds).
inline constexpr int MAX_MSG_FDS = 8;

struct Session {
    sim::Bus *bus = nullptr;
    int device = -1;          // the ORVEX served, an index on the bus
    std::FILE *log = stderr;  // what went wrong, a line each
    bool negotiated = false;  // the version handshake is done
};

// The first ORVEX on the bus, or -1.
int first_orvex(const sim::Bus &bus);

// What goes back for one message: nothing (the command asked for no reply), or these bytes.
struct Reply {
    bool send = false;
    std::vector<uint8_t> bytes;
};

// Handles one message of `len` bytes as it came off the socket, with the file descriptors that
// came with it (closed here, whatever the message). Anything malformed gets an error reply and a
// line in the log.
Reply handle_message(Session &s, const uint8_t *msg, size_t len, const int *fds = nullptr,
                     size_t n_fds = 0);

// An error reply to `request` (header only), with `why` in the log.
Reply refuse(const Session &s, const Header &request, int error, const char *why);

// Serves the client connected on `sock` until it goes away: 0 then, 1 if the socket fails.
int serve(Session &s, int sock);

// Whether `text` (without its NUL) is one JSON object whose "capabilities" member, if there is
// one, is an object too: what a version message may carry.
bool valid_version_json(const char *text, size_t len);

}  // namespace vfio_user
