// SPDX-License-Identifier: MIT
// orvex-sysfs: serves the simulated bus of a state file as the kernel's /sys/bus/pci, so the real
// orvex binary, linked with the system's libpci, can be run against it unchanged.
//
//   orvex-sysfs [-f] [--pid-file FILE] [--log FILE] [--target-log FILE] STATE MOUNTPOINT
//
// Without -f it returns once the tree is mounted (status 0) or could not be (status 1), and keeps
// serving in the background until the tree is unmounted; from then on its standard error goes to
// the --log file (appended), or nowhere. Every read or write of a `config` file
// reaches the bus model (no page cache in between); nothing is logged per access.
//
// Beside the kernel's tree, the mount's root holds dump-targets/, three files to dump into, so a
// test can watch what a writer hands the kernel: `ok` takes everything, `sync-fails` answers each
// fsync with EIO, `close-fails` each flush (the close(2) of a descriptor) with EIO. Their data is
// not kept, only its length; reads fail. What reaches them goes to the --target-log file (written
// afresh once a target is first opened), a line each, as it arrives (writes too go straight
// through, no page cache):
//   NAME open [truncate]  |  NAME write OFFSET LENGTH  |  NAME truncate SIZE (setattr)
//   NAME fsync SIZE  |  NAME flush  |  NAME release       (SIZE: the end of the data received)
#define FUSE_USE_VERSION 35

#include <fuse_lowlevel.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "sim/bus.h"
#include "sim/sysfs/tree.h"

