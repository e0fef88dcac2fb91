# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 The msgs_iic authors

"""What is printed and reported of a run's results."""

import re
import sys
from pathlib import Path

from . import bus
from .host import Stop, say
from .results import Results

# What a report holds; a report folder loses these names and nothing else.
REPORT_FILES = ("output", "stderr", "status", "centiseconds", "before",
                "after", "failed", "console", "trace", "bus.vcd", "bus.txt",
                "eeprom", "kernel", "packages", "wall", "error", "error.log", "lava")


def guest_seconds(results: Results) -> str:
    cs = results.centiseconds
    return "-" if cs is None else f"{cs // 100}.{cs % 100:02d}"


def error_log(results: Results) -> str:
    """The end of the console and QEMU's own messages."""
    tail = "\n".join(results.boot.console.splitlines()[-20:])
    return (f"==> console <==\n{tail}\n\n==> QEMU's messages <==\n"
            f"{results.boot.qemu_err}")


def files(results: Results) -> dict[str, bytes]:
    """The report's files, by name."""
    boot = results.boot
    lines = "".join(f"{line}\n" for line in results.trace)
    found = {"console": boot.console.encode(), "trace": lines.encode(),
             "kernel": f"{boot.kernel}\n".encode(),
             "packages": boot.packages.encode(),
             "wall": f"{boot.wall}\n".encode()}
    if results.vcd is not None:
        found["bus.vcd"] = results.vcd.encode()
    if results.error is not None:
        found["error"] = f"{results.error}\n".encode()
        found["error.log"] = error_log(results).encode()
        return found
    found["before"] = results.before
    if results.output is not None:
        found.update(output=results.output, stderr=results.stderr,
                     after=results.after,
                     status=f"{results.status}\n".encode(),
                     centiseconds=f"{results.centiseconds}\n".encode())
    if results.eeprom is not None:
        found["eeprom"] = results.eeprom
    if results.failed is not None:
        found["failed"] = results.failed
    if results.lava:
        found["lava"] = "".join(f"{line}\n" for line in results.lava).encode()
    return found


def publish(results: Results, folder: Path) -> None:
    written = files(results)
    board = results.boot.board
    folder.mkdir(parents=True, exist_ok=True)
    for name in REPORT_FILES:
        (folder / name).unlink(missing_ok=True)
    for name, content in written.items():
        (folder / name).write_bytes(content)
    if "bus.vcd" in written:
        text = "\n".join(bus.decode(folder / "bus.vcd")) + "\n"
    else:
        text = (f"no waveform: QEMU models {board.name}'s I2C controller "
                f"({board.module}) byte by byte, so its trace has no SDA and "
                "SCL lines\n")
    (folder / "bus.txt").write_text(text)


def show(results: Results, qemu_version: str) -> None:
    """One board's run as a person reads it: the program's output on stdout
    as it printed it, its stderr and a summary on stderr, then a failed
    guest command. A run that did not finish ends board/run here."""
    boot = results.boot
    if results.error is not None:
        print(error_log(results), file=sys.stderr)
        raise Stop(results.error)
    if results.output is not None:
        sys.stdout.buffer.write(results.output)
        sys.stdout.flush()
        sys.stderr.buffer.write(results.stderr)
        sys.stderr.flush()
        say(f"{boot.board.name} ({boot.board.stands_for}), Linux "
            f"{boot.kernel}, QEMU {qemu_version}")
        program = "" if boot.arch == "armhf" else f" for {boot.arch}"
        say(f"msgs_iic{program} exit status {results.status}, "
            f"{guest_seconds(results)} s in the guest, {boot.wall} s wall "
            "time for the board")
    if results.lava:
        say(f"LAVA test cases: {lava_summary(results.lava)}")
    if results.failed is not None:
        head, _, rest = results.failed.partition(b"\n")
        say(head.decode(errors="replace"))
        sys.stderr.buffer.write(rest)
        sys.stderr.flush()


def exit_status(results: Results) -> int:
    """board/run's exit status for one board: the program's, or 2 after a
    failed guest command."""
    if results.failed is not None or results.status is None:
        return 2
    return results.status


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
