# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 The msgs_iic authors

"""board/run --list: the boards as a table, from their records."""

from .. import boards
from ..boards import ARCHES, Board
from ..runs import snapshot


def spans(numbers: list[int]) -> str:
    """Bus numbers as a person writes them: "0-6 8 9 12-15"."""
    runs: list[list[int]] = []
    for n in numbers:
        if runs and n == runs[-1][-1] + 1:
            runs[-1].append(n)
        else:
            runs.append([n])
    return " ".join(f"{run[0]}-{run[-1]}" if len(run) > 2 else
                    " ".join(map(str, run)) for run in runs)


def programs(board: Board) -> str:
    return " ".join(arch for arch in ARCHES
                    if arch == "armhf" or board.kernel == "arm64")


def table() -> list[str]:
    """Each board: what it stands for, its I2C controller's driver, the
    buses the EEPROM can go on (--eeprom-bus), the programs it runs, and
    whether its runs restore it from a saved state; then the parts the EEPROM
    can be (--eeprom-chip), on every board."""
    row = "{:<12} {:<37} {:<14} {:<18} {:<13} {}".format
    lines = [row("board", "stands for", "driver", "buses", "programs", "saved")]
    for board in boards.BOARDS:
        buses = [n for n, bus in enumerate(board.buses) if bus]
        lines.append(row(board.name, board.stands_for, board.module,
                         spans(buses), programs(board),
                         "yes" if snapshot.savable(board) else "no"))
    first, *others = boards.CHIPS
    return lines + [f"the EEPROM at 0x50, on every board (--eeprom-chip): "
                    f"{first.name} (the default), "
                    + " or ".join(chip.name for chip in others)]
