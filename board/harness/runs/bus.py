# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 The msgs_iic authors

"""What QEMU's trace shows of the bus: its I2C events, the SDA and SCL
lines as a waveform, sigrok's decoding of them, and a picture."""

import os
import re
import subprocess
import tempfile
from collections.abc import Sequence
from pathlib import Path

from ..host.progress import LOG, Stop, beside, shown

STEP_US = 5   # the trace has no clock: a change every 5 us, a 100 kHz bus
GAP_US = 50   # idle bus between two transactions
I2C_CLASSES = ("start:repeat-start:stop:ack:nack:address-read:address-write:"
               "data-read:data-write:warnings")
# sigrok's annotations, shortened for the picture.
SHORT = ((r"^Start repeat$", "Sr"), (r"^Start$", "S"), (r"^Stop$", "P"),
         (r"^ACK$", "A"), (r"^NACK$", "N"), (r"^Address write: (.*)", r"\1 W"),
         (r"^Address read: (.*)", r"\1 R"), (r"^Data (read|write): ", ""))

Level = tuple[int, int]   # SCL, SDA
LINES = re.compile(r"bitbang_i2c_data clk (\d) dat (\d) out \d -> (\d)")


def cut_trace(trace: Sequence[str], first: bool, last: bool) -> tuple[str, ...]:
    """QEMU's I2C events without /init's own transactions: the chip's load
    (the first) and its read of the whole chip (the last)."""
    events = [line for line in trace if line.startswith("i2c_")]
    starts = [n for n, e in enumerate(events) if e.startswith("i2c_event start(")]
    finishes = [n for n, e in enumerate(events)
                if e.startswith("i2c_event finish(")]
    begin = finishes[0] + 1 if first and finishes else 0
    end = starts[-1] if last and starts else len(events)
    return tuple(events[begin:end])


def transactions(trace: Sequence[str]) -> list[list[Level]]:
    """The bus's levels from QEMU's bitbang_i2c_data events ("clk C dat D
    out O -> N": C and D as the controller drives them, N what the EEPROM
    drives on SDA), a list of changes from each START to its STOP. The bus
    is open-drain: SDA is D and N."""
    found: list[list[Level]] = []
    scl, sda, busy = 1, 1, False
    for line in trace:
        event = LINES.match(line)
        if not event:
            continue
        level = (int(event[1]), int(event[2]) & int(event[3]))
        if level == (scl, sda):
            continue
        if level[0] and scl and sda and not level[1] and not busy:
            found.append([])
            busy = True
        if busy:
            found[-1].append(level)
        if level[0] and scl and not sda and level[1]:
            busy = False
        scl, sda = level
    return found


def wire_vcd(board: str, trace: Sequence[str], first: bool,
             last: bool) -> str | None:
    """SCL and SDA as a Value Change Dump, without /init's own transactions;
    None where the trace shows none at all."""
    changes = transactions(trace)
    if not changes:
        return None
    changes = changes[int(first):len(changes) - int(last)]
    out = ["$comment",
           f"  SCL and SDA of the bus that {board}'s guest sees as "
           "/dev/i2c-0, from",
           "  QEMU's bitbang_i2c_data trace events. The trace carries no "
           "clock: each",
           f"  change is laid {STEP_US} us after the one before (about a "
           "100 kHz bus), and",
           f"  {GAP_US} us of idle bus separate the transactions.",
           "$end", "$timescale 1us $end", "$scope module i2c $end",
           "$var wire 1 ! scl $end", '$var wire 1 " sda $end',
           "$upscope $end", "$enddefinitions $end",
           "#0", "$dumpvars", "1!", '1"', "$end"]
    time, scl, sda = 0, 1, 1
    for transaction in changes:
        time += GAP_US
        for level in transaction:
            time += STEP_US
            out.append(f"#{time}")
            if level[0] != scl:
                out.append(f"{level[0]}!")
            if level[1] != sda:
                out.append(f'{level[1]}"')
            scl, sda = level
    out.append(f"#{time + GAP_US}")
    return "\n".join(out) + "\n"


