# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 The msgs_iic authors

"""board/run --bench: where a boot's time goes, over a few boots of each
board."""

import statistics

from .marks import Run

# The points of a boot, in order, as seconds from QEMU's start: the
# console's first line, /init's start, the program's start, QEMU gone.
POINTS = (("console", "console"), ("init", "/init"), ("program", "msgs_iic"),
          ("end", "end"))


def points(boot: Run) -> dict[str, float]:
    return {**boot.ending.times, "end": boot.seconds}


def cell(values: list[float]) -> str:
    """The minimum and the median, or "-" where no boot got there."""
    if not values:
        return "-"
    return f"{min(values):.2f} / {statistics.median(values):.2f}"


def row(*cells: str) -> str:
    return "{:<12} {:<8} {:<9} {:<6} {:<14} {:<14} {:<14} {}".format(*cells)


def table(runs: list[tuple[str, str, str, list[Run], int]]) -> list[str]:
    """A row for each board, program and way of starting it ("cold", or
    "restored" from its saved state): how many boots gave the good run,
    and each point's minimum and median over the boots."""
    lines = ["seconds from QEMU's start to each point of a boot, minimum / "
             "median",
             row("board", "program", "boot", "good",
                 *(name for _, name in POINTS))]
    for board, arch, kind, boots, good in runs:
        reached = [points(boot) for boot in boots]
        lines.append(row(board, arch, kind, f"{good}/{len(boots)}", *(
            cell([times[key] for times in reached if key in times])
            for key, _ in POINTS)))
    return lines
