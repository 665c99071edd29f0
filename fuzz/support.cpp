#include "fuzz/support.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "sim/libpci_double.h"

namespace fuzz {

uint8_t Reader::u8()
{
    return pos_ < size_ ? data_[pos_++] : (pos_++, 0);
}

uint16_t Reader::u16()
{
    const uint16_t lo = u8();
    return static_cast<uint16_t>(lo | (u8() << 8));
}

uint32_t Reader::u32()
{
    const uint32_t lo = u16();
    return lo | (static_cast<uint32_t>(u16()) << 16);
}

std::vector<uint8_t> Reader::rest()
{
    if (pos_ >= size_)
        return {};
    std::vector<uint8_t> r(data_ + pos_, data_ + size_);
    pos_ = size_;
    return r;
}

namespace {

std::string read_fd(int fd)
{
    std::string text;
    char chunk[4096];
    off_t at = 0;
    for (ssize_t n; (n = pread(fd, chunk, sizeof chunk, at)) > 0; at += n)
        text.append(chunk, static_cast<size_t>(n));
    return text;
}

int memfd(const char *name)
{
    const int fd = memfd_create(name, MFD_CLOEXEC);
    if (fd < 0) {
        std::perror("memfd_create");
        std::abort();
    }
    return fd;
}

void empty(int fd)
{
    if (ftruncate(fd, 0) != 0 || lseek(fd, 0, SEEK_SET) != 0)
        fail("cannot empty a capture file");
}

}  // namespace

// Standard output is redirected for good (libFuzzer itself writes to standard error); the
// standard error file is for forked runs, which put it in place of their own.
Capture::Capture() : out_(memfd("stdout")), err_(memfd("stderr"))
{
    std::fflush(stdout);
    dup2(out_, STDOUT_FILENO);
}

void Capture::begin()
{
    std::fflush(stdout);
    empty(out_);
    empty(err_);
}

std::string Capture::out()
{
    std::fflush(stdout);
    return read_fd(out_);
}

std::string Capture::err()
{
    return read_fd(err_);
}

namespace {

void remove_tree(const std::string &path)
{
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0)
        return;
    if (S_ISDIR(st.st_mode)) {
        if (DIR *d = opendir(path.c_str())) {
            while (dirent *e = readdir(d))
                if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
                    remove_tree(path + "/" + e->d_name);
            closedir(d);
        }
        rmdir(path.c_str());
    } else {
        unlink(path.c_str());
    }
}

void remove_scratch()
{
    remove_tree(scratch_dir());
}

}  // namespace

const std::string &scratch_dir()
{
    // libFuzzer does not always end through exit() (a finding, -max_total_time), so the atexit
    // clean-up may not run: fuzz/run-all points TMPDIR at a directory it empties itself.
    static const std::string dir = [] {
        const char *tmp = std::getenv("TMPDIR");
        std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/orvex-fuzz-XXXXXX";
        if (!mkdtemp(tmpl.data()))
            fail("cannot create a scratch directory");
        std::atexit(remove_scratch);
        return tmpl;
    }();
    return dir;
}

std::string scratch_path(const char *name)
{
    return scratch_dir() + "/" + name;
}

void remove_path(const std::string &path)
{
    remove_tree(path);
}

void put_file(const std::string &path, const std::vector<uint8_t> &data)
{
    remove_tree(path);
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0 || write(fd, data.data(), data.size()) != static_cast<ssize_t>(data.size()) ||
        close(fd) != 0)
        fail("cannot write %s", path.c_str());
}

void put_dir(const std::string &path)
{
    remove_tree(path);
    if (mkdir(path.c_str(), 0755) != 0)
        fail("cannot create %s", path.c_str());
}

bool read_file(const std::string &path, std::vector<uint8_t> &data)
{
    FILE *f = std::fopen(path.c_str(), "rb");
    if (!f)
        return false;
    data.clear();
    uint8_t chunk[4096];
    for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, f)) > 0;)
        data.insert(data.end(), chunk, chunk + n);
    std::fclose(f);
    return true;
}

sim::Bus &bus()
{
    static sim::Bus *const shared = [] {
        sim::Bus *b = sim::bus_create_shared();
        sim::attach(b);
        return b;
    }();
    return *shared;
}

void reset_bus()
{
    sim::Bus &b = bus();
    b.n_devices = 0;
    b.no_rights = 0;
    b.no_access = 0;
    b.fail_after = 0;
    b.access_count = 0;
    b.signal_at = 0;
    b.signal_number = 0;
    b.log_count = 0;
    b.reg_log_count = 0;
}

void fail(const char *fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    std::fputs("orvex-fuzz: ", stderr);
    std::vfprintf(stderr, fmt, args);
    std::fputc('\n', stderr);
    va_end(args);
    std::abort();
}

uint32_t ref_region(uint32_t offset)
{
    return offset >= FLASH_SIZE ? 0 : FLASH_SIZE - offset;
}

size_t ref_trim(const uint8_t *data, size_t len)
{
    size_t last = 0;  // one past the last byte that is not erased
    for (size_t i = 0; i < len; i++)
        if (data[i] != 0xFF)
            last = i + 1;
    return last;
}

}  // namespace fuzz