def decode(vcd: Path, *options: str) -> list[str]:
    """sigrok's I2C decoder on the waveform: one annotation a line."""
    done = subprocess.run(["sigrok-cli", "-I", "vcd", "-i", vcd, "-P",
                           "i2c:scl=scl:sda=sda", "-A", f"i2c={I2C_CLASSES}",
                           *options], capture_output=True, text=True,
                          check=True)
    return [line.replace("i2c-1: ", "", 1) for line in done.stdout.splitlines()]


def vcd_levels(vcd: str) -> list[str]:
    """The waveform as gnuplot's steps: time, SCL, SDA at each time."""
    rows, time, scl, sda = [], "0", "1", "1"
    for line in vcd.splitlines():
        if line.startswith("#"):
            rows.append(f"{time} {scl} {sda}")
            time = line[1:]
        elif line in ("0!", "1!"):
            scl = line[0]
        elif line in ('0"', '1"'):
            sda = line[0]
    return rows[1:] + [f"{time} {scl} {sda}"]


def labels(annotations: list[str]) -> list[tuple[int, int, list[str]]]:
    """The first two transactions' span and labels, from annotations with
    sample numbers ("FROM-TO TEXT")."""
    found: list[tuple[int, int, list[str]]] = []
    for annotation in annotations:
        span, _, text = annotation.partition(" ")
        start, end = (int(n) for n in span.split("-"))
        if text == "Start":
            found.append((start, start, []))
        if not found or len(found) > 2 or text in ("Write", "Read"):
            continue
        for pattern, short in SHORT:
            text = re.sub(pattern, short, text)
        begin, stop, texts = found[-1]
        texts.append(f'{(start + end) // 2} "{text}"')
        found[-1] = (begin, end if text == "P" else stop, texts)
    return found[:2]


def draw(board: str, vcd: Path, png: Path) -> None:
    """The program's write and read, a panel each: SCL and SDA, with the
    decoded conditions and bytes above them."""
    spans = labels(decode(vcd, "--protocol-decoder-samplenum"))
    if len(spans) < 2:
        raise Stop("--picture: fewer than two transactions on the bus")
    with tempfile.TemporaryDirectory() as scratch:
        folder = Path(scratch)
        (folder / "lines").write_text("\n".join(vcd_levels(vcd.read_text())) + "\n")
        script = [
            "set terminal pngcairo size 1800,640 font 'DejaVu Sans,11'",
            f"set output '{beside(png)}'", "set termoption noenhanced",
            f'set multiplot layout 2,1 title "msgs_iic on {board}: its write, '
            "then its read, as SCL and SDA carry them\" font ',13'",
            "set yrange [-0.5:4.2]; set ytics ('SDA' 0.4, 'SCL' 1.9) nomirror;"
            " set xtics nomirror", "unset key; set border 1",
            "set xlabel 'µs (the trace has no clock: one change every 5 µs)'"]
        for n, (begin, end, texts) in enumerate(spans, 1):
            (folder / f"labels{n}").write_text("\n".join(texts) + "\n")
            script += [
                f"set xrange [{begin - 20}:{end + 20}]",
                f"plot '{folder}/lines' using 1:($2 * 0.8 + 1.5) with steps "
                "lw 2 lc rgb '#1f5fa8', \\",
                "     '' using 1:($3 * 0.8) with steps lw 2 lc rgb '#b8401f', \\",
                f"     '{folder}/labels{n}' using 1:(3.1):2 with labels font ',10'"]
        script.append("unset multiplot")
        (folder / "plot").write_text("\n".join(script) + "\n")
        with LOG.open("a") as log:
            if subprocess.run(["gnuplot", folder / "plot"], stdout=log,
                              stderr=log).returncode != 0:
                beside(png).unlink(missing_ok=True)
                raise Stop(f"gnuplot failed: see {shown(LOG)}")
        os.replace(beside(png), png)
