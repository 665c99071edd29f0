// SPDX-License-Identifier: MIT
// Dumping, writing and verifying the EEPROM region from `offset` to its end.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

#include "image/image.h"
#include "spi/spi.h"

namespace {

struct file_closer {
    void operator()(FILE *f) const
    {
        close_file(f);
    }
};
using file_ptr = std::unique_ptr<FILE, file_closer>;

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

// The dump written straight into its target: a pipe, a device, or a file in a folder that takes
// no new file. A failure there leaves the target as far as it was written.
int save_in_place(const char *file, std::span<const uint8_t> data)
{
    FILE *f = std::fopen(file, "wb");
    if (!f) {
        std::printf("* failed to create '%s'\n", file);
        return RES_FAILED;
    }
    if (!store(f, data)) {
        std::printf("* failed to write data to file\n");
        return RES_FAILED;
    }
    return RES_OK;
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

// A dump that replaces its target whole: written to a new file beside it, which is renamed over
// the target only once it is complete and on disk.
struct replacement {
    char target[PATH_MAX];  // the regular file replaced (a link's own target)
    char temp[PATH_MAX];    // the new file
    descriptor folder;      // the folder both are in
    descriptor fd;          // the new file
};

enum class way { replace, in_place, no_room };

// Splits `path` into the folder and the name in it; false when it names no file in a folder.
bool split_path(const char *path, char (&folder)[PATH_MAX], const char *&name)
{
    const char *slash = std::strrchr(path, '/');
    name = slash ? slash + 1 : path;
    if (*name == '\0' || std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)
        return false;
    if (!slash)
        return std::snprintf(folder, PATH_MAX, ".") > 0;
    const int len = slash == path ? 1 : static_cast<int>(slash - path);
    return std::snprintf(folder, PATH_MAX, "%.*s", len, path) == len;
}

// Decides how the dump reaches `file`, and for a replacement creates the new file, with the mode
// (and, for root, the owner and group) the old one had, or that a new file would get.
way prepare(const char *file, replacement &r)
{
    struct stat st;
    bool existed = true;
    if (lstat(file, &st) != 0) {
        if (errno != ENOENT)
            return way::in_place;
        existed = false;
        const mode_t mask = umask(0);
        umask(mask);
        st.st_mode = S_IFREG | (0666 & ~mask);
        if (std::snprintf(r.target, PATH_MAX, "%s", file) >= PATH_MAX)
            return way::in_place;
    } else if (S_ISLNK(st.st_mode)) {
        // A link stays a link: the file it leads to is replaced, in that file's own folder.
        if (!realpath(file, r.target) || stat(r.target, &st) != 0 || !S_ISREG(st.st_mode))
            return way::in_place;
    } else if (!S_ISREG(st.st_mode) || std::snprintf(r.target, PATH_MAX, "%s", file) >= PATH_MAX) {
        return way::in_place;
    }

    char folder[PATH_MAX];
    const char *name;
    if (!split_path(r.target, folder, name))
        return way::in_place;
    r.folder.fd = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (r.folder.fd < 0)
        return way::in_place;
    // A name too long to take the suffix gets no new file beside it.
    const size_t temp_name_len = std::strlen(name) + std::strlen(INCOMPLETE_DUMP_SUFFIX) + 6;
    const int n =
        std::snprintf(r.temp, PATH_MAX, "%s/%s%sXXXXXX", folder, name, INCOMPLETE_DUMP_SUFFIX);
    if (n < 0 || n >= PATH_MAX || temp_name_len > NAME_MAX)
        return way::in_place;
    r.fd.fd = create_temp(r.temp);
    if (r.fd.fd < 0)  // with no room for a new file, writing in place would lose the old one
        return errno == ENOSPC || errno == EDQUOT ? way::no_room : way::in_place;
    // Owner first: a change of owner clears the set-id bits. Both are best effort, as on a file
    // system that keeps no owners: the dump itself is what matters.
    int kept = existed && geteuid() == 0 ? fchown(r.fd.fd, st.st_uid, st.st_gid) : 0;
    kept |= fchmod(r.fd.fd, st.st_mode & 07777);
    static_cast<void>(kept);
    return way::replace;
}

// Writes the dump to `file`. A regular file (or one still to be made) is replaced whole, so a
// dump that fails, on a full disk for one, leaves the file it would have replaced as it was.
// -1 (message printed) when the dump was not all stored.
int save_file(const char *file, std::span<const uint8_t> data)
{
    replacement r;
    switch (prepare(file, r)) {
    case way::in_place:
        return save_in_place(file, data);
    case way::no_room:
        std::printf("* failed to write data to file\n");
        return RES_FAILED;
    case way::replace:
        break;
    }
    FILE *f = fdopen(r.fd.fd, "wb");
    if (f)
        r.fd.release();  // the stream closes it now
    bool stored = f && store(f, data) && rename(r.temp, r.target) == 0;
    if (!stored)
        unlink(r.temp);
    // Only a synced folder keeps the rename through a power cut. A folder that cannot be synced at
    // all is no failure.
    else if (sync_folder(r.folder.fd) != 0 && errno != EINVAL)
        stored = false;
    if (!stored) {
        std::printf("* failed to write data to file\n");
        return RES_FAILED;
    }
    return RES_OK;
}

}  // namespace

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

byte_buffer file_read(const char *file, uint32_t read_len, uint32_t &actual_len)
{
    actual_len = 0;
    byte_buffer buf = alloc_buffer(read_len);
    if (!buf) {
        std::printf("* failed to allocate memory\n");
        return nullptr;
    }
    file_ptr f(std::fopen(file, "rb"));
    if (!f) {
        std::printf("* failed to open '%s'\n", file);
        return nullptr;
    }
    size_t count = std::fread(buf.get(), 1, read_len, f.get());
    // A read error (a directory, an I/O error) is not an empty image.
    if (std::ferror(f.get())) {
        std::printf("* failed to read '%s'\n", file);
        return nullptr;
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
int orvex_write_eeprom(pci_dev *dev, const char *file, uint32_t offset)
{
    const uint32_t data_len = region_length(offset);
    const uint32_t sector = g_flash_info.sector_size;
    // The verify after the write loads the image a second time, which only a regular file can
    // give: a pipe written once would leave that verify waiting for ever, with termination
    // signals held, after the flash has been rewritten. Such an image is refused up front.
    struct stat st;
    if (stat(file, &st) == 0 && !S_ISREG(st.st_mode)) {
        std::printf("* failed to read '%s'\n", file);
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
int orvex_verify_eeprom(pci_dev *dev, const char *file, uint32_t offset)
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
