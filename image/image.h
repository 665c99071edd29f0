// SPDX-License-Identifier: MIT
// Image files and the three operations a user asks for: dump, write, verify.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <span>

#include "chip/pci.h"

// A buffer of one operation; freed on every path when it goes out of scope.
struct free_deleter {
    void operator()(uint8_t *p) const
    {
        std::free(p);
    }
};
using byte_buffer = std::unique_ptr<uint8_t[], free_deleter>;

// The C library calls a test must be able to make fail (image/platform.cpp).
// read_len bytes, or null when the allocation fails (a length of 0 still gives a buffer).
byte_buffer alloc_buffer(uint32_t len);
// fsync() of the file's descriptor, and fclose(): 0, or -1 with errno set.
int sync_file(FILE *f);
int close_file(FILE *f);
// Creates the file `name` in the folder `folder` for reading and writing, mode 0600,
// close-on-exec, only where nothing of that name exists (not even a link): its descriptor, or -1
// with errno set.
int create_temp(int folder, const char *name);
// Renames `from` to `to` in `folder`, over what `to` is (replace), or only while `to` does not
// exist (keep_existing): 0, or -1 with errno set (EEXIST when `to` turned up meanwhile).
int rename_file(int folder, const char *from, const char *to, bool keep_existing);
// fsync() of a folder's descriptor: 0, or -1 with errno set.
int sync_folder(int fd);

// What a dump that replaces a file is first written as, beside it: NAME + this + six characters.
// A run killed while it writes the dump leaves such a file behind; the target is untouched.
inline constexpr const char *INCOMPLETE_DUMP_SUFFIX = ".incomplete-dump-";

// How much of the EEPROM a verify holds at a time.
inline constexpr uint32_t VERIFY_PART = 4096;

// The EEPROM bytes from `offset` to the end: their count, 0 when offset is at or past the end.
uint32_t region_length(uint32_t offset);

// The length of `data` without its trailing 0xFF bytes.
uint32_t trimmed_length(std::span<const uint8_t> data);

// An image file, opened by its name once and from then on read through that descriptor only: the
// verify after a write compares the very file the write loaded, whatever happens to its name in
// between. Closed with the object.
struct image_file {
    const char *name;
    int fd = -1;
    explicit image_file(const char *file_name) : name(file_name) {}
    image_file(const image_file &) = delete;
    image_file &operator=(const image_file &) = delete;
    ~image_file();
};

// Loads up to read_len bytes of `file`, from its start, into a buffer of read_len bytes; opens it
// first if it is not open yet. actual_len is the trimmed count. Null (with a message printed,
// actual_len 0) when the file cannot be loaded.
byte_buffer file_read(image_file &file, uint32_t read_len, uint32_t &actual_len);

// 0 on success; negative result codes as the run reports them; verify gives 1 on a difference.
int orvex_read_eeprom(pci_dev *dev, const char *file, uint32_t offset);
int orvex_write_eeprom(pci_dev *dev, image_file &file, uint32_t offset);
int orvex_verify_eeprom(pci_dev *dev, image_file &file, uint32_t offset);

// A write must not be cut short halfway: every signal that would end or stop the run, other than
// those reporting a fault of the program, is held from just before the erase
// until release_signals(), which flushes standard output first and then lets a held one act.
void hold_signals();
void release_signals();
