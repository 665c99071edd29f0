// The session on a UNIX stream socket: a message is its header, then as many bytes as the header's
// size says; file descriptors come as SCM_RIGHTS with its bytes. Each message is answered before
// the next is read, so replies go out in the order the commands came.
#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

#include "sim/vfio/server.h"

namespace vfio_user {
namespace {

struct Received {
    size_t bytes = 0;       // how many arrived (fewer than asked: the client closed its end)
    bool failed = false;    // the socket failed (errno says why)
    bool too_many = false;  // more descriptors came than a message may carry
};

bool client_gone(int e)
{
    return e == ECONNRESET || e == EPIPE;
}

// Reads exactly `n` bytes, unless the client closes first; descriptors that come along are
// added to `fds`.
Received receive(int sock, uint8_t *buf, size_t n, std::vector<int> &fds)
{
    Received r;
    while (r.bytes < n) {
        iovec iov{buf + r.bytes, n - r.bytes};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * MAX_MSG_FDS)];
        msghdr m{};
        m.msg_iov = &iov;
        m.msg_iovlen = 1;
        m.msg_control = control;
        m.msg_controllen = sizeof control;
        const ssize_t got = recvmsg(sock, &m, MSG_CMSG_CLOEXEC);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            r.failed = !client_gone(errno);
            return r;
        }
        for (cmsghdr *c = CMSG_FIRSTHDR(&m); c; c = CMSG_NXTHDR(&m, c)) {
            if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS)
                continue;
            const size_t k = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
            for (size_t i = 0; i < k; ++i) {
                int fd;
                std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof fd);
                fds.push_back(fd);
            }
        }
        if (m.msg_flags & MSG_CTRUNC)
            r.too_many = true;
        if (got == 0)
            return r;
        r.bytes += size_t(got);
    }
    return r;
}

// Reads and drops `n` bytes (the payload of a message too large to take).
Received discard(int sock, uint64_t n, std::vector<int> &fds)
{
    Received total;
    uint8_t scratch[65536];
    while (n) {
        const size_t chunk = n < sizeof scratch ? size_t(n) : sizeof scratch;
        const Received r = receive(sock, scratch, chunk, fds);
        total.bytes += r.bytes;
        total.failed = r.failed;
        if (r.bytes < chunk)
            break;
        n -= chunk;
    }
    return total;
}

void close_all(std::vector<int> &fds)
{
    for (int fd : fds)
        close(fd);
    fds.clear();
}

// false when the client is gone or the socket failed (`failed` says which).
bool send_reply(int sock, const Reply &reply, bool &failed)
{
    size_t sent = 0;
    while (reply.send && sent < reply.bytes.size()) {
        const ssize_t n =
            send(sock, reply.bytes.data() + sent, reply.bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            failed = !client_gone(errno);
            return false;
        }
        sent += size_t(n);
    }
    return true;
}

void log_socket(const Session &s, const char *what)
{
    if (s.log)
        std::fprintf(s.log, "orvex-vfio-user: %s: %s\n", what, std::strerror(errno));
}

}  // namespace

int serve(Session &s, int sock)
{
    std::vector<int> fds;
    std::vector<uint8_t> msg;
    bool failed = false;
    while (true) {
        uint8_t head[HEADER_SIZE];
        const Received h = receive(sock, head, HEADER_SIZE, fds);
        if (h.failed) {
            log_socket(s, "reading a message");
            close_all(fds);
            return 1;
        }
        if (h.bytes == 0) {
            close_all(fds);
            return 0;  // the client went away between messages
        }
        if (h.bytes < HEADER_SIZE) {  // and then the client closed: answer what there is
            send_reply(sock, handle_message(s, head, h.bytes, fds.data(), fds.size()), failed);
            fds.clear();
            return 0;
        }
        const Header hdr = get_header(head);
        Reply reply;
        if (h.too_many || hdr.size > MAX_MESSAGE || hdr.size < HEADER_SIZE) {
            close_all(fds);
            reply = h.too_many ? refuse(s, hdr, EINVAL, "more file descriptors than offered")
                               : handle_message(s, head, HEADER_SIZE);
            // The payload is read and dropped, so that the next message starts where it should.
            if (!send_reply(sock, reply, failed))
                return failed ? 1 : 0;
            if (hdr.size > HEADER_SIZE) {
                const uint64_t rest = hdr.size - HEADER_SIZE;
                const Received r = discard(sock, rest, fds);
                close_all(fds);
                if (r.failed)
                    return 1;
                if (r.bytes < rest)
                    return 0;
            }
            continue;
        }
        msg.assign(head, head + HEADER_SIZE);
        msg.resize(hdr.size);
        const Received body = receive(sock, msg.data() + HEADER_SIZE, hdr.size - HEADER_SIZE, fds);
        if (body.failed) {
            log_socket(s, "reading a message");
            close_all(fds);
            return 1;
        }
        // A message cut short by the client closing is still answered, as the error it is.
        const size_t len = HEADER_SIZE + body.bytes;
        reply = body.too_many ? refuse(s, hdr, EINVAL, "more file descriptors than offered")
                              : handle_message(s, msg.data(), len, fds.data(), fds.size());
        if (body.too_many)
            close_all(fds);
        fds.clear();  // handle_message closed them
        if (!send_reply(sock, reply, failed))
            return failed ? 1 : 0;
        if (len < hdr.size)
            return 0;
    }
}

}  // namespace vfio_user
