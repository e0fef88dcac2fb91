# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 The msgs_iic authors

"""A run's results, read off the marks that the board writes as it runs:
base64 sections for what was printed, a line each for the rest."""

import base64
import re
from dataclasses import dataclass
from pathlib import Path

from . import bus
from ..boards import Board
from ..host.progress import shown
from ..options import Options
from .console import Ending


@dataclass(frozen=True)
class Boot:
    """What one boot of a board left behind."""
    board: Board
    arch: str                 # the program's architecture
    kernel: str
    packages: str             # NAME VERSION of each Debian package it used
    seconds: float            # from QEMU's start to its end
    console: str
    console_log: Path
    trace: tuple[str, ...]    # QEMU's trace, as it wrote it
    qemu_err: str
    ending: Ending

    @property
    def wall(self) -> int:
        return round(self.seconds)


@dataclass(frozen=True)
class Results:
    boot: Boot
    trace: tuple[str, ...]    # QEMU's I2C events without /init's own
    vcd: str | None           # the bus's lines, where QEMU traces them
    error: str | None         # why the run did not finish
    before: bytes = b""
    output: bytes | None = None   # None: the program did not run
    stderr: bytes = b""
    after: bytes = b""
    # What each guest command printed, in order: the --before ones, and
    # board/run's checks, then the --after ones.
    before_each: tuple[bytes, ...] = ()
    after_each: tuple[bytes, ...] = ()
    status: int | None = None
    centiseconds: int | None = None
    eeprom: bytes | None = None
    failed: bytes | None = None   # the guest command that ended its step
    lava: tuple[str, ...] = ()    # LAVA's test case signals, as sent


def section(console: str, name: str) -> bytes:
    """What the guest printed between markers, base64 on the console."""
    found = re.search(rf"^@@begin {name}\n(.*?)^@@end {name}$", console,
                      re.M | re.S)
    return base64.b64decode(found.group(1)) if found else b""


def field(console: str, name: str) -> str | None:
    found = re.search(rf"^@@{name} (.*)$", console, re.M)
    return found.group(1) if found else None


def unfinished(boot: Boot, timeout: int) -> str:
    """Why the run did not finish: what was expected, what was seen, and
    where the console is."""
    ending = boot.ending
    where = f"console: {shown(boot.console_log)}"
    if ending.kind == "fail":
        return f"the run on the board failed: {ending.line} ({where})"
    why = {"timeout": f"timed out after {timeout} s: the board did not boot "
                      "or hung",
           "stopped": "the board stopped before the run finished"}
    seen = f"last saw '{ending.line}'" if ending.line else "saw nothing"
    return f"{why[ending.kind]} (expected /init's @@done, {seen}; {where})"


def each(console: str, step: str) -> tuple[bytes, ...]:
    """What each command of a step printed, in the order they ran."""
    numbers = sorted(int(n) for n in re.findall(
        rf"^@@begin {step}\.(\d+)$", console, re.M))
    return tuple(section(console, f"{step}.{n:03d}") for n in numbers)


def failed_command(console: str, options: Options) -> bytes | None:
    """The guest command that ended its step, and what it printed: one of
    the --before or --after commands, or one of board/run's own checks."""
    found = field(console, "failed")
    if found is None:
        return None
    step, status, number = found.split()
    n = int(number)
    printed = section(console, f"{step}.{n:03d}")
    if step == "after" and n <= len(options.checks):
        return (f"board/run's check failed with exit status {status}: "
                f"{options.checks[n - 1]}\n").encode() + printed
    if step == "after":
        n -= len(options.checks)
    commands = options.before if step == "before" else options.after
    text = f"--{step} command {n} failed with exit status {status}"
    if step == "before":
        text += ", so msgs_iic did not run"
    return f"{text}: {commands[n - 1]}\n".encode() + printed


def collect(boot: Boot, options: Options) -> Results:
    # /init's own transfers: the load of a writable chip, the last read.
    first = options.eeprom and not options.write_protect
    last = options.eeprom
    trace = bus.cut_trace(boot.trace, first, last)
    vcd = (bus.wire_vcd(boot.board.name, boot.trace, first, last)
           if boot.board.trace == "lines" else None)
    if boot.ending.kind != "done":
        return Results(boot, trace, vcd, unfinished(boot, options.timeout))
    console = boot.console
    status = field(console, "status")
    ran = status is not None
    eeprom = section(console, "eeprom").decode().replace("0x", "")
    before, after = each(console, "before"), each(console, "after")
    return Results(
        boot, trace, vcd, None, before=b"".join(before),
        output=section(console, "output") if ran else None,
        stderr=section(console, "stderr"), after=b"".join(after),
        before_each=before, after_each=after,
        status=int(status) if status is not None else None,
        centiseconds=int(field(console, "centiseconds") or 0) if ran else None,
        eeprom=bytes.fromhex(eeprom) if options.eeprom else None,
        failed=failed_command(console, options),
        lava=tuple(re.findall(r"^<LAVA_SIGNAL_TESTCASE [^>]*>$", console, re.M)))
