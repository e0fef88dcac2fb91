# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 The msgs_iic authors

"""What a person sees of a run: the program's lines on standard output as
it printed them; on standard error, what the guest's commands printed,
set apart, a summary, and the verdict; for several boards, a table."""

import re
import sys

from ..host.progress import say
from ..options import Options
from ..runs.marks import Results
from .files import error_log
from .verdict import Row

INDENT = b"  "


def guest_seconds(results: Results) -> str:
    cs = results.centiseconds
    return "-" if cs is None else f"{cs // 100}.{cs % 100:02d}"


def indented(text: bytes) -> None:
    """A guest command's output, each line indented under its heading."""
    for line in text.splitlines(keepends=True):
        sys.stderr.buffer.write(INDENT + line if line.strip() else line)
    if text and not text.endswith(b"\n"):
        sys.stderr.buffer.write(b"\n")
    sys.stderr.flush()


def show_commands(results: Results, options: Options, who: str = "") -> None:
    """Each --before and --after command that printed something, under a
    line that names it (after who: the board, where there are several);
    the one that failed under the line that says so. board/run's own
    checks are left out."""
    failed, rest = (results.failed or b"").partition(b"\n")[::2]
    after = results.after_each[len(options.checks):]
    for step, commands, printed in (("before", options.before, results.before_each),
                                    ("after", options.after, after)):
        for n, (command, text) in enumerate(zip(commands, printed), 1):
            if results.failed_at == (step, n):
                say(who + failed.decode(errors="replace"))
            elif text:
                say(f"{who}--{step} command {n}: {command}")
            else:
                continue
            indented(text)
    if results.failed_at is not None and results.failed_at[0] == "check":
        say(who + failed.decode(errors="replace"))
        indented(rest)


def show(results: Results, row: Row, options: Options) -> None:
    """One board's run as a person reads it, whole even where it failed."""
    run = results.run
    if results.output is not None:
        sys.stdout.buffer.write(results.output)
        sys.stdout.flush()
        sys.stderr.buffer.write(results.stderr)
        sys.stderr.flush()
    show_commands(results, options)
    if results.output is not None:
        say(f"{run.title}, Linux {run.kernel}, {run.via}")
        program = (f"msgs_iic_on -y {options.eeprom_bus}" if options.keep
                   else f"msgs_iic from {options.program_root}"
                   if options.program_root else "msgs_iic")
        if run.arch != "armhf":
            program += f" for {run.arch}"
        say(f"{program} exit status {results.status}, "
            f"{guest_seconds(results)} s on the board, {run.wall} s wall "
            "time for the run")
    if results.lava:
        say(f"LAVA test cases: {lava_summary(results.lava)}")
    if results.error is not None:
        print(error_log(results), file=sys.stderr)
        say(results.error)
    elif row.verdict == "pass":
        say("pass: the good run, exit status 0")
    elif row.verdict == "fail":
        say(f"fail: {row.why}")


def lava_summary(signals: tuple[str, ...]) -> str:
    """LAVA's test case signals as a person reads them: "open pass, ...,
    time pass (2.08 seconds)"."""
    cases = []
    for signal in signals:
        fields = dict(re.findall(r"(\w+)=(\S+?)(?= \w+=|>)", signal))
        case = f"{fields.get('TEST_CASE_ID')} {fields.get('RESULT')}"
        if "MEASUREMENT" in fields:
            case += f" ({fields['MEASUREMENT']} {fields.get('UNITS', '')})"
        cases.append(case)
    return ", ".join(cases)


def table(rows: list[Row]) -> list[str]:
    """--board all's table, or --ssh's: a row for each board and program,
    its columns as wide as their widest cell."""
    cells = [["board", "program", "kernel", "driver", "verdict", "guest", "wall"]]
    for row in rows:
        cells.append([row.board, row.arch or "-", row.kernel or "-",
                      row.driver or "-", row.verdict,
                      "-" if row.seconds is None else f"{row.seconds:.2f} s",
                      f"{row.wall} s"])
    widths = [max(len(line[n]) for line in cells) for n in range(len(cells[0]))]
    return ["  ".join(cell.ljust(width) for cell, width in zip(line, widths)
                      ).rstrip() for line in cells]
