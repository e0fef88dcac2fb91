# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 The msgs_iic authors

"""The report folder: a file for each thing a run left, so that two runs
can be compared and a failure looked into."""

from pathlib import Path

from ..runs import bus
from ..runs.marks import Results, kept_bytes

# What a report holds; a report folder loses these names and nothing else.
REPORT_FILES = ("output", "stderr", "status", "centiseconds", "before",
                "after", "failed", "console", "trace", "bus.vcd", "bus.txt",
                "eeprom", "kernel", "packages", "wall", "error", "error.log", "lava",
                "board", "bytes", "restore")


def error_log(results: Results) -> str:
    """The end of the console and the transport's own messages."""
    run = results.run
    tail = "\n".join(run.console.splitlines()[-20:])
    return (f"==> console <==\n{tail}\n\n==> {run.via.split(' ')[0]}'s "
            f"messages <==\n{run.messages}")


def files(results: Results) -> dict[str, bytes]:
    """The report's files, by name: what a board under QEMU adds (its trace
    and packages), and what a real one does (what it said of itself, and
    what msgs_iic_on did with the bytes)."""
    run = results.run
    found = {"console": run.console.encode(), "kernel": f"{run.kernel}\n".encode(),
             "wall": f"{run.wall}\n".encode()}
    if run.trace_style != "none":
        found["trace"] = "".join(f"{line}\n" for line in results.trace).encode()
        found["packages"] = run.packages.encode()
    if run.facts:
        found["board"] = "".join(f"{key} {value}\n"
                                 for key, value in run.facts.items()).encode()
    kept = kept_bytes(results.stderr)
    if kept.line:
        found["restore"] = f"{kept.line}\n".encode()
        found["bytes"] = f"before {kept.before}\nafter {kept.after}\n".encode()
    if results.vcd is not None:
        found["bus.vcd"] = results.vcd.encode()
    if results.error is not None:
        # A run that did not finish: what it got, and no empty files.
        found["error"] = f"{results.error}\n".encode()
        found["error.log"] = error_log(results).encode()
        return {name: content for name, content in found.items() if content}
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
    run = results.run
    folder.mkdir(parents=True, exist_ok=True)
    for name in REPORT_FILES:
        (folder / name).unlink(missing_ok=True)
    for name, content in written.items():
        (folder / name).write_bytes(content)
    if "bus.vcd" in written:
        text = "".join(f"{line}\n" for line in bus.decode(folder / "bus.vcd"))
    elif run.trace_style not in ("none", "lines") and "trace" in written:
        text = (f"no waveform: QEMU models {run.board}'s I2C controller "
                f"({run.driver}) byte by byte, so its trace has no SDA and "
                "SCL lines\n")
    else:
        return   # no trace, or one that came to nothing
    if text:
        (folder / "bus.txt").write_text(text)
