#!/usr/bin/env python3
"""Writes the seed corpus of each fuzz target into fuzz/corpus/<target>/ (run from anywhere).

The layouts are described at the top of each target's source."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def put(target, name, data):
    d = os.path.join(HERE, "corpus", target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)


def pattern(n, seed=1):
    x = seed * 2654435761 + 12345
    out = bytearray()
    for _ in range(n):
        x = (x * 1103515245 + 12345) & 0xFFFFFFFF
        b = (x >> 16) & 0xFF
        out.append(0x5A if b == 0xFF else b)
    return bytes(out)


def argv(*args):
    return b"\0".join(a.encode() for a in args)


CMDLINE = {
    "status": b"",
    "write": argv("-w", "fw.bin"),
    "dump-offset-hex": argv("-r", "dump.bin", "-o", "0x1000"),
    "verify-debug": argv("-d", "-v", "fw.bin"),
    "offset-octal-signed": argv("-o", " \t-0777", "-r", "x"),
    "offset-overflow": argv("-o", "99999999999", "-w", "f"),
    "help": argv("-h"),
    "two-ops": argv("-w", "a", "-v", "b"),
    "bad-option": argv("-x"),
    "offset-missing": argv("-r", "f", "-o"),
}


def image(offset, mode, pad, tweak_at, tweak, data):
    return struct.pack("<IBHHB", offset, mode, pad, tweak_at, tweak) + data


IMAGE = {
    # mirrored image near the end: the verify passes
    "match": image(0x1000, 4, 0, 0, 0, pattern(300)),
    # one flash byte changed inside the image
    "mismatch": image(0x800, 4, 0, 10, 0x40, pattern(200)),
    # erased bytes after the data, whole flash from offset 0
    "padded-full": image(0, 4 | 8, 3000, 0, 0, pattern(64)),
    "unaligned-offset": image(0x1FF03, 8, 0, 0, 0, pattern(40)),
    "past-end": image(0x20000, 8, 0, 0, 0, b"\x01\x02"),
    "directory": image(0x100, 2, 0, 0, 0, b""),
    "missing": image(0x100, 3, 0, 0, 0, b""),
    "zero-background": image(0x2000, 4 | 16, 0, 0, 0, pattern(500, 3)),
}


def run(op, verbose=False, offset=None, raw_offset=False, file_kind=0, no_file=False,
        second=False, never_idle=False, flip=None, fail_after=None, ident=None, timing=None,
        no_rights=False, no_orvex=False, fill=0, data=b""):
    a = op | (4 if verbose else 0) | (8 if offset is not None else 0) | (file_kind << 4)
    a |= (64 if no_file else 0) | (128 if second else 0)
    f = (1 if raw_offset else 0) | (2 if never_idle else 0) | (4 if flip else 0)
    f |= (8 if fail_after else 0) | (16 if ident is not None else 0)
    f |= (32 if timing else 0) | (64 if no_rights else 0) | (128 if no_orvex else 0)
    flip_word = (flip[0] | (flip[1] << 17)) if flip else 0
    page, sector, chip = timing or (0, 0, 0)
    head = struct.pack("<BIBIIHHHHB", a, offset or 0, f, (fail_after or 1) - 1, flip_word,
                       ident or 0, page, sector, chip, fill)
    return head + data


RUN = {
    "status": run(0),
    "write": run(2, data=pattern(700)),
    "write-offset": run(2, offset=30, data=pattern(300)),  # sector 30
    "verify-match": run(3, offset=31, fill=3, data=pattern(400)),
    "verify-differs": run(3, offset=31, fill=2, data=pattern(100)),
    "dump-end": run(1, offset=0x1F000, raw_offset=True, fill=2),
    "dump-dev-full": run(1, offset=32, file_kind=2, fill=2),
    "write-flip": run(2, offset=31, flip=(0x1F010, 3), data=pattern(64)),
    "write-fail-after": run(2, offset=31, fail_after=400, data=pattern(64)),
    "verify-never-idle": run(3, offset=31, never_idle=True, data=pattern(16)),
    "write-slow-erase": run(2, timing=(3, 50, 60000), data=pattern(32)),
    "no-rights": run(2, no_rights=True, data=pattern(8)),
    "wrong-id": run(3, ident=0xC214, data=pattern(8)),
}

for name, data in CMDLINE.items():
    put("fuzz_cmdline", name, data)
for name, data in IMAGE.items():
    put("fuzz_image", name, data)
for name, data in RUN.items():
    put("fuzz_run", name, data)
