// SPDX-License-Identifier: MIT
// Dumping, writing and verifying the EEPROM region from `offset` to its end.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

#include "image/image.h"
#include "spi/spi.h"

// Every offset and inode number fits, on a 32-bit build too: a stat that cannot report a large
// inode number fails, and the dump would lose track of its file.
static_assert(sizeof(off_t) == 8 && sizeof(ino_t) == 8, "build with _FILE_OFFSET_BITS=64");

namespace {

// Writes the whole of `data` to `f` and waits until it is on disk, so a power cut during the write
// that usually follows a backup cannot take the backup with it. Closes `f` on every path; false
// when the data was not all stored.
bool store(FILE *f, std::span<const uint8_t> data)
{
    bool stored = std::fwrite(data.data(), 1, data.size(), f) == data.size();
    stored = std::fflush(f) == 0 && stored;
    // A pipe, /dev/null or a terminal cannot be synced, and need not be.
    stored = (sync_file(f) == 0 || errno == EINVAL || errno == EROFS) && stored;
    return close_file(f) == 0 && stored;  // a full disk may only show here
}

// A file descriptor, closed with the object.
struct descriptor {
    int fd = -1;
    descriptor() = default;
    descriptor(const descriptor &) = delete;
    descriptor &operator=(const descriptor &) = delete;
    ~descriptor()
    {
        if (fd >= 0)
            close(fd);
    }
    int release()
    {
        return std::exchange(fd, -1);
    }
};

// Writes the dump to `fd` (and closes it); false when it was not all stored.
bool store_fd(descriptor &fd, std::span<const uint8_t> data)
{
    FILE *f = fdopen(fd.fd, "wb");
    if (!f)
        return false;
    fd.release();  // the stream closes it now
    return store(f, data);
}

// How the dump reaches its name.
enum class way {
    create,    // no such name yet: a new file beside it takes the name, if it is still free then
    replace,   // a regular file: a new file beside it is renamed over it
    in_place,  // a pipe, a device, or a file that cannot be replaced whole: written through `file`
    no_room,   // a regular file, but its folder has no room for the new file: nothing is written
};

// A folder, and a name in it.
struct place {
    descriptor folder;
    char name[NAME_MAX + 1] = "";
};

// Everything a dump needs to reach its name, as decided before any of it is written.
struct dump_plan {
    way how = way::in_place;
    descriptor file;  // replace, in_place: what the plain open of the name reached
    place at;         // create, replace: the name the new file takes
    char temp[NAME_MAX + 1] = "";  // create, replace: the new file's name in the same folder
    descriptor temp_fd;
    struct stat st {};  // replace: the file replaced
};

// Opens the folder of `path` and takes the last name in it; false when `path` names no file in a
// folder ("dir/", "..") or the folder cannot be opened.
bool open_place(const char *path, place &p)
{
    const char *slash = std::strrchr(path, '/');
    const char *name = slash ? slash + 1 : path;
    if (*name == '\0' || std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0 ||
        std::snprintf(p.name, sizeof p.name, "%s", name) >= static_cast<int>(sizeof p.name))
        return false;
    char folder[PATH_MAX];
    const int len = !slash ? 1 : slash == path ? 1 : static_cast<int>(slash - path);
    if (std::snprintf(folder, PATH_MAX, "%.*s", len, slash ? path : ".") != len)
        return false;
    p.folder.fd = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    return p.folder.fd >= 0;
}

// Whether the name `p` holds the file `st` describes itself (not a link to it).
bool holds(const place &p, const struct stat &st)
{
    struct stat at;
    return fstatat(p.folder.fd, p.name, &at, AT_SYMLINK_NOFOLLOW) == 0 && at.st_dev == st.st_dev &&
           at.st_ino == st.st_ino;
}

// Finds the folder and name of the regular file the open reached: the name as given, or, when
// that is a link the open followed, the name the kernel keeps for the open descriptor. The user's
// name is never resolved here: the plain open already chose the file, and /proc/self/fd only
// says where that file lies. Either name is taken only where it holds that very file (same
// device and inode), so nothing but the file the open reached can be replaced.
bool locate(place &given, int fd, const struct stat &st, place &found)
{
    if (holds(given, st)) {
        found.folder.fd = given.folder.release();
        std::memcpy(found.name, given.name, sizeof found.name);
        return true;
    }
    char link[32], path[PATH_MAX];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t n = readlink(link, path, sizeof path - 1);
    if (n <= 0 || path[0] != '/')
        return false;
    path[n] = '\0';
    return open_place(path, found) && holds(found, st);
}

// Creates the new file beside `p`'s name: NAME.incomplete-dump-XXXXXX, with six characters no
// other file there has. Its descriptor, or -1 with errno set (ENAMETOOLONG where the name leaves
// no room for the suffix).
int create_beside(const place &p, char (&temp)[NAME_MAX + 1])
{
    static constexpr char chars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    const int n = std::snprintf(temp, sizeof temp, "%s%sXXXXXX", p.name, INCOMPLETE_DUMP_SUFFIX);
    if (n < 0 || n >= static_cast<int>(sizeof temp)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    // The name need not be hard to guess: the file is created only where no such name exists,
    // and a link there is not followed. The clock and the process make it differ between runs.
    for (uint64_t attempt = 0; attempt < 100; attempt++) {
        timespec t;
        clock_gettime(CLOCK_REALTIME, &t);
        uint64_t v = (static_cast<uint64_t>(t.tv_nsec) ^ static_cast<uint64_t>(getpid()) << 30 ^
                      attempt << 50) * 0x9E3779B97F4A7C15u;
        for (int i = n - 6; i < n; i++, v >>= 6)
            temp[i] = chars[v % (sizeof chars - 1)];
        const int fd = create_temp(p.folder.fd, temp);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

// Opens `file` as fopen(file, "wb") would, but without truncating it: the kernel applies its
// permissions and its protections of shared folders to this open, as to any other.
int open_plain(const char *file)
{
    return open(file, O_WRONLY | O_CREAT | O_NOCTTY | O_CLOEXEC, 0666);
}

// Decides how the dump reaches `file`. The name is opened as a plain open would, and only what
// that open reached is written: a name that does not exist yet gets a new file; a regular file is
// replaced whole, in its own folder, by a new file beside it; anything else is written in place.
// False (message printed) when the open is refused: nothing has been changed then.
bool plan_dump(const char *file, dump_plan &p)
{
    place given;
    struct stat st;
    const bool in_folder = open_place(file, given);
    if (in_folder && fstatat(given.folder.fd, given.name, &st, AT_SYMLINK_NOFOLLOW) != 0 &&
        errno == ENOENT) {
        // A new name: nothing there to follow or to protect. The new file takes the name only
        // while it is still free.
        p.temp_fd.fd = create_beside(given, p.temp);
        if (p.temp_fd.fd >= 0) {
            p.how = way::create;
            p.at.folder.fd = given.folder.release();
            std::memcpy(p.at.name, given.name, sizeof p.at.name);
            return true;
        }
        if (errno == ENOSPC || errno == EDQUOT) {
            p.how = way::no_room;
            return true;
        }
    }
    p.file.fd = open_plain(file);
    if (p.file.fd < 0 || fstat(p.file.fd, &p.st) != 0) {
        std::printf("* failed to create '%s'\n", file);
        return false;
    }
    p.how = way::in_place;
    if (!S_ISREG(p.st.st_mode) || !in_folder || !locate(given, p.file.fd, p.st, p.at))
        return true;
    p.temp_fd.fd = create_beside(p.at, p.temp);
    if (p.temp_fd.fd >= 0)
        p.how = way::replace;
    else if (errno == ENOSPC || errno == EDQUOT)  // writing in place would lose the old file
        p.how = way::no_room;
    // A folder that takes no new file, though its file may be written: written in place.
    return true;
}

// Gives the new file the old one's owner and group (for root) and its permissions, without
// set-user-ID, set-group-ID or sticky bits; a new name gets what a new file gets. Best effort, as on
// a file system that keeps no owners: the dump itself is what matters.
void set_owner_and_mode(const dump_plan &p)
{
    int kept = 0;
    mode_t mode;
    if (p.how == way::replace) {
        // Owner first: a change of owner clears the set-id bits anyway.
        kept |= geteuid() == 0 ? fchown(p.temp_fd.fd, p.st.st_uid, p.st.st_gid) : 0;
        mode = p.st.st_mode;
    } else {
        const mode_t mask = umask(0);
        umask(mask);
        mode = 0666 & ~mask;
    }
    kept |= fchmod(p.temp_fd.fd, mode & 0777);
    static_cast<void>(kept);
}

// Writes the new file and gives it the name: over the file the open reached, only while the
// name still holds that file; a new name, only while it is still free. The folder is synced after
// the rename, since only then does the new name survive a power cut (a folder that cannot be
// synced at all is no failure). False when the dump did not take the name, or may not keep it;
// the new file is gone then, unless the name has it.
bool store_beside(dump_plan &p, std::span<const uint8_t> data)
{
    set_owner_and_mode(p);
    bool named = false;
    if (store_fd(p.temp_fd, data) && (p.how == way::create || holds(p.at, p.st)))
        named = rename_file(p.at.folder.fd, p.temp, p.at.name, p.how == way::create) == 0;
    if (!named) {
        unlinkat(p.at.folder.fd, p.temp, 0);
        return false;
    }
    return sync_folder(p.at.folder.fd) == 0 || errno == EINVAL;
}

// Writes the dump to `file` as plan_dump decided. -1 (message printed) when the dump was not all
// stored; a file it would have replaced is then as it was.
int save_file(const char *file, std::span<const uint8_t> data)
{
    dump_plan p;
    if (!plan_dump(file, p))
        return RES_FAILED;
    bool stored = false;
    switch (p.how) {
    case way::create:
    case way::replace:
        stored = store_beside(p, data);
        break;
    case way::in_place:
        // A regular file written in place starts empty, as with fopen's "wb".
        stored = (!S_ISREG(p.st.st_mode) || ftruncate(p.file.fd, 0) == 0) && store_fd(p.file, data);
        break;
    case way::no_room:
        break;
    }
    if (!stored) {
        std::printf("* failed to write data to file\n");
        return RES_FAILED;
    }
    return RES_OK;
}

// Opens the image for reading, as fopen(file, "rb") would; false (message printed) when it
// cannot be opened. `nonblocking`: a pipe without a writer does not keep the open waiting.
bool open_image(image_file &file, bool nonblocking)
{
    file.fd = open(file.name, O_RDONLY | O_NOCTTY | O_CLOEXEC | (nonblocking ? O_NONBLOCK : 0));
    if (file.fd < 0)
        std::printf("* failed to open '%s'\n", file.name);
    return file.fd >= 0;
}

}  // namespace

image_file::~image_file()
{
    if (fd >= 0)
        close(fd);
}

uint32_t region_length(uint32_t offset)
{
    return offset < g_flash_info.flash_size ? g_flash_info.flash_size - offset : 0;
}

uint32_t trimmed_length(std::span<const uint8_t> data)
{
    size_t len = data.size();
    while (len != 0 && data[len - 1] == 0xFF)
        len--;
    return static_cast<uint32_t>(len);
}

byte_buffer file_read(image_file &file, uint32_t read_len, uint32_t &actual_len)
{
    actual_len = 0;
    byte_buffer buf = alloc_buffer(read_len);
    if (!buf) {
        std::printf("* failed to allocate memory\n");
        return nullptr;
    }
    if (file.fd < 0 && !open_image(file, false))
        return nullptr;
    // From the start: a file read before is read again as it now is. A pipe cannot seek, and
    // is read once.
    static_cast<void>(lseek(file.fd, 0, SEEK_SET));
    uint32_t count = 0;
    while (count < read_len) {
        const ssize_t n = read(file.fd, buf.get() + count, read_len - count);
        if (n == 0)
            break;
        if (n < 0 && errno == EINTR)
            continue;
        // A read error (a directory, an I/O error) is not an empty image.
        if (n < 0) {
            std::printf("* failed to read '%s'\n", file.name);
            return nullptr;
        }
        count += static_cast<uint32_t>(n);
    }
    actual_len = trimmed_length({buf.get(), count});
    return buf;
}

int orvex_read_eeprom(pci_dev *dev, const char *file, uint32_t offset)
{
    const uint32_t data_len = region_length(offset);
    int result;
    orvex_spi_init(dev);
    if (byte_buffer buf = alloc_buffer(data_len); !buf) {
        std::printf("* failed to allocate memory\n");
        result = RES_FAILED;
    } else if ((result = orvex_spi_read(dev, offset, data_len, {buf.get(), data_len})) == 0) {
        const uint32_t len = trimmed_length({buf.get(), data_len});
        if (file)
            result = save_file(file, {buf.get(), len});
    }
    orvex_spi_uninit(dev);
    return result;
}

// Erases from `offset` to the end of the EEPROM, whatever the image's length, then programs the
// trimmed image; the rest of the region stays erased.
int orvex_write_eeprom(pci_dev *dev, image_file &file, uint32_t offset)
{
    const uint32_t data_len = region_length(offset);
    const uint32_t sector = g_flash_info.sector_size;
    // The verify after the write loads the image a second time, from the same descriptor, which
    // only a regular file can give: a pipe gives its bytes once. Such an image is refused up
    // front, decided on what was opened, and without waiting for a pipe's writer.
    if (!open_image(file, true))
        return RES_FAILED;
    if (struct stat st; fstat(file.fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        std::printf("* failed to read '%s'\n", file.name);
        return RES_FAILED;
    }
    uint32_t file_len;
    byte_buffer buf = file_read(file, data_len, file_len);
    if (!buf)
        return RES_FAILED;

    hold_signals();
    orvex_spi_init(dev);
    int result = orvex_spi_erase(dev, offset, (data_len + sector - 1) / sector * sector);
    if (result == 0)
        result = orvex_spi_write(dev, offset, file_len, {buf.get(), data_len});
    orvex_spi_uninit(dev);
    return result;
}

namespace {

// The EEPROM side of a verify, taken in as it is read: its trimmed length, and where it first
// differs from the image's bytes.
struct eeprom_compare {
    std::span<const uint8_t> image;  // the trimmed image
    uint32_t offset;                 // the flash address of the region's first byte
    uint32_t eeprom_len = 0;
    uint32_t first_difference = UINT32_MAX;
};

void compare_part(void *ctx, uint32_t addr, std::span<const uint8_t> part)
{
    eeprom_compare &c = *static_cast<eeprom_compare *>(ctx);
    const uint32_t at = addr - c.offset;
    for (uint32_t i = 0; i < part.size(); i++) {
        if (part[i] != 0xFF)
            c.eeprom_len = at + i + 1;
        if (at + i < c.image.size() && part[i] != c.image[at + i])
            c.first_difference = std::min(c.first_difference, at + i);
    }
}

}  // namespace

// The EEPROM is compared as it is read, a part at a time, so a verify holds the image and only a
// small part of the EEPROM: a write and its verify need no more memory than the write alone.
int orvex_verify_eeprom(pci_dev *dev, image_file &file, uint32_t offset)
{
    const uint32_t data_len = region_length(offset);
    byte_buffer buf = alloc_buffer(VERIFY_PART);
    if (!buf) {
        std::printf("* failed to allocate memory\n");
        return RES_NOMEM;
    }
    uint32_t file_len;
    byte_buffer fbuf = file_read(file, data_len, file_len);
    if (!fbuf)
        return RES_FAILED;

    eeprom_compare c{{fbuf.get(), file_len}, offset};
    orvex_spi_init(dev);
    const int read_result =
        orvex_spi_read(dev, offset, data_len, {buf.get(), VERIFY_PART}, compare_part, &c);
    orvex_spi_uninit(dev);
    if (read_result != 0)
        return read_result;
    const uint32_t eeprom_len = c.eeprom_len;

    // Past the trimmed lengths both hold only erased bytes (or, in the image buffer, bytes the
    // file never filled), so the trimmed bytes are all there is to compare.
    const uint32_t common = std::min(file_len, eeprom_len);
    const bool same = c.first_difference >= common;
    if (file_len != eeprom_len) {
        std::printf("* trimmed file length %d, trimmed EEPROM length %d\n",
                    static_cast<int>(file_len), static_cast<int>(eeprom_len));
        if (same)
            std::printf("* data matches up to %d\n", static_cast<int>(common));
        else
            std::printf("* data mismatch\n");
        return RES_DIFFERS;
    }
    if (!same) {
        std::printf("* data mismatch\n");
        return RES_DIFFERS;
    }
    return RES_OK;
}
