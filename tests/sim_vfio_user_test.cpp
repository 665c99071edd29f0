// SPDX-License-Identifier: MIT
// The vfio-user server, message by message: what a client gets back, byte by byte, and what of it
// reached the simulated function (the bus's access log). A malformed message costs one error reply
// and one log line, never a crash, a hang or an access.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <tuple>
#include <unistd.h>
#include <vector>

#include "sim/bus.h"
#include "sim/vfio/protocol.h"
#include "sim/vfio/server.h"
#include "tests/harness.h"

namespace {

using namespace vfio_user;
using Bytes = std::vector<uint8_t>;
constexpr uint16_t ID = 0x1234;

// The fields in order, each in its own width, as the wire lays them out.
template <class... T>
Bytes fields(T... v)
{
    Bytes b;
    ((b.resize(b.size() + sizeof v), put(b.data() + b.size() - sizeof v, v)), ...);
    return b;
}

Bytes operator+(Bytes a, const Bytes &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A message: the header (its size the message's, unless `size` says otherwise), then `payload`.
Bytes message(uint16_t command, const Bytes &payload, uint32_t flags = TYPE_COMMAND,
              uint32_t size = 0)
{
    Bytes m(HEADER_SIZE);
    put_header(m.data(),
               Header{ID, command, size ? size : uint32_t(HEADER_SIZE + payload.size()), flags, 0});
    return m + payload;
}

Bytes rw(uint64_t offset, uint32_t count, uint32_t region = CONFIG_REGION)
{
    return fields(offset, region, count);
}

// A string literal's bytes, its NUL included.
template <size_t N>
Bytes with_nul(const char (&s)[N])
{
    return Bytes(s, s + N);
}

Bytes version_msg(uint16_t minor = MINOR)
{
    return message(VERSION,
                   fields(MAJOR, minor) +
                       with_nul("{\"capabilities\":{\"max_msg_fds\":16,\"pgsizes\":4096}}"));
}

// The first `n` bytes of a message.
Bytes cut(const Bytes &m, size_t n)
{
    return Bytes(m.begin(), m.begin() + std::ptrdiff_t(n));
}

// One simulated ORVEX served by a session that logs into memory.
struct Server {
    sim::Bus *bus = sim::bus_create_shared();
    char *log_text = nullptr;
    size_t log_size = 0;
    Session s;

    explicit Server(bool agreed = true)  // whether the version is agreed already
        : s{bus, sim::bus_add_orvex(*bus, 1, 0, 0, 0x01020304),
            open_memstream(&log_text, &log_size), agreed}
    {
    }
    ~Server()
    {
        std::fclose(s.log);
        std::free(log_text);
        sim::bus_unmap(bus);
    }
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;

    Reply send(const Bytes &m, const int *fds = nullptr, size_t n_fds = 0)
    {
        return handle_message(s, m.data(), m.size(), fds, n_fds);
    }
    long log_lines()
    {
        std::fflush(s.log);
        return std::count(log_text, log_text + log_size, '\n');
    }
};

// Sends `request`; its reply's payload. The reply is a successful one (`error` 0) or a refusal: the
// header alone with the error flag and the errno. It names the request as far as its header goes.
Bytes reply_to(Server &srv, const Bytes &request, int error = 0, const int *fds = nullptr,
               size_t n_fds = 0)
{
    const Reply r = srv.send(request, fds, n_fds);
    const Header h = r.bytes.size() >= HEADER_SIZE ? get_header(r.bytes.data()) : Header{};
    EXPECT_TRUE(r.send);
    EXPECT_EQ(h.id, request.size() >= HDR_COMMAND ? ID : 0);
    EXPECT_EQ(h.command, request.size() >= HDR_SIZE ? get<uint16_t>(&request[HDR_COMMAND]) : 0);
    EXPECT_EQ(h.size, r.bytes.size());
    EXPECT_EQ(h.flags, TYPE_REPLY | (error ? FLAG_ERROR : 0));
    EXPECT_EQ(h.error, uint32_t(error)) << std::strerror(int(h.error));
    EXPECT_TRUE(!error || r.bytes.size() == HEADER_SIZE) << "an error reply is its header alone";
    return Bytes(r.bytes.begin() + std::ptrdiff_t(std::min(r.bytes.size(), HEADER_SIZE)),
                 r.bytes.end());
}

// --- the handshake -------------------------------------------------------------------------------

// Nothing but a version before the handshake, and one version only. The reply offers what the
// server takes, at a minor version no higher than either side's.
TEST(VfioUser, Handshake)
{
    const Bytes read = message(REGION_READ, rw(0x50, 4));
    for (const uint16_t minor : {uint16_t(0), MINOR, uint16_t(MINOR + 5)}) {
        Server srv(false);
        reply_to(srv, read, EINVAL);
        const Bytes p = reply_to(srv, version_msg(minor));
        ASSERT_GT(p.size(), VERSION_SIZE + 1);
        EXPECT_EQ(get<uint16_t>(p.data()), MAJOR);
        EXPECT_EQ(get<uint16_t>(p.data() + 2), std::min(minor, MINOR));
        EXPECT_EQ(p.back(), 0) << "NUL-terminated";
        const std::string json(p.begin() + VERSION_SIZE, p.end() - 1);
        EXPECT_TRUE(valid_version_json(json.data(), json.size())) << json;
        EXPECT_NE(json.find("\"max_data_xfer_size\":" + std::to_string(MAX_DATA_XFER)), json.npos);
        EXPECT_NE(json.find("\"max_msg_fds\":" + std::to_string(MAX_MSG_FDS)), json.npos);
        reply_to(srv, version_msg(), EINVAL);
        EXPECT_EQ(reply_to(srv, read).size(), REGION_RW_SIZE + 4);
        EXPECT_EQ(srv.log_lines(), 2);
        EXPECT_EQ(srv.bus->log_count, 1u) << "only the read after the handshake reached the device";
    }
}

// --- one message after the handshake: its reply, and nothing on the bus --------------------------

struct MessageCase {
    const char *name;
    Bytes msg;
    int error;    // 0: answered with `reply`
    Bytes reply;  // the payload
    bool fd;      // a descriptor comes along, to be closed whatever becomes of the message
};

class Message : public testing::TestWithParam<MessageCase> {};

// A version goes to a session that has agreed none yet; anything else to one that has.
TEST_P(Message, GetsItsReplyAndReachesNothing)
{
    const MessageCase &c = GetParam();
    const bool version = c.msg.size() > HDR_SIZE && c.msg[HDR_COMMAND] == VERSION;
    Server srv(!version);
    const int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    EXPECT_EQ(reply_to(srv, c.msg, c.error, &fd, c.fd ? 1 : 0), c.reply);
    EXPECT_EQ(fcntl(fd, F_GETFD) == -1, c.fd) << "the descriptor is closed with the message";
    if (!c.fd)
        close(fd);
    EXPECT_EQ(srv.log_lines(), c.error ? 1 : 0) << "a line for each refusal";
    EXPECT_EQ(srv.bus->log_count, 0u);
    EXPECT_EQ(srv.s.negotiated, !version || !c.error);
}

Bytes region_info(uint32_t index, uint32_t argsz = REGION_INFO_SIZE, uint32_t flags = 0,
                  uint64_t size = 0)
{
    return fields(argsz, flags, index, 0u, size, uint64_t(0));
}

Bytes set_irqs(uint32_t flags, uint32_t index, uint32_t start, uint32_t count)
{
    return message(DEVICE_SET_IRQS, fields(20u, flags, index, start, count));
}

Bytes read_msg(uint64_t offset, uint32_t count, uint32_t region = CONFIG_REGION)
{
    return message(REGION_READ, rw(offset, count, region));
}

const uint32_t PCI = DEVICE_FLAGS_RESET | DEVICE_FLAGS_PCI, RW = REGION_READABLE | REGION_WRITABLE;
const uint32_t NONE = SET_DATA_NONE | SET_ACTION_TRIGGER, INTX = IRQ_MASKABLE | IRQ_AUTOMASKED;
const Bytes UNMAP = fields(24u, UNMAP_ALL, uint64_t(0x10000), uint64_t(0x2000));
const Bytes WRITE_43 = rw(0x43, 1) + Bytes{1};
const Bytes HEAD = message(DEVICE_RESET, {});
const Bytes V = fields(MAJOR, MINOR);

MessageCase ok(const char *name, const Bytes &msg, const Bytes &reply = {}, bool fd = false)
{
    return {name, msg, 0, reply, fd};
}
MessageCase bad(const char *name, const Bytes &msg, int error, bool fd = false)
{
    return {name, msg, error, {}, fd};
}

INSTANTIATE_TEST_SUITE_P(
    Vfio, Message,
    testing::Values(
        bad("version_short", message(VERSION, fields(MAJOR)), EINVAL),
        bad("version_major_1", message(VERSION, fields(uint16_t(1), MINOR)), ENOTSUP),
        bad("version_no_nul", message(VERSION, V + Bytes{'{', '}'}), EINVAL),
        bad("version_nul_inside", message(VERSION, V + with_nul("{}\0{}")), EINVAL),
        bad("version_trailing", message(VERSION, V + with_nul("{} x")), EINVAL),
        bad("version_capabilities_array", message(VERSION, V + with_nul("{\"capabilities\":[]}")),
            EINVAL),
        ok("device_info", message(DEVICE_GET_INFO, fields(64u, 0u, 0u, 0u)),
           fields(16u, PCI, 9u, 5u)),
        ok("bar0", message(DEVICE_GET_REGION_INFO, region_info(0)), region_info(0)),
        ok("rom", message(DEVICE_GET_REGION_INFO, region_info(6)), region_info(6)),
        ok("config", message(DEVICE_GET_REGION_INFO, region_info(7, 128)),
           region_info(7, 32, RW, 256)),
        ok("vga", message(DEVICE_GET_REGION_INFO, region_info(8)), region_info(8)),
        ok("intx", message(DEVICE_GET_IRQ_INFO, fields(16u, 0u, 0u, 0u)),
           fields(16u, IRQ_EVENTFD | INTX, 0u, 0u)),
        ok("disable_intx", set_irqs(NONE, 0, 0, 0)),
        ok("dma_unmap_echoes", message(DMA_UNMAP, UNMAP), UNMAP),
        ok("reset", message(DEVICE_RESET, {})),
        ok("dma_map_with_fd", message(DMA_MAP, fields(32u, MAP_READ) + Bytes(24)), {}, true),
        ok("read_none_at_end", read_msg(256, 0), rw(256, 0)), bad("empty", {}, EINVAL),
        bad("half_header", cut(HEAD, 8), EINVAL, true),
        bad("size_below_header", message(DEVICE_RESET, {}, TYPE_COMMAND, 8), EINVAL),
        bad("size_above_length", message(DEVICE_RESET, {}, TYPE_COMMAND, 17), EINVAL),
        bad("size_over_limit", message(DEVICE_RESET, {}, 0, MAX_MESSAGE + 1), E2BIG),
        bad("unknown_command", message(14, {}), ENOSYS, true),
        bad("reply_from_client", message(REGION_WRITE, WRITE_43, TYPE_REPLY), EINVAL),
        bad("error_flag_from_client", message(REGION_WRITE, WRITE_43, FLAG_ERROR), EINVAL),
        bad("read_past_end", read_msg(0xFE, 4), EINVAL),
        bad("count_wraps", read_msg(UINT64_MAX - 1, 4), EINVAL),
        bad("count_over_limit", read_msg(0, MAX_DATA_XFER + 1), E2BIG),
        bad("read_bar0", read_msg(0, 4, BAR0_REGION), EINVAL),
        bad("read_region_9", read_msg(0, 4, NUM_REGIONS), EINVAL),
        bad("write_carries_less", message(REGION_WRITE, rw(0x78, 4) + Bytes(2)), EINVAL),
        bad("write_carries_more", message(REGION_WRITE, WRITE_43 + Bytes{1}), EINVAL),
        bad("device_info_argsz", message(DEVICE_GET_INFO, fields(8u, 0u, 0u, 0u)), EINVAL),
        bad("region_info_9", message(DEVICE_GET_REGION_INFO, region_info(9)), EINVAL),
        bad("region_info_argsz", message(DEVICE_GET_REGION_INFO, region_info(7, 16)), EINVAL),
        bad("irq_info_5", message(DEVICE_GET_IRQ_INFO, fields(16u, 0u, 5u, 0u)), EINVAL),
        bad("dma_map_short", message(DMA_MAP, Bytes(24)), EINVAL),
        bad("dma_map_argsz_small", message(DMA_MAP, fields(16u, 0u) + Bytes(24)), EINVAL),
        bad("dma_map_argsz_large", message(DMA_MAP, fields(48u, 0u) + Bytes(24)), EINVAL),
        bad("dma_unmap_argsz", message(DMA_UNMAP, fields(8u, 0u) + Bytes(16)), EINVAL),
        bad("dma_map_flags", message(DMA_MAP, fields(32u, 4u) + Bytes(24)), EINVAL, true),
        bad("dma_unmap_flags", message(DMA_UNMAP, fields(24u, 1u) + Bytes(16)), EINVAL),
        bad("set_irqs_one", set_irqs(NONE, 0, 0, 1), EINVAL),
        bad("set_irqs_with_fd", set_irqs(NONE, 0, 0, 0), EINVAL, true),
        bad("read_with_fd", read_msg(0x50, 4), EINVAL, true),
        bad("set_irqs_index_5", set_irqs(NONE, 5, 0, 0), EINVAL),
        bad("reset_with_payload", message(DEVICE_RESET, Bytes(4)), EINVAL)),
    param_name);

TEST(VfioUser, NoReplyWhenAskedForNoneButTheWorkAndTheLogStillHappen)
{
    Server srv;
    EXPECT_FALSE(srv.send(message(REGION_WRITE, WRITE_43, FLAG_NO_REPLY)).send);
    ASSERT_EQ(srv.bus->log_count, 1u);
    EXPECT_EQ(srv.bus->log[0].kind, 'W');
    EXPECT_FALSE(srv.send(message(REGION_READ, rw(0xFE, 4), FLAG_NO_REPLY)).send);
    EXPECT_EQ(srv.log_lines(), 1) << "a failure is still logged";
    EXPECT_EQ(srv.bus->log_count, 1u);
}

// A refused access is the errno the bus gives it, in a reply without data.
TEST(VfioUser, BusFailureIsAnErrorReply)
{
    Server srv;
    srv.bus->no_rights = 1;  // writes refused, reads past 64 bytes too
    reply_to(srv, read_msg(0x50, 4), EPERM);
    reply_to(srv, message(REGION_WRITE, WRITE_43), EPERM);
    srv.bus->fail_after = srv.bus->access_count;
    reply_to(srv, read_msg(0, 4), EIO);
    EXPECT_EQ(srv.log_lines(), 3);
}

// --- configuration space -------------------------------------------------------------------------

struct Piece {
    uint16_t offset;
    uint8_t width;
};

struct ConfigCase {
    const char *name;
    bool write;
    std::vector<Piece>
        pieces;  // the accesses on the bus, in order: the transfer is what they cover
};

class Config : public testing::TestWithParam<ConfigCase> {};

// Each piece is one access of its width, with the bytes of the write, or of the read's reply, at
// its place; the reply echoes offset, region and count. The IDs and the class stay as they were.
TEST_P(Config, TransferIsCutAsTheKernelCutsIt)
{
    const ConfigCase &c = GetParam();
    Server srv;
    const uint16_t offset = c.pieces[0].offset;
    uint32_t count = 0;
    for (const Piece &piece : c.pieces)
        count += piece.width;
    Bytes data(count);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = uint8_t(0xA0 + i);
    const Bytes place = rw(offset, count);
    const Bytes p =
        reply_to(srv, c.write ? message(REGION_WRITE, place + data) : message(REGION_READ, place));
    ASSERT_EQ(p.size(), REGION_RW_SIZE + (c.write ? 0 : count));
    EXPECT_EQ(cut(p, REGION_RW_SIZE), place);
    if (!c.write)
        data.assign(p.begin() + REGION_RW_SIZE, p.end());
    ASSERT_EQ(srv.bus->log_count, c.pieces.size());
    for (size_t i = 0; i < c.pieces.size(); ++i) {
        const sim::CfgAccess &a = srv.bus->log[i];
        const Piece &want = c.pieces[i];
        uint32_t value = 0;
        std::memcpy(&value, data.data() + (want.offset - offset), want.width);
        EXPECT_EQ(std::make_tuple(a.kind, a.offset, a.width, a.failed, a.value),
                  std::make_tuple(c.write ? 'W' : 'R', want.offset, want.width, uint8_t(0), value))
            << "access " << i;
    }
    EXPECT_EQ(srv.log_lines(), 0);
    const sim::Device &d = srv.bus->dev[0];
    EXPECT_EQ(get<uint32_t>(d.ctrl.cfg), uint32_t(d.device) << 16 | d.vendor) << "read-only";
    EXPECT_EQ(get<uint32_t>(d.ctrl.cfg + 8) >> 8, d.class_code) << "read-only";
}

std::vector<Piece> dwords(uint16_t from, uint16_t to)
{
    std::vector<Piece> v;
    for (uint16_t at = from; at < to; at += 4)
        v.push_back({at, 4});
    return v;
}

constexpr bool R = false, W = true;

INSTANTIATE_TEST_SUITE_P(
    Vfio, Config,
    testing::Values(
        ConfigCase{"write_byte_43", W, {{0x43, 1}}}, ConfigCase{"read_word_50", R, {{0x50, 2}}},
        ConfigCase{"write_dword_78", W, {{0x78, 4}}}, ConfigCase{"read_dword_7c", R, {{0x7C, 4}}},
        ConfigCase{"write_3_at_41", W, {{0x41, 1}, {0x42, 2}}},
        ConfigCase{"read_8_at_50", R, dwords(0x50, 0x58)},
        ConfigCase{"read_10_at_41", R, {{0x41, 1}, {0x42, 2}, {0x44, 4}, {0x48, 2}, {0x4A, 1}}},
        ConfigCase{"read_all", R, dwords(0, 256)}, ConfigCase{"write_header", W, dwords(0, 16)}),
    param_name);

// --- serving a socket ----------------------------------------------------------------------------

struct ServeCase {
    const char *name;
    Bytes sent;                     // all the client sends before it shuts its sending side
    std::vector<uint32_t> replies;  // the flags of each reply it gets back, in order
};

class Serve : public testing::TestWithParam<ServeCase> {};

// The client sends, shuts its sending side and reads until the server closes the socket. A hang
// is ended by the alarm.
TEST_P(Serve, AnswersWhatCameAndReturnsWhenTheClientIsGone)
{
    const ServeCase &c = GetParam();
    Server srv(false);
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    Bytes got;
    std::thread client([&] {
        EXPECT_EQ(send(sv[1], c.sent.data(), c.sent.size(), MSG_NOSIGNAL), ssize_t(c.sent.size()));
        shutdown(sv[1], SHUT_WR);
        uint8_t buf[512];
        for (ssize_t n; (n = read(sv[1], buf, sizeof buf)) > 0;)
            got.insert(got.end(), buf, buf + n);
    });
    alarm(10);
    EXPECT_EQ(serve(srv.s, sv[0]), 0);
    close(sv[0]);
    client.join();
    alarm(0);
    close(sv[1]);
    std::vector<uint32_t> flags;
    for (size_t at = 0; at + HEADER_SIZE <= got.size();
         at += std::max(get_header(&got[at]).size, 1u))
        flags.push_back(get_header(&got[at]).flags);
    EXPECT_EQ(flags, c.replies);
}

constexpr uint32_t DONE = TYPE_REPLY, FAILED = TYPE_REPLY | FLAG_ERROR;
const Bytes READ_50 = read_msg(0x50, 4);

INSTANTIATE_TEST_SUITE_P(
    Vfio, Serve,
    testing::Values(ServeCase{"nothing", {}, {}}, ServeCase{"version", version_msg(), {DONE}},
                    ServeCase{"version_and_read", version_msg() + READ_50, {DONE, DONE}},
                    ServeCase{"half_header", cut(version_msg(), 8), {FAILED}},
                    ServeCase{"body_cut_short", version_msg() + cut(READ_50, 29), {DONE, FAILED}},
                    ServeCase{"oversized_then_gone",
                              message(REGION_WRITE, Bytes(100), 0, MAX_MESSAGE + 1),
                              {FAILED}},
                    ServeCase{"size_below_header_then_more",
                              message(DEVICE_RESET, {}, 0, 4) + version_msg(),
                              {FAILED, DONE}}),
    param_name);

}  // namespace