namespace {

sim::Bus *g_bus = nullptr;
time_t g_mount_time = 0;

constexpr double FOREVER = 86400.0;  // the tree never changes while mounted

// Open-file flags kept in fuse_file_info::fh.
constexpr uint64_t FULL_CONFIG = 1;  // opened by a caller allowed to see all of config space

// A scenario's signal=ACCESS:SIGNUM: the process whose request made access ACCESS gets the signal
// before it gets the answer, so it stops (or holds the signal) right after that access, as if a
// user had pressed Ctrl-C or the run had been killed just then.
void deliver_signal(fuse_req_t req, uint64_t accesses_before)
{
    const uint64_t at = g_bus->signal_at;
    if (at != 0 && accesses_before < at && g_bus->access_count >= at)
        kill(fuse_req_ctx(req)->pid, int(g_bus->signal_number));
}

// --- dump-targets/ ------------------------------------------------------------------------------

std::string g_target_log_path;  // absolute: in the background the server works from /
FILE *g_target_log = nullptr;   // opened at its first line: no file while no target is used
off_t g_target_size[int(sysfs::Target::count)] = {};

void target_log(sysfs::Target t, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void target_log(sysfs::Target t, const char *fmt, ...)
{
    if (!g_target_log && !g_target_log_path.empty())
        g_target_log = std::fopen(g_target_log_path.c_str(), "w");
    if (!g_target_log)
        return;
    std::fprintf(g_target_log, "%s ", sysfs::target_name(t));
    va_list args;
    va_start(args, fmt);
    std::vfprintf(g_target_log, fmt, args);
    va_end(args);
    std::fputc('\n', g_target_log);
    std::fflush(g_target_log);  // whoever reads it may do so as soon as the mount is gone
}

// The dump target `ino` is, or Target::count.
sysfs::Target target_of(fuse_ino_t ino)
{
    return sysfs::node_of(*g_bus, ino).target;
}

void target_open(sysfs::Target t, fuse_req_t req, fuse_file_info *fi)
{
    const bool truncate = (fi->flags & O_TRUNC) && (fi->flags & O_ACCMODE) != O_RDONLY;
    if (truncate)
        g_target_size[int(t)] = 0;
    target_log(t, "open%s", truncate ? " truncate" : "");
    fi->direct_io = 1;
    fuse_reply_open(req, fi);
}

void target_write(sysfs::Target t, fuse_req_t req, size_t size, off_t off)
{
    target_log(t, "write %lld %zu", static_cast<long long>(off), size);
    g_target_size[int(t)] = std::max(g_target_size[int(t)], off + off_t(size));
    fuse_reply_write(req, size);
}

void op_fsync(fuse_req_t req, fuse_ino_t ino, int, fuse_file_info *)
{
    const sysfs::Target t = target_of(ino);
    if (t != sysfs::Target::count)
        target_log(t, "fsync %lld", static_cast<long long>(g_target_size[int(t)]));
    fuse_reply_err(req, t == sysfs::Target::sync_fails ? EIO : 0);
}

// Every file must answer flush and fsync: the first ENOSYS would make the kernel stop asking.
void op_flush(fuse_req_t req, fuse_ino_t ino, fuse_file_info *)
{
    const sysfs::Target t = target_of(ino);
    if (t != sysfs::Target::count)
        target_log(t, "flush");
    fuse_reply_err(req, t == sysfs::Target::close_fails ? EIO : 0);
}

void op_release(fuse_req_t req, fuse_ino_t ino, fuse_file_info *)
{
    const sysfs::Target t = target_of(ino);
    if (t != sysfs::Target::count)
        target_log(t, "release");
    fuse_reply_err(req, 0);
}

// --- the tree -----------------------------------------------------------------------------------

bool fill_stat(uint64_t ino, struct stat &st)
{
    std::memset(&st, 0, sizeof st);
    st.st_mode = sysfs::mode_of(*g_bus, ino);
    if (!st.st_mode)
        return false;
    st.st_ino = ino;
    st.st_nlink = S_ISDIR(st.st_mode) ? 2 : 1;
    st.st_uid = 0;
    st.st_gid = 0;
    const sysfs::Target t = target_of(ino);
    st.st_size = t != sysfs::Target::count ? g_target_size[int(t)] : sysfs::size_of(*g_bus, ino);
    st.st_blksize = 4096;
    st.st_atime = st.st_mtime = st.st_ctime = g_mount_time;
    return true;
}

void op_lookup(fuse_req_t req, fuse_ino_t parent, const char *name)
{
    fuse_entry_param e;
    std::memset(&e, 0, sizeof e);
    const uint64_t ino = sysfs::lookup(*g_bus, parent, name);
    if (!ino || !fill_stat(ino, e.attr)) {
        fuse_reply_err(req, ENOENT);
        return;
    }
    e.ino = ino;
    e.attr_timeout = FOREVER;
    e.entry_timeout = FOREVER;
    fuse_reply_entry(req, &e);
}

void op_getattr(fuse_req_t req, fuse_ino_t ino, fuse_file_info *)
{
    struct stat st;
    if (!fill_stat(ino, st)) {
        fuse_reply_err(req, ENOENT);
        return;
    }
    fuse_reply_attr(req, &st, FOREVER);
}

// sysfs lets root change modes and owners, but nothing here needs that: refuse it. A dump target
// can be cut to a size.
void op_setattr(fuse_req_t req, fuse_ino_t ino, struct stat *attr, int to_set, fuse_file_info *)
{
    struct stat st;
    if (!fill_stat(ino, st)) {
        fuse_reply_err(req, ENOENT);
        return;
    }
    if (to_set & ~(FUSE_SET_ATTR_ATIME | FUSE_SET_ATTR_MTIME | FUSE_SET_ATTR_ATIME_NOW |
                   FUSE_SET_ATTR_MTIME_NOW | FUSE_SET_ATTR_SIZE)) {
        fuse_reply_err(req, EPERM);
        return;
    }
    const sysfs::Target t = target_of(ino);
    if (t != sysfs::Target::count && (to_set & FUSE_SET_ATTR_SIZE)) {
        target_log(t, "truncate %lld", static_cast<long long>(attr->st_size));
        st.st_size = g_target_size[int(t)] = attr->st_size;
    }
    fuse_reply_attr(req, &st, FOREVER);
}

void op_readlink(fuse_req_t req, fuse_ino_t ino)
{
    const sysfs::Node node = sysfs::node_of(*g_bus, ino);
    if (node.kind != sysfs::Kind::link) {
        fuse_reply_err(req, EINVAL);
        return;
    }
    fuse_reply_readlink(req, sysfs::link_target(g_bus->dev[node.device]).c_str());
}

void op_opendir(fuse_req_t req, fuse_ino_t ino, fuse_file_info *fi)
{
    if (sysfs::node_of(*g_bus, ino).kind != sysfs::Kind::dir) {
        fuse_reply_err(req, ENOTDIR);
        return;
    }
    fi->cache_readdir = 1;
    fuse_reply_open(req, fi);
}

void op_readdir(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off, fuse_file_info *)
{
    char buf[4096];
    if (size > sizeof buf)
        size = sizeof buf;
    size_t used = 0;
    sysfs::Entry e;
    for (size_t i = size_t(off); sysfs::entry_at(*g_bus, ino, i, e); ++i) {
        struct stat st;
        std::memset(&st, 0, sizeof st);
        st.st_ino = e.ino;
        st.st_mode = e.type;
        const size_t need =
            fuse_add_direntry(req, buf + used, size - used, e.name.c_str(), &st, off_t(i + 1));
        if (need > size - used)
            break;
        used += need;
    }
    fuse_reply_buf(req, buf, used);
}

// Like kernfs: a file without write permission bits cannot be opened for writing, not even by
// root; config (0644, root's) can be opened for writing by root only. Whether the opener may see
// all of config space is decided here, once, as the kernel decides it from the opener.
void op_open(fuse_req_t req, fuse_ino_t ino, fuse_file_info *fi)
{
    const sysfs::Node node = sysfs::node_of(*g_bus, ino);
    if (node.kind == sysfs::Kind::target) {
        target_open(node.target, req, fi);
        return;
    }
    if (node.kind != sysfs::Kind::attr) {
        fuse_reply_err(req, node.kind == sysfs::Kind::dir ? EISDIR : ENOENT);
        return;
    }
    const fuse_ctx *ctx = fuse_req_ctx(req);
    const bool root = ctx->uid == 0;
    const bool wants_write = (fi->flags & O_ACCMODE) != O_RDONLY;
    if (wants_write && (node.attr != sysfs::Attr::config || !root)) {
        fuse_reply_err(req, EACCES);
        return;
    }
    fi->fh = root && !g_bus->no_rights ? FULL_CONFIG : 0;
    fi->direct_io = 1;
    fi->keep_cache = 0;
    fuse_reply_open(req, fi);
}

void op_read(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off, fuse_file_info *fi)
{
    const sysfs::Node node = sysfs::node_of(*g_bus, ino);
    if (node.kind != sysfs::Kind::attr) {
        fuse_reply_err(req, EIO);
        return;
    }
    if (node.attr == sysfs::Attr::config) {
        const uint32_t limit = (fi->fh & FULL_CONFIG) ? sysfs::CONFIG_SIZE : sysfs::UNPRIVILEGED_SIZE;
        const size_t count = sysfs::config_span(off, size, limit);
        uint8_t buf[sysfs::CONFIG_SIZE];
        const uint64_t before = g_bus->access_count;
        const ssize_t n =
            count ? sysfs::config_read(*g_bus, node.device, uint32_t(off), count, buf) : 0;
        deliver_signal(req, before);
        if (n < 0)
            fuse_reply_err(req, int(-n));
        else
            fuse_reply_buf(req, reinterpret_cast<const char *>(buf), size_t(n));
        return;
    }
    const std::string text = sysfs::attr_text(g_bus->dev[node.device], node.attr);
    if (off < 0 || uint64_t(off) >= text.size()) {
        fuse_reply_buf(req, nullptr, 0);
        return;
    }
    const size_t n = std::min(size, text.size() - size_t(off));
    fuse_reply_buf(req, text.data() + off, n);
}

void op_write(fuse_req_t req, fuse_ino_t ino, const char *data, size_t size, off_t off,
              fuse_file_info *)
{
    const sysfs::Node node = sysfs::node_of(*g_bus, ino);
    if (node.kind == sysfs::Kind::target) {
        target_write(node.target, req, size, off);
        return;
    }
    if (node.kind != sysfs::Kind::attr || node.attr != sysfs::Attr::config) {
        fuse_reply_err(req, EACCES);
        return;
    }
    // sysfs refuses a write that starts at or past the end of a file of fixed size, where a read
    // there only meets the end of the file.
    if (off >= off_t(sysfs::CONFIG_SIZE)) {
        fuse_reply_err(req, EFBIG);
        return;
    }
    const size_t count = sysfs::config_span(off, size, sysfs::CONFIG_SIZE);
    const uint64_t before = g_bus->access_count;
    const ssize_t n = count ? sysfs::config_write(*g_bus, node.device, uint32_t(off), count,
                                                  reinterpret_cast<const uint8_t *>(data))
                            : 0;
    deliver_signal(req, before);
    if (n < 0)
        fuse_reply_err(req, int(-n));
    else
        fuse_reply_write(req, size_t(n));
}

const fuse_lowlevel_ops OPS = [] {
    fuse_lowlevel_ops ops;
    std::memset(&ops, 0, sizeof ops);
    ops.lookup = op_lookup;
    ops.getattr = op_getattr;
    ops.setattr = op_setattr;
    ops.readlink = op_readlink;
    ops.opendir = op_opendir;
    ops.readdir = op_readdir;
    ops.open = op_open;
    ops.read = op_read;
    ops.write = op_write;
    ops.flush = op_flush;
    ops.release = op_release;
    ops.fsync = op_fsync;
    return ops;
}();

int usage()
{
    std::fputs("usage: orvex-sysfs [-f] [--pid-file FILE] [--log FILE] [--target-log FILE] STATE "
               "MOUNTPOINT\n",
               stderr);
    return 2;
}

// Mounts the tree and serves it until it is unmounted or a signal ends the loop. `ready` gets
// one byte, '0' once mounted or '1' when that failed, unless it is -1.
int serve(const char *mountpoint, const char *pid_file, const char *log_file, int ready,
          bool foreground)
{
    char opt_arg[] = "-o";
    char opt_val[] = "allow_other,default_permissions,fsname=orvex-sysfs,subtype=orvex";
    char name[] = "orvex-sysfs";
    char *argv[] = {name, opt_arg, opt_val, nullptr};
    fuse_args args = FUSE_ARGS_INIT(3, argv);
    auto fail = [&](const char *what) {
        std::fprintf(stderr, "orvex-sysfs: %s\n", what);
        if (ready >= 0 && write(ready, "1", 1) != 1) {
        }
        return 1;
    };

    fuse_session *se = fuse_session_new(&args, &OPS, sizeof OPS, nullptr);
    fuse_opt_free_args(&args);
    if (!se)
        return fail("cannot create the FUSE session");
    if (fuse_set_signal_handlers(se) != 0) {
        fuse_session_destroy(se);
        return fail("cannot set signal handlers");
    }
    if (fuse_session_mount(se, mountpoint) != 0) {
        fuse_remove_signal_handlers(se);
        fuse_session_destroy(se);
        return fail("cannot mount the tree");
    }
    if (pid_file) {
        FILE *f = std::fopen(pid_file, "w");
        if (!f || std::fprintf(f, "%ld\n", long(getpid())) < 0 || std::fclose(f) != 0) {
            fuse_session_unmount(se);
            fuse_remove_signal_handlers(se);
            fuse_session_destroy(se);
            return fail("cannot write the pid file");
        }
    }
    if (!foreground) {
        // Nothing of ours may keep the caller's pipes open.
        const int null = open("/dev/null", O_RDWR);
        const int log = log_file ? open(log_file, O_WRONLY | O_CREAT | O_APPEND, 0644) : null;
        if (null >= 0) {
            dup2(null, STDIN_FILENO);
            dup2(null, STDOUT_FILENO);
            dup2(log >= 0 ? log : null, STDERR_FILENO);
        }
        if (null > STDERR_FILENO)
            close(null);
        if (log > STDERR_FILENO && log != null)
            close(log);
        if (chdir("/") != 0) {
        }
    }
    if (ready >= 0) {
        if (write(ready, "0", 1) != 1) {
        }
        close(ready);
    }
    const int rc = fuse_session_loop(se);
    fuse_session_unmount(se);
    fuse_remove_signal_handlers(se);
    fuse_session_destroy(se);
    return rc < 0 ? 1 : 0;
}

}  // namespace

int main(int argc, char **argv)
{
    bool foreground = false;
    const char *pid_file = nullptr;
    const char *log_file = nullptr;
    int i = 1;
    for (; i < argc && argv[i][0] == '-'; ++i) {
        if (!std::strcmp(argv[i], "-f"))
            foreground = true;
        else if (!std::strcmp(argv[i], "--pid-file") && i + 1 < argc)
            pid_file = argv[++i];
        else if (!std::strcmp(argv[i], "--log") && i + 1 < argc)
            log_file = argv[++i];
        else if (!std::strcmp(argv[i], "--target-log") && i + 1 < argc) {
            std::error_code ec;
            g_target_log_path = std::filesystem::absolute(argv[++i], ec);
        } else
            return usage();
    }
    if (argc - i != 2)
        return usage();
    const char *state = argv[i];
    const char *mountpoint = argv[i + 1];

    g_bus = sim::bus_map_file(state, false);
    if (!g_bus) {
        std::fprintf(stderr, "orvex-sysfs: %s: %s\n", state, std::strerror(errno));
        return 1;
    }
    g_mount_time = std::time(nullptr);

    if (foreground)
        return serve(mountpoint, pid_file, log_file, -1, true);

    // Background: the parent returns only once the child has the tree mounted (or gave up), so
    // whoever started us can use the mount point as soon as we exit.
    int pipefd[2];
    if (pipe(pipefd) != 0) {
        std::perror("orvex-sysfs: pipe");
        return 1;
    }
    const pid_t pid = fork();
    if (pid < 0) {
        std::perror("orvex-sysfs: fork");
        return 1;
    }
    if (pid == 0) {
        close(pipefd[0]);
        setsid();
        std::exit(serve(mountpoint, pid_file, log_file, pipefd[1], false));
    }
    close(pipefd[1]);
    char status = '1';
    const ssize_t n = read(pipefd[0], &status, 1);
    return n == 1 && status == '0' ? 0 : 1;
}
