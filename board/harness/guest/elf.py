# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 The msgs_iic authors

"""What an ELF program says of itself: the machine it is for, and the
dynamic loader it asks for."""

import struct
from pathlib import Path

# e_machine of each architecture's programs: ARM, AArch64.
MACHINES = {"armhf": 40, "arm64": 183}


def machine(path: Path) -> int | None:
    """The ELF header's e_machine, or None for what is no ELF file."""
    try:
        with path.open("rb") as elf:
            head = elf.read(20)
    except OSError:
        return None
    if len(head) < 20 or head[:4] != b"\x7fELF":
        return None
    return int.from_bytes(head[18:20], "little" if head[5] == 1 else "big")


# Where an ELF file keeps its program headers (e_phoff, e_phentsize,
# e_phnum) and where a header keeps p_offset and p_filesz: 32-bit, 64-bit.
ELF_LAYOUT = {False: ("I", 28, 42, 4, 16), True: ("Q", 32, 54, 8, 32)}
PT_INTERP = 3


def interpreter(program: Path) -> str:
    """A dynamic program's PT_INTERP, its loader's path; "" for a static
    one."""
    elf = program.read_bytes()
    order = "<" if elf[5] == 1 else ">"
    word, phoff_at, count_at, offset_at, size_at = ELF_LAYOUT[elf[4] == 2]
    phoff, = struct.unpack_from(order + word, elf, phoff_at)
    size, count = struct.unpack_from(order + "HH", elf, count_at)
    for at in range(phoff, phoff + size * count, size):
        if struct.unpack_from(order + "I", elf, at)[0] == PT_INTERP:
            offset, = struct.unpack_from(order + word, elf, at + offset_at)
            length, = struct.unpack_from(order + word, elf, at + size_at)
            return elf[offset:offset + length].split(b"\0")[0].decode()
    return ""
