# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 The msgs_iic authors

"""The report folder: a file for each thing a run left, so that two runs
can be compared and a failure looked into."""

from pathlib import Path

from ..runs import bus
from ..runs.marks import Results

# What a report holds; a report folder loses these names and nothing else.
REPORT_FILES = ("output", "stderr", "status", "centiseconds", "before",
                "after", "failed", "console", "trace", "bus.vcd", "bus.txt",
                "eeprom", "kernel", "packages", "wall", "error", "error.log", "lava")


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
