# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 The msgs_iic authors

"""The board's device tree, as the kernel package ships it with what QEMU
does not model switched off, and what it says of where RAM starts."""

import shutil
import subprocess
from pathlib import Path

from ..boards import Board
from ..host.progress import say
from .packages import Guest


def make_dtb(board: Board, guest: Guest, output: Path) -> None:
    """The board's device tree with the nodes QEMU does not model off or
    gone."""
    shutil.copy(guest.kernel(board.kernel) / "dtbs" / board.dtb, output)
    for node in board.disable:
        if not node.startswith("/"):
            node = subprocess.run(["fdtget", "-t", "s", output, "/aliases",
                                   node], capture_output=True, text=True,
                                  check=True).stdout.strip()
        subprocess.run(["fdtput", "-t", "s", output, node, "status",
                        "disabled"], check=True)
    if board.remove:
        subprocess.run(["fdtput", "-r", output, *board.remove], check=True)


def fdtget(option: str, dtb: Path, *where: str) -> str | None:
    """fdtget's answer, or None where the node or property is missing."""
    done = subprocess.run(["fdtget", option, dtb, *where],
                          capture_output=True, text=True)
    return done.stdout.strip() if done.returncode == 0 else None


def memory_base(dtb: Path) -> int | None:
    """Where the tree's memory node says RAM starts: the first address of
    its reg, in the root's #address-cells (2 where the root says none);
    None where the tree has no memory node."""
    nodes = (fdtget("-l", dtb, "/") or "").split()
    for node in nodes:
        if node != "memory" and not node.startswith("memory@"):
            continue
        reg = (fdtget("-tx", dtb, f"/{node}", "reg") or "").split()
        cells = int(fdtget("-tu", dtb, "/", "#address-cells") or 2)
        if len(reg) < cells:
            continue
        base = 0
        for word in reg[:cells]:
            base = base << 32 | int(word, 16)
        return base
    return None


def ram_base(board: Board, dtb: Path) -> int:
    """The RAM base to load an Image above: the tree's; the record's only
    where the tree has no memory node. One line where the two disagree,
    or the tree says nothing."""
    found = memory_base(dtb)
    if found is None:
        base = board.ram_base or 0
        given = (f"the record's RAM base, {base:#x}" if board.ram_base
                 is not None else "RAM base 0, since the record gives none")
        say(f"{board.name}'s device tree has no memory node: the kernel "
            f"loads above {given}")
        return base
    if board.ram_base is not None and board.ram_base != found:
        say(f"{board.name}'s record gives RAM base {board.ram_base:#x}, its "
            f"device tree {found:#x}: the kernel loads above the tree's")
    return found
