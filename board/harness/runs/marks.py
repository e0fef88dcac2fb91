# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 The msgs_iic authors

"""A run's results, read off the marks that the board writes as it runs:
base64 sections for what was printed, a line each for the rest."""

import base64
import dataclasses
import re
from dataclasses import dataclass
from pathlib import Path

from . import bus
from ..guest import image
from ..host.progress import shown
from ..options import Options
from .console import Ending


@dataclass(frozen=True)
class Run:
    """What one run on a board left behind, however the board was reached:
    booted under QEMU, or over SSH."""
    name: str                 # the row's: vexpress, raspi3b-arm64, root@board
    board: str                # the table's board: vexpress, or an address
    title: str                # how the summary names it
    driver: str               # the I2C controller's driver
    arch: str                 # the program's architecture
    kernel: str
    seconds: float            # from the boot's or the session's start to its end
    console: str              # the board's marks and what came with them
    console_log: Path
    ending: Ending
    via: str = ""             # what reached the board: "QEMU 10.0.2", "SSH"
    messages: str = ""        # the transport's own: QEMU's, or ssh's
    packages: str = ""        # NAME VERSION of each Debian package it used
    trace: tuple[str, ...] = ()   # QEMU's trace, as it wrote it
    trace_style: str = "none"     # what that trace shows (a board's trace)
    # What a real board said of itself: its adapter, the user, the host.
    facts: dict[str, str] = dataclasses.field(default_factory=dict)

    @property
    def wall(self) -> int:
        return round(self.seconds)


@dataclass(frozen=True)
class Results:
    run: Run
    trace: tuple[str, ...]    # QEMU's I2C events without /init's own
    vcd: str | None           # the bus's lines, where QEMU traces them
    error: str | None         # why the run did not finish
    output: bytes | None = None   # None: the program did not run
    stderr: bytes = b""
    # What each guest command printed, in order: the --before ones, and
    # board/run's checks, then the --after ones.
    before_each: tuple[bytes, ...] = ()
    after_each: tuple[bytes, ...] = ()
    status: int | None = None
    centiseconds: int | None = None
    eeprom: bytes | None = None
    failed: bytes | None = None   # the guest command that ended its step
    # Which that was: "before", "after" or "check" (board/run's own), and
    # its number among them.
    failed_at: tuple[str, int] | None = None
    lava: tuple[str, ...] = ()    # LAVA's test case signals, as sent

    @property
    def before(self) -> bytes:
        return b"".join(self.before_each)

    @property
    def after(self) -> bytes:
        return b"".join(self.after_each)


@dataclass(frozen=True)
class Kept:
    """What msgs_iic_on said of the eight bytes it kept: its line, and the
    bytes before the test and after the restore, as "a0 a1 ..."."""
    line: str = ""
    before: str = ""
    after: str = ""


BYTES = r"((?:[0-9a-f]{2} ){7}[0-9a-f]{2})"


def kept_bytes(stderr: bytes) -> Kept:
    """msgs_iic_on's last line on the bytes, where it said one."""
    for line in reversed(stderr.decode(errors="replace").splitlines()):
        text = line.removeprefix("msgs_iic_on: ")
        same = (re.match(rf"kept the 8 bytes at 0x10 .*: {BYTES}$", text)
                or re.match(rf"the restore changed nothing: .*as found \({BYTES}\)",
                            text))
        if same:
            return Kept(text, same.group(1), same.group(1))
        failed = re.match(rf"the restore failed: the 8 bytes at 0x10 were "
                          rf"{BYTES}, and read back ({BYTES}|nothing);", text)
        if failed:
            return Kept(text, failed.group(1), failed.group(2))
        if text.startswith("nothing answered the read"):
            return Kept(text)
    return Kept()


def section(console: str, name: str) -> bytes:
    """What the guest printed between markers, base64 on the console."""
    found = re.search(rf"^@@begin {name}\n(.*?)^@@end {name}$", console,
                      re.M | re.S)
    return base64.b64decode(found.group(1)) if found else b""


def field(console: str, name: str) -> str | None:
    found = re.search(rf"^@@{name} (.*)$", console, re.M)
    return found.group(1) if found else None


def unfinished(run: Run, timeout: int) -> str:
    """Why the run did not finish: what was expected, what was seen, and
    where the console is."""
    ending = run.ending
    where = f"console: {shown(run.console_log)}"
    if ending.kind == "fail":
        return f"the run on the board failed: {ending.line} ({where})"
    why = {"timeout": f"timed out after {timeout} s: the board did not boot "
                      "or hung",
           "stopped": "the connection to the board ended before the run "
                      "finished" if run.via == "SSH" else
                      "the board stopped before the run finished"}
    seen = f"last saw '{ending.line}'" if ending.line else "saw nothing"
    return f"{why[ending.kind]} (expected the board's @@done, {seen}; {where})"


def each(console: str, step: str) -> tuple[bytes, ...]:
    """What each command of a step printed, in the order they ran."""
    numbers = sorted(int(n) for n in re.findall(
        rf"^@@begin {step}\.(\d+)$", console, re.M))
    return tuple(section(console, f"{step}.{n:03d}") for n in numbers)


def failed_command(console: str, options: Options
                   ) -> tuple[bytes, tuple[str, int]] | None:
    """The guest command that ended its step, what it printed, and which
    it was: one of the --before or --after commands, or one of board/run's
    own checks."""
    found = field(console, "failed")
    if found is None:
        return None
    step, status, number = found.split()
    n = int(number)
    printed = section(console, f"{step}.{n:03d}")
    if step == "after" and n <= len(options.checks):
        return (f"board/run's check failed with exit status {status}: "
                f"{options.checks[n - 1]}\n").encode() + printed, ("check", n)
    if step == "after":
        n -= len(options.checks)
    commands = options.before if step == "before" else options.after
    text = f"--{step} command {n} failed with exit status {status}"
    if step == "before":
        text += ", so msgs_iic did not run"
    return f"{text}: {commands[n - 1]}\n".encode() + printed, (step, n)


def collect(run: Run, options: Options) -> Results:
    # /init's own transfers: the load of a writable chip, the last read.
    first = image.loaded_over_bus(options)
    last = options.eeprom
    trace = bus.cut_trace(run.trace, first, last)
    vcd = (bus.wire_vcd(run.board, run.trace, first, last)
           if run.trace_style == "lines" else None)
    if run.ending.kind != "done":
        return Results(run, trace, vcd, unfinished(run, options.timeout))
    console = run.console
    status = field(console, "status")
    ran = status is not None
    eeprom = section(console, "eeprom").decode().replace("0x", "")
    failed = failed_command(console, options)
    return Results(
        run, trace, vcd, None,
        output=section(console, "output") if ran else None,
        stderr=section(console, "stderr"),
        before_each=each(console, "before"), after_each=each(console, "after"),
        status=int(status) if status is not None else None,
        centiseconds=int(field(console, "centiseconds") or 0) if ran else None,
        eeprom=bytes.fromhex(eeprom) if "@@begin eeprom" in console else None,
        failed=failed[0] if failed else None,
        failed_at=failed[1] if failed else None,
        lava=tuple(re.findall(r"^<LAVA_SIGNAL_TESTCASE [^>]*>$", console, re.M)))
