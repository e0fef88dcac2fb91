# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 The msgs_iic authors

"""board/run --bench: where a boot's time goes, over a few boots of each
board, and what msgs_iic_on's keep costs on the board."""

import statistics

from .marks import Results, Run

# The points of a boot, in order, as seconds from QEMU's start: the
# console's first line, /init's start, the program's start, QEMU gone.
POINTS = (("console", "console"), ("init", "/init"), ("program", "msgs_iic"),
          ("end", "end"))


# After the program, msgs_iic_on on the same chip, timed as test-run times
# the program (/proc/uptime, to the hundredth): the keep's cost is the
# difference. It names the part, since a chip of 0xff bytes alone cannot
# tell its kind.
KEEP = ("read -r begun _ </proc/uptime; msgs_iic_on -y --chip 24c02 0 "
        ">/dev/null 2>&1; status=$?; read -r ended _ </proc/uptime; "
        "echo \"$begun $ended $status\"")


def keep_cost(results: Results) -> float | None:
    """What msgs_iic_on added to the program's own run, in seconds; None
    where either did not run to the end."""
    said = results.after_each[0].split() if results.after_each else []
    if len(said) != 3 or said[2] != b"0" or results.centiseconds is None:
        return None
    return float(said[1]) - float(said[0]) - results.centiseconds / 100


def points(boot: Run) -> dict[str, float]:
    return {**boot.ending.times, "end": boot.seconds}


def cell(values: list[float]) -> str:
    """The minimum and the median, or "-" where no boot got there."""
    if not values:
        return "-"
    return f"{min(values):.2f} / {statistics.median(values):.2f}"


def row(*cells: str) -> str:
    return "{:<12} {:<8} {:<9} {:<6} {:<14} {:<14} {:<14} {:<14} {}".format(*cells)


# board, program, how it started ("cold", or "restored" from its saved
# state), its boots, how many gave the good run, and the keep's costs.
Bench = tuple[str, str, str, list[Run], int, list[float | None]]


def table(runs: list[Bench]) -> list[str]:
    """A row for each board, program and way of starting it: how many
    boots gave the good run, each point's minimum and median over the
    boots, and the keep's."""
    lines = ["seconds from QEMU's start to each point of a boot, minimum / "
             "median; keep: what msgs_iic_on adds to msgs_iic's own time on "
             "the board",
             row("board", "program", "boot", "good",
                 *(name for _, name in POINTS), "keep")]
    for board, arch, kind, boots, good, keeps in runs:
        reached = [points(boot) for boot in boots]
        lines.append(row(board, arch, kind, f"{good}/{len(boots)}", *(
            cell([times[key] for times in reached if key in times])
            for key, _ in POINTS),
            cell([keep for keep in keeps if keep is not None])))
    return lines
