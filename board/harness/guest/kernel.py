# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 The msgs_iic authors

"""Debian's armhf kernel unpacked once on the host. Its vmlinuz is a zImage
that decompresses an xz payload under emulation, 2 to 4 s of every boot;
the Image inside boots as it stands, from a legacy uImage header that tells
QEMU where to load it."""

import lzma
import os
import re
import struct
import zlib
from pathlib import Path

from ..host.progress import Stop

ZIMAGE_MAGIC = 0x016F2818   # at 0x24 of an ARM zImage
XZ = b"\xfd7zXZ\x00"
# arch/arm/Makefile's textofs: the kernel's place above the RAM base, 0x8000
# unless a platform built in wants room below it; the last rule that holds
# wins. Debian's armmp kernel has ARCH_MESON, so 0x208000: loaded at
# + 0x8000, it works out a base 2 MiB below RAM, overwrites its own
# vectors, and hangs at the first interrupt without a word.
TEXT_OFFSETS = (("CONFIG_PM_H1940", 0x108000), ("CONFIG_ARCH_REALTEK", 0x108000),
                ("CONFIG_ARCH_IPQ40XX", 0x208000),
                ("CONFIG_ARCH_MSM8X60", 0x208000),
                ("CONFIG_ARCH_MSM8960", 0x208000),
                ("CONFIG_ARCH_MESON", 0x208000), ("CONFIG_ARCH_AXXIA", 0x308000))
# The legacy uImage header: magic, header CRC, time, size, load address,
# entry, data CRC, OS (Linux), architecture (ARM), type (kernel),
# compression (none), name.
UIMAGE = struct.Struct(">IIIIIIIBBBB32s")
UIMAGE_MAGIC = 0x27051956


def payload(zimage: bytes, name: str) -> bytes:
    """The Image: the xz stream that the kernel's build follows with its
    decompressed size, little-endian. The first xz signature in a zImage
    is a false one, in the decompressor's own code."""
    if len(zimage) < 0x28 or struct.unpack_from("<I", zimage, 0x24)[0] \
            != ZIMAGE_MAGIC:
        raise Stop(f"{name} is not an ARM zImage (no magic at 0x24)")
    start, begun = zimage.find(XZ), False
    while start >= 0:
        stream = lzma.LZMADecompressor(format=lzma.FORMAT_XZ)
        try:
            image = stream.decompress(zimage[start:])
            begun = True
        except lzma.LZMAError:
            image = b""
        if stream.eof and stream.unused_data[:4] == struct.pack("<I", len(image)):
            return image
        start = zimage.find(XZ, start + 1)
    raise Stop(f"{name} is cut short: its xz payload has no end" if begun else
               f"{name}'s payload is not xz: board/run unpacks xz zImages")


def text_offset(config: str) -> int:
    offset = 0x8000
    for option, value in TEXT_OFFSETS:
        if re.search(rf"^{option}=y$", config, re.M):
            offset = value
    return offset


def unpack(folder: Path) -> None:
    """Image and its text offset beside vmlinuz, from the kernel's config."""
    image = payload((folder / "vmlinuz").read_bytes(), "the kernel's vmlinuz")
    (folder / "Image").write_bytes(image)
    offset = text_offset((folder / "config").read_text())
    (folder / "image").write_text(f"{len(image)} {offset:#x}\n")


def uimage(folder: Path, ram_base: int, into: Path) -> Path:
    """The Image in a uImage that QEMU loads at the RAM base plus the text
    offset, made once for each load address beside the Image and linked
    into place; the Image is checked first, since a wrong one is silent
    until the time-out."""
    size, offset = (folder / "image").read_text().split()
    if (folder / "Image").stat().st_size != int(size):
        raise Stop(f"{folder / 'Image'} is {(folder / 'Image').stat().st_size} "
                   f"bytes, not {size}: remove {folder} and run again")
    load = ram_base + int(offset, 16)
    kept = folder / f"uImage.{load:#x}"
    if not kept.exists() or kept.stat().st_size != UIMAGE.size + int(size):
        image = (folder / "Image").read_bytes()
        fields = [UIMAGE_MAGIC, 0, 0, len(image), load, load, zlib.crc32(image),
                  5, 2, 2, 0, b"Linux"]
        fields[1] = zlib.crc32(UIMAGE.pack(*fields))
        new = kept.with_name(f"{kept.name}.{os.getpid()}")
        new.write_bytes(UIMAGE.pack(*fields) + image)
        new.replace(kept)
    into.unlink(missing_ok=True)
    into.symlink_to(kept)
    return into
