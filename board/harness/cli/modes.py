# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 The msgs_iic authors

"""The runs on emulated boards: one board as a person reads it, every
board as a table, and --bench's boots; each gives its rows a verdict."""

import shutil
from dataclasses import replace
from pathlib import Path

from ..boards import Target
from ..guest.packages import Guest
from ..host.progress import say
from ..host.tools import qemu_version
from ..options import Options
from ..report import files, terminal, verdict
from ..report.verdict import GOOD_RUN, READ_BACK, Row
from ..runs import bench, bus, qemu
from ..runs.marks import Results, collect


def boot(target: Target, options: Options, guest: Guest, work: Path) -> Results:
    return collect(qemu.boot(target, options, guest, work), options)


def one_board(target: Target, options: Options, guest: Guest,
              work: Path) -> list[Row]:
    """The run shown whole before anything goes to the report, so that a
    report that cannot be written takes nothing of it."""
    results = boot(target, options, guest, work)
    row = verdict.row(target, results, options, options.report)
    terminal.show(results, row, qemu_version(target.board.qemu), options)
    if options.report:
        files.publish(results, options.report)
    if options.picture and results.vcd is not None:
        vcd = work / "bus.vcd"
        vcd.write_text(results.vcd)
        bus.draw(target.board.name, vcd, options.picture)
    return [row]


def every_board(options: Options, guest: Guest, work: Path) -> list[Row]:
    """The good run on every board, a row each, with i2ctransfer's read
    back as one more case."""
    options = replace(options, checks=(READ_BACK,))
    rows = []
    for target in options.targets:
        results = boot(target, options, guest, work)
        report = options.report / target.name if options.report else None
        row = verdict.row(target, results, options, report)
        terminal.show_commands(results, options, f"{target.name}: ")
        if row.verdict != "pass":
            say(f"{target.name}: {row.verdict}: {row.why}")
        if report:
            files.publish(results, report)
        rows.append(row)
    print("\n".join(terminal.table(rows)))
    return rows


def bench_boards(options: Options, guest: Guest, work: Path) -> int:
    """--bench: each board booted again and again; 0 only when every boot
    gave the good run."""
    runs = []
    for target in options.targets:
        boots, good = [], 0
        for _ in range(options.bench):
            shutil.rmtree(work / target.name, ignore_errors=True)
            results = boot(target, options, guest, work)
            boots.append(results.boot)
            good += results.output == GOOD_RUN and results.status == 0
        runs.append((target.board.name, target.arch, boots, good))
    print("\n".join(bench.table(runs)))
    return 0 if all(good == len(boots) for *_, boots, good in runs) else 1
