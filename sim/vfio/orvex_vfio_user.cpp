// orvex-vfio-user: the first ORVEX of an orvex-sim state file served as a PCI function over the
// vfio-user protocol, for a virtual machine to see it as a device of its own.
//
//   orvex-sim create STATE orvex
//   orvex-vfio-user --pid-file PIDFILE SOCKET STATE &
//   (wait for PIDFILE)
//   qemu-system-x86_64 ... -device '{"driver":"vfio-user-pci","socket":{"path":"SOCKET","type":"unix"}}'
//
// It listens on SOCKET, serves the one client that connects (the socket file is removed once it
// has), and exits when the client goes away: 0 then, 1 when something failed. The state file is
// shared as with the other buses: orvex-sim info, log and regs show what the guest did.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "sim/bus.h"
#include "sim/vfio/server.h"

namespace {

int usage()
{
    std::fputs("usage: orvex-vfio-user [--log FILE] [--pid-file FILE] SOCKET STATE\n"
               "  SOCKET           where to listen (a UNIX socket; a stale one is replaced)\n"
               "  STATE            an orvex-sim state file; its first ORVEX is served\n"
               "  --log FILE       what went wrong, to FILE instead of standard error\n"
               "  --pid-file FILE  written with the process id once the socket listens\n",
               stderr);
    return 2;
}

void complain(const char *what, const std::string &name)
{
    std::fprintf(stderr, "orvex-vfio-user: %s %s: %s\n", what, name.c_str(), std::strerror(errno));
}

// A listening socket at `path`, or -1.
int listen_at(const std::string &path)
{
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof addr.sun_path) {
        std::fprintf(stderr, "orvex-vfio-user: socket path too long: %s\n", path.c_str());
        return -1;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode))
        unlink(path.c_str());  // left by an earlier run
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || bind(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0 ||
        listen(fd, 1) != 0) {
        complain("cannot listen at", path);
        if (fd >= 0)
            close(fd);
        return -1;
    }
    return fd;
}

// Written whole or not at all, so that whoever waits for it never reads half a number.
bool write_pid_file(const std::string &path)
{
    const std::string tmp = path + ".tmp";
    std::FILE *f = std::fopen(tmp.c_str(), "w");
    if (!f || std::fprintf(f, "%d\n", int(getpid())) < 0 || std::fclose(f) != 0 ||
        std::rename(tmp.c_str(), path.c_str()) != 0) {
        complain("cannot write", path);
        return false;
    }
    return true;
}

int accept_one(int listener)
{
    while (true) {
        const int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0 || errno != EINTR)
            return fd;
    }
}

}  // namespace

int main(int argc, char **argv)
{
    std::string log_path, pid_path;
    int i = 1;
    for (; i < argc && argv[i][0] == '-'; i += 2) {
        if (i + 1 >= argc)
            return usage();
        if (!std::strcmp(argv[i], "--log"))
            log_path = argv[i + 1];
        else if (!std::strcmp(argv[i], "--pid-file"))
            pid_path = argv[i + 1];
        else
            return usage();
    }
    if (argc - i != 2)
        return usage();
    const std::string socket_path = argv[i], state = argv[i + 1];

    std::signal(SIGPIPE, SIG_IGN);  // a client gone is seen as EPIPE
    vfio_user::Session session;
    if (!log_path.empty()) {
        session.log = std::fopen(log_path.c_str(), "a");
        if (!session.log) {
            complain("cannot open", log_path);
            return 1;
        }
    }
    session.bus = sim::bus_map_file(state.c_str(), false);
    if (!session.bus) {
        complain("cannot map", state);
        return 1;
    }
    session.device = vfio_user::first_orvex(*session.bus);
    if (session.device < 0) {
        std::fprintf(stderr, "orvex-vfio-user: no ORVEX in %s\n", state.c_str());
        return 1;
    }
    const int listener = listen_at(socket_path);
    if (listener < 0 || (!pid_path.empty() && !write_pid_file(pid_path)))
        return 1;
    const int client = accept_one(listener);
    if (client < 0) {
        complain("cannot accept on", socket_path);
        return 1;
    }
    close(listener);
    unlink(socket_path.c_str());  // one client: nobody else is to connect
    const int rc = vfio_user::serve(session, client);
    close(client);
    sim::bus_unmap(session.bus);
    if (!pid_path.empty())
        unlink(pid_path.c_str());
    if (session.log && session.log != stderr)
        std::fclose(session.log);
    return rc;
}
