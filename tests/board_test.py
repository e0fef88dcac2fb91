# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 The msgs_iic authors

"""msgs_iic on the emulated ARM boards, through the real kernel I2C stack:
board/run as a person runs it, judged by the reports it writes."""

import gzip
import hashlib
import http.server
import json
import os
import pty
import re
import shutil
import signal
import socket
import subprocess
import time
import urllib.error
import urllib.request
import xml.etree.ElementTree as ElementTree
from collections.abc import Iterator
from contextlib import AbstractContextManager
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import pytest

from harness import boards
from harness.cli.modes import programs
from harness.cli.parse import parse
from harness.farm import dispatch, lab
from harness.guest import cache
from harness.guest.image import Sshd
from harness.guest.packages import fetch_guest
from harness.host.progress import TOP
from harness.host.tools import host_tools
from harness.options import Options
from harness.runs import qemu, snapshot
from harness_test import decoded_read, decoded_write

HELLO = "hello,this is I2C_RDWR i2c test \n"
PATTERN = [f"0x{n:02x}" for n in range(8)]
READ_BACK = "i2ctransfer -y 0 w1@0x50 0x10 r8"
AT24 = ("echo 24c02 0x50 >/sys/bus/i2c/devices/i2c-0/new_device &&\n"
        "dd if=/sys/bus/i2c/devices/0-0050/eeprom bs=8 skip=2 count=1 "
        "2>/dev/null | od -An -tx1")


def dump(*values: int) -> str:
    return "".join(f"rd_buf is :{value}\n" for value in values)


GOOD = HELLO + dump(*range(8))
NO_BUS = HELLO + "I2C_RDWR err \nI2C_RDWR err \n" + dump(*[0] * 8)


def image(path: Path, first: int, size: int = 256) -> Path:
    """An EEPROM image whose byte i is (first + i) modulo 256."""
    path.write_bytes(bytes((first + i) % 256 for i in range(size)))
    return path


@dataclass(frozen=True)
class Run:
    status: int
    stdout: str
    stderr: str
    report: Path

    def read(self, name: str) -> str:
        return (self.report / name).read_text()


def run_board(tmp_path: Path, *args: str, top: Path = TOP,
              env: dict[str, str] | None = None) -> Run:
    """board/run with a report; the rest of what it did is kept."""
    report = tmp_path / "report"
    done = subprocess.run([top / "board" / "run", "--report", report, *args],
                          capture_output=True, text=True,
                          env={**os.environ, **(env or {})})
    return Run(done.returncode, done.stdout, done.stderr, report)


def check_ran(folder: Path, output: str) -> None:
    """The program ran, printed this, exited 0 and wrote no stderr."""
    assert (folder / "status").exists(), "the program did not run"
    assert (folder / "output").read_text() == output
    assert (folder / "status").read_text() == "0\n"
    assert (folder / "stderr").read_text() == ""


def centiseconds(folder: Path) -> int:
    return int((folder / "centiseconds").read_text())


def trace_write(*data: str) -> list[str]:
    return ["i2c_event start(addr:0x50)",
            *(f"i2c_send send(addr:0x50) data:{byte}" for byte in data),
            "i2c_event finish(addr:0x50)"]


def trace_read(style: str, word: str, *data: str) -> list[str]:
    """An address write followed by a read, as each board's model traces it:
    a byte-level model with "bytes-stop" logs a finish at the message
    boundary whatever the driver does; only "lines" and
    "bytes-restart-nack" log the NACK of the last byte."""
    return ["i2c_event start(addr:0x50)",
            f"i2c_send send(addr:0x50) data:{word}",
            *(["i2c_event finish(addr:0x50)"] if style == "bytes-stop" else []),
            "i2c_event start_async(addr:0x50)",
            *(f"i2c_recv recv(addr:0x50) data:{byte}" for byte in data),
            *(["i2c_event nack(addr:0x50)"]
              if style in ("lines", "bytes-restart-nack") else []),
            "i2c_event finish(addr:0x50)"]


@pytest.fixture(scope="module")
def every_board(tmp_path_factory: pytest.TempPathFactory) -> Iterator[Run]:
    """The good run on every board, each EEPROM starting with other bytes
    at 0x10 (0xb0 to 0xb7); the kernel's at24 driver reads them back too."""
    folder = tmp_path_factory.mktemp("all")
    yield run_board(folder, "--board", "all", "--eeprom-image",
                    str(image(folder / "image", 0xa0)), "--after", AT24)


# Each board, its program's architecture, and what QEMU's trace shows of
# its bus.
TARGETS = [("vexpress", "armhf", "lines"), ("sabrelite", "armhf", "bytes-stop"),
           ("raspi2b", "armhf", "bytes-stop"), ("raspi3b", "armhf", "bytes-stop"),
           ("raspi3b", "arm64", "bytes-stop"),
           ("ast2600-evb", "armhf", "bytes-restart-nack"),
           ("orangepi-pc", "armhf", "bytes-restart")]


def test_every_board_has_a_row() -> None:
    every = parse(["--board", "all"])
    assert isinstance(every, Options)
    assert TARGETS == [(t.board.name, t.arch, t.board.trace)
                       for t in every.targets]


@pytest.mark.parametrize("board, arch, style", TARGETS)
def test_good_run(every_board: Run, board: str, arch: str, style: str) -> None:
    folder = every_board.report / (board if arch == "armhf" else f"{board}-{arch}")
    check_ran(folder, GOOD)
    assert every_board.status == 0
    assert (folder / "after").read_text() == (
        " ".join(PATTERN) + "\n 00 01 02 03 04 05 06 07\n"), \
        "i2ctransfer, then at24, read 0..7 back"
    written = bytearray((0xa0 + i) % 256 for i in range(256))
    written[0x10:0x18] = bytes(range(8))
    assert (folder / "eeprom").read_bytes() == written, \
        "the chip holds the image with 0..7 at 0x10, nothing else changed"
    assert (folder / "trace").read_text().splitlines() == [
        *trace_write("0x10", *PATTERN),
        *trace_read(style, "0x10", *PATTERN),   # the program's read
        *trace_read(style, "0x10", *PATTERN),   # i2ctransfer's
        *trace_read(style, "0x00", "0xa0"),     # at24's probe
        *trace_read(style, "0x10", *PATTERN)]   # at24's read
    assert 200 <= centiseconds(folder) <= 260, "two one-second pauses"
    bus = (folder / "bus.txt").read_text().splitlines()
    if style == "lines":
        stop = [n for n, line in enumerate(bus) if line == "Stop"][1]
        hexes = [f"{n:02x}" for n in range(8)]
        assert bus[:stop + 1] == [*decoded_write("10", *hexes),
                                  *decoded_read("10", *hexes)], \
            "sigrok decodes the program's two transactions from SDA and SCL"
    else:
        assert bus[0].startswith("no waveform: ")
    rows = [line.split() for line in every_board.stdout.splitlines()]
    assert [row[4] for row in rows if row[:2] == [board, arch]] == ["pass"]


def test_the_table(every_board: Run) -> None:
    lines = every_board.stdout.splitlines()
    assert lines[0].split() == ["board", "program", "kernel", "driver",
                                "verdict", "guest", "wall"]
    assert len(lines) == 1 + len(TARGETS)


@pytest.mark.parametrize("name, after, status, failed", [
    # The check read fails too: the program's output and status are kept,
    # and the failing command is reported.
    ("sabrelite", [READ_BACK], 2,
     f"--after command 1 failed with exit status 1: {READ_BACK}\n"
     "i2ctransfer: I2C_RDWR: Connection timed out\n"),
    ("raspi2b", [], 1, None),
    ("raspi3b", [], 1, None),
    ("ast2600-evb", [], 1, None),
    ("orangepi-pc", [], 1, None),
], ids=["sabrelite", "raspi2b", "raspi3b", "ast2600-evb", "orangepi-pc"])
def test_no_eeprom(tmp_path: Path, name: str, after: list[str], status: int,
                   failed: str | None) -> None:
    run = run_board(tmp_path, "--board", name, "--no-eeprom",
                    *(arg for command in after for arg in ("--after", command)))
    assert run.status == status
    check_ran(run.report, NO_BUS)
    assert run.stdout == NO_BUS, "board/run prints the output"
    assert run.read("trace") == "", "no bus traffic"
    assert centiseconds(run.report) <= 150, "no pause after the failed transfers"
    if failed is None:
        assert not (run.report / "failed").exists()
        assert run.stderr.splitlines()[-1] == (
            "board: fail: line 2 is 'I2C_RDWR err ', where the good run has "
            "'rd_buf is :0'"), "the verdict, and which line differed"
    else:
        assert run.read("failed") == failed
        assert [line for line in run.stderr.splitlines() if "--after" in line] \
            == [f"board: {failed.splitlines()[0]}"], "board/run says so"
        assert f"board: {failed.splitlines()[0]}\n  {failed.splitlines()[1]}\n" \
            in run.stderr, "and what the command printed, under it"


def test_no_i2c_dev(tmp_path: Path) -> None:
    run = run_board(tmp_path, "--no-i2c-dev")
    assert run.status == 1
    check_ran(run.report, HELLO + "open/dev/i2c-0failed \n" + NO_BUS[len(HELLO):])
    assert run.read("trace") == "", "no bus traffic"
    assert centiseconds(run.report) <= 50, "no pause"


def test_write_protect(tmp_path: Path) -> None:
    """Bytes above 127 at 0x10 (0x90 to 0x97), which the write cannot change;
    and the picture of the bus, drawn from this run."""
    chip = image(tmp_path / "image", 0x80)
    original = chip.read_bytes()
    picture = tmp_path / "bus.png"
    run = run_board(tmp_path, "--eeprom-image", str(chip), "--write-protect",
                    "--after", READ_BACK, "--picture", str(picture))
    assert run.status == 1, "the read-back is not 0..7"
    check_ran(run.report, HELLO + dump(*range(144, 152)))
    held = " ".join(f"0x{n:02x}" for n in range(0x90, 0x98))
    assert run.read("after") == held + "\n"
    assert f"board: --after command 1: {READ_BACK}\n  {held}\n" in run.stderr, \
        "what the --after command printed reaches the terminal, set apart"
    assert run.stdout == HELLO + dump(*range(144, 152)), \
        "and standard output is the program's alone"
    assert (run.report / "eeprom").read_bytes() == original, "the chip is unchanged"
    assert chip.read_bytes() == original, "the image file is unchanged"
    png = picture.read_bytes()
    assert png[:24].hex(" ") == ("89 50 4e 47 0d 0a 1a 0a 00 00 00 0d 49 48 44 52 "
                                 "00 00 07 08 00 00 02 80"), \
        "--picture draws a PNG of 1800 by 640 pixels"
    assert 20000 <= len(png) <= 200000


def test_before_fails(tmp_path: Path) -> None:
    command = "i2ctransfer -y 0 w1@0x51 0x00"
    run = run_board(tmp_path, "--board", "raspi3b", "--before", "true",
                    "--before", command)
    assert run.status == 2
    assert [line for line in run.stderr.splitlines() if "--before" in line] == [
        f"board: --before command 2 failed with exit status 1, so msgs_iic did "
        f"not run: {command}"]
    assert run.stdout == ""
    assert not (run.report / "output").exists()
    assert not (run.report / "status").exists()
    assert run.read("failed").split("\n", 1)[1] == \
        "i2ctransfer: I2C_RDWR: Remote I/O error\n"


def qemus_under(folder: Path) -> list[str]:
    """The QEMUs whose command line names something in FOLDER."""
    found = []
    for cmdline in Path("/proc").glob("[0-9]*/cmdline"):
        try:
            line = cmdline.read_bytes().replace(b"\0", b" ").decode(errors="replace")
        except OSError:
            continue
        if "qemu-system" in line and str(folder) in line:
            found.append(line)
    return found


@pytest.mark.parametrize("number, line", [
    (signal.SIGINT, "stopped: interrupted (SIGINT)"),
    (signal.SIGTERM, "stopped: terminated (SIGTERM)"),
    (signal.SIGHUP, "stopped: hung up (SIGHUP)"),
], ids=["SIGINT", "SIGTERM", "SIGHUP"])
def test_stopped_mid_boot(tmp_path: Path, number: int, line: str) -> None:
    """Ctrl-C, a cancelled CI job or a closed terminal while the board
    boots (cold: a restored board would be done before the signal): the
    results and JUnit are written with the row in error and the reason, the
    last line says what ended it, exit status 2, and neither the temporary
    folder nor QEMU is left."""
    scratch = tmp_path / "tmp"
    scratch.mkdir()
    results, junit = tmp_path / "results.json", tmp_path / "junit.xml"
    run = subprocess.Popen(
        [TOP / "board" / "run", "--cold", "--results", results, "--junit", junit],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
        env={**os.environ, "TMPDIR": str(scratch)})
    assert run.stderr is not None
    said: list[str] = []
    while not said or "booting vexpress" not in said[-1]:
        said.append(run.stderr.readline())
        assert said[-1], "".join(said)
    time.sleep(1)
    assert qemus_under(scratch), "QEMU is running"
    run.send_signal(number)
    out, err = run.communicate(timeout=60)
    assert (run.returncode, out, err.splitlines()[-1]) == (2, "", f"board: {line}")
    row = json.loads(results.read_text())["rows"][0]
    assert (row["name"], row["verdict"], row["why"]) == ("vexpress", "error", line)
    suite = ElementTree.parse(junit).getroot()[0]
    error = suite.find("testcase[@name='board']/error")
    assert error is not None and error.text == error.get("message") == line
    assert list(scratch.iterdir()) == [], "no temporary folder left"
    assert qemus_under(scratch) == [], "no QEMU left"


def test_other_bus(tmp_path: Path) -> None:
    """The EEPROM on bus 3 and nothing at 0x50 on bus 0: msgs_iic alone
    fails, msgs_iic_on -y --no-keep 3 gives the good run there (keeping the
    bytes has a test of its own), asks without -y once it has read what the
    chip is, and leaves the guest's /dev as it was."""
    run = run_board(tmp_path, "--board", "ast2600-evb", "--eeprom-bus", "3",
                    "--eeprom-image", str(image(tmp_path / "image", 0xa0)),
                    "--before", "ls -l /dev >/tmp/dev.before",
                    "--after", "msgs_iic_on -y --no-keep 3 2>/tmp/on.err; echo "
                               "status $?; cat /tmp/on.err",
                    "--after", "msgs_iic_on 3 </dev/null; echo status $?",
                    "--after", "ls -l /dev | cmp /tmp/dev.before -")
    assert run.status == 1, "msgs_iic alone fails on bus 0"
    check_ran(run.report, NO_BUS)
    adapter = ("msgs_iic_on: bus 3 (/dev/i2c-3), adapter '1e78a200.i2c-bus'\n"
               "msgs_iic_on: WARNING: msgs_iic writes 8 bytes at 0x10 of "
               "whatever answers at 0x50 on this bus; on a PC that is often a "
               "memory module's SPD EEPROM or a monitor's EDID\n")
    running = "msgs_iic_on: running msgs_iic /bin/msgs_iic\n"
    assert run.read("after") == (
        GOOD + "status 0\n" + adapter + running
        + adapter + running
        + "Continue? [y/N] \nmsgs_iic_on: nothing written\nstatus 2\n")

    def kind(*at_0x08: int) -> list[str]:
        """msgs_iic_on's reads of what the chip is, before anything else."""
        found = [f"0x{byte:02x}" for byte in at_0x08]
        return [*trace_read("bytes-restart-nack", "0x08", *found),
                *trace_read("bytes-restart-nack", "0x10", *found[8:])]
    assert run.read("trace").splitlines() == [
        *kind(*range(0xa8, 0xb8)),
        *trace_write("0x10", *PATTERN),
        *trace_read("bytes-restart-nack", "0x10", *PATTERN),
        *kind(*range(0xa8, 0xb0), *range(8))], \
        "msgs_iic_on's transactions, and nothing of msgs_iic's on bus 0"


# msgs_iic_on cut off mid-run in the guest: by SIGTERM and SIGHUP, which it
# outlives to put the bytes back; by SIGKILL, which leaves the journal for
# the next run; and by a reader that goes away (SIGPIPE). Each is sent once
# msgs_iic has written (the journal is there, and its write's pause over).
SIGNALS = r"""exec 2>/tmp/shell.err
journal=/tmp/msgs_iic/i2c-0
i2ctransfer -y 0 w1@0x50 0x00 r256 >/tmp/chip
same() {
    i2ctransfer -y 0 w1@0x50 0x00 r256 | cmp -s /tmp/chip - &&
        echo "$1 as found" || echo "$1 changed"
}
written() {
    n=0
    until [ -e $journal ] || [ $n -gt 50 ]; do usleep 100000; n=$((n + 1)); done
    usleep 1500000
}
for sig in TERM HUP KILL; do
    msgs_iic_on -y 0 >/dev/null 2>/tmp/err & pid=$!
    written; kill -$sig $pid; wait $pid; echo "$sig $?"
    [ $sig = KILL ] && usleep 1500000 && [ -e $journal ] && echo "journal left"
    same $sig
done
msgs_iic_on -y 0 >/dev/null 2>/tmp/err; echo "next $?"; same next
grep -c "put back the 8 bytes at 0x10 that an earlier run left" /tmp/err
[ -e $journal ] || echo "journal gone"
msgs_iic_on -y 0 2>/tmp/err | head -n 1 >/dev/null; same PIPE
grep -c "did not finish: Broken pipe" /tmp/err
"""
KEPT = ("TERM 143\nTERM as found\nHUP 129\nHUP as found\nKILL 137\njournal "
        "left\nKILL changed\nnext 0\nnext as found\n1\njournal gone\nPIPE as "
        "found\n1\n")
# A second msgs_iic_on on the bus while one runs, with a journal of its
# own: refused at once, the first going on to the good run.
TWO = r"""exec 2>/tmp/shell.err
mkdir -m 700 /tmp/own
msgs_iic_on -y 0 >/tmp/first 2>&1 & first=$!
usleep 300000
msgs_iic_on -y --journal /tmp/own/j 0 >/dev/null 2>/tmp/second
echo "second $?"
wait $first; echo "first $?"
tail -n 1 /tmp/second
"""
BUSY = "msgs_iic_on: bus 0 is in use by another msgs_iic_on, pid "
KEEP_LINE = ("kept the 8 bytes at 0x10 and put them back: read back, they match: "
             "b0 b1 b2 b3 b4 b5 b6 b7")
# What reads of a two-byte part at one-byte addresses give under QEMU.
TWO_BYTE = "refused: the chip at 0x50 on bus 0 reads 0xff at all of "


@pytest.mark.parametrize("args, status, output, line, after", [
    ([], 0, GOOD, KEEP_LINE, (SIGNALS, KEPT)),
    (["--write-protect"], 1, HELLO + dump(*range(0xb0, 0xb8)), "the restore "
     "changed nothing: the 8 bytes at 0x10 were still as found (b0 b1 b2 b3 b4 "
     "b5 b6 b7), since nothing had changed them (a write-protected chip, or a "
     "write that failed)", None),
    ([], 0, GOOD, KEEP_LINE, (TWO, f"second 2\nfirst 0\n{BUSY}")),
    (["--eeprom-chip", "24c32"], 2, "", TWO_BYTE, None),
    (["--eeprom-chip", "24c64"], 2, "", TWO_BYTE, None),
    (["--before", "echo 24c02 0x50 >/sys/bus/i2c/devices/i2c-0/new_device"], 2,
     "", "refused: a kernel driver holds 0x50 on bus 0", None),
], ids=["kept", "write-protect", "two-at-once", "24c32", "24c64", "at24"])
def test_keep(tmp_path: Path, args: list[str], status: int, output: str,
              line: str, after: tuple[str, str] | None) -> None:
    """The test through msgs_iic_on, on a chip of known bytes: it gives the
    run and leaves the whole chip as the image had it, byte for byte,
    through signals mid-run and a second run at once too; a write-protected
    chip is left as it was, and the restore says it changed nothing; a
    two-byte part, and an address the kernel's at24 holds, are refused."""
    size = {"24c32": 4096, "24c64": 8192}.get(args[-1] if args else "", 256)
    chip = image(tmp_path / "image", 0xa0, size)
    run = run_board(tmp_path, "--keep", "--eeprom-image", str(chip), *args,
                    *(["--after", after[0]] if after else []))
    assert run.status == status, run.stderr
    assert run.read("output") == output
    said = run.read("stderr").splitlines()
    assert said[-1].startswith(f"msgs_iic_on: {line}"), said
    assert (run.report / "eeprom").read_bytes() == chip.read_bytes(), \
        "the chip as the image had it, byte for byte"
    if after:
        assert run.read("after").startswith(after[1]), run.read("after")


def lava_cases(folder: Path) -> list[str]:
    """LAVA's test case signals as the console carried them, the time's
    measurement left out."""
    return [re.sub(r" MEASUREMENT=\d+\.\d\d", "", line)
            for line in (folder / "lava").read_text().splitlines()]


def signals(*results: str) -> list[str]:
    cases = ("open", "transfers", "read-back", "exit-status", "run", "time")
    return [f"<LAVA_SIGNAL_TESTCASE TEST_CASE_ID={case} RESULT={result}"
            + (" UNITS=seconds" if case == "time" else "") + ">"
            for case, result in zip(cases, results)]


@pytest.mark.parametrize("args, cases, status", [
    (["--board", "vexpress"], signals(*["pass"] * 6), 0),
    (["--board", "raspi3b", "--no-eeprom"],
     signals("pass", "fail", "fail", "pass", "fail", "pass"), 1),
    (["--board", "sabrelite", "--no-i2c-dev"],
     signals("fail", "fail", "fail", "pass", "fail", "pass"), 1),
], ids=["good-run", "no-eeprom", "no-i2c-dev"])
def test_lava_in_guest(tmp_path: Path, args: list[str], cases: list[str],
                       status: int) -> None:
    """The test definition's steps in the guest with LAVA's own
    lava-test-case: each way the run can fail fails the cases it concerns,
    and the exit status says so."""
    run = run_board(tmp_path, "--lava-test", *args)
    assert run.status == status
    assert lava_cases(run.report) == cases
    assert "board: LAVA test cases: open " in run.stderr


def test_lava_jobs(tmp_path: Path) -> None:
    """A job for every board and program, in LAVA's own schema, strictly,
    with the files it deploys; nothing boots."""
    yaml = pytest.importorskip("yaml")
    schemas = pytest.importorskip("lava_common.schemas")
    done = subprocess.run([TOP / "board" / "run", "--board", "all", "--lava",
                           tmp_path, "--lava-url", "https://lab.invalid/m"],
                          capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    assert "booting" not in done.stderr
    for board, arch, _ in TARGETS:
        name = board if arch == "armhf" else f"{board}-{arch}"
        folder = tmp_path / name
        assert sorted(path.name for path in folder.iterdir()) == [
            "board.dtb", "job.yaml", "ramdisk.cpio.gz", "vmlinuz"]
        job = yaml.safe_load((folder / "job.yaml").read_text())
        schemas.validate(job, strict=True)
        images = job["actions"][0]["deploy"]["images"]
        assert images["ramdisk"]["url"] == (
            f"https://lab.invalid/m/{name}/ramdisk.cpio.gz")
        ramdisk = gzip.decompress((folder / "ramdisk.cpio.gz").read_bytes())
        listed = subprocess.run(["cpio", "-t", "--quiet"], input=ramdisk,
                                capture_output=True).stdout.decode()
        assert {"init", "bin/msgs_iic", "bin/msgs_iic_on", "etc/board.conf",
                "lib/modules/i2c-dev.ko"} <= set(listed.split())


class Relay(http.server.BaseHTTPRequestHandler):
    """An HTTP proxy to the archive, for apt, that spoils what the server
    says: an index cut short, as a mirror mid-sync serves it, or a
    package gone."""
    protocol_version = "HTTP/1.1"
    spoil: tuple[str, str] = ("", "")   # what in a path, and how

    def do_GET(self) -> None:
        direct = urllib.request.build_opener(urllib.request.ProxyHandler({}))
        try:
            with direct.open(self.path, timeout=60) as answer:
                status, body = answer.status, answer.read()
        except urllib.error.HTTPError as error:
            status, body = error.code, error.read()
        where, how = self.spoil
        if where and where in self.path and "Release" not in self.path:
            status, body = (200, body[:-100]) if how == "short" else (404, b"")
        self.send_response(status)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args: object) -> None:
        pass


class Quiet(http.server.ThreadingHTTPServer):
    def handle_error(self, *args: object) -> None:
        pass   # apt drops connections it has no more use for


def relay(where: str, how: str) -> AbstractContextManager[str]:
    return dispatch.serving(type("Spoiling", (Relay,), {"spoil": (where, how)}),
                            kind=Quiet)


def checkout(into: Path) -> Path:
    """A second checkout of the tree as it stands, its builds its own."""
    files = subprocess.run(["git", "ls-files", "-z", "--cached", "--others",
                            "--exclude-standard"], cwd=TOP, check=True,
                           capture_output=True, text=True).stdout
    for name in filter(None, files.split("\0")):
        if (TOP / name).exists():
            (into / name).parent.mkdir(parents=True, exist_ok=True)
            shutil.copy2(TOP / name, into / name)
    return into


NOWHERE = "http://127.0.0.1:9"   # no proxy listens there: nothing arrives


def test_fresh_cache(tmp_path: Path) -> None:
    """Empty caches of their own, filled through a proxy with the mirror's
    faults: no index at all, a kernel package gone, an index cut short;
    then a second checkout that shares the cache."""
    env = {"MSGS_IIC_CACHE": str(tmp_path / "cache")}
    run = run_board(tmp_path / "1", env={**env, "http_proxy": NOWHERE})
    assert run.status == 2
    assert run.stderr.splitlines()[-1].startswith(
        "board: Debian's armhf busybox-static cannot be had: "), run.stderr
    assert "could not be fetched (see log/board.log)" in run.stderr
    assert not any(path.is_symlink() for path in (tmp_path / "cache").iterdir())

    halfway = tmp_path / "halfway"
    with relay("/linux-image-", "gone") as proxy:
        run = run_board(tmp_path / "2", env={"MSGS_IIC_CACHE": str(halfway),
                                             "http_proxy": proxy})
    assert run.status == 2
    assert re.search(r"^board: Debian's armhf linux-image-\S+-armmp could not "
                     r"be downloaded \(404 .*\): see log/board.log$",
                     run.stderr, re.M), run.stderr
    assert (halfway / "userland").is_symlink()
    assert not (halfway / "kernel-armmp").exists(), \
        "a fetch that failed halfway leaves nothing that passes for a cache"

    with relay("/dists/bookworm-updates/main/binary-armhf/", "short") as proxy:
        run = run_board(tmp_path / "3", env={**env, "http_proxy": proxy})
    assert (run.status, run.stdout) == (0, GOOD), run.stderr
    assert re.findall(r"^board: bookworm-updates.*", run.stderr, re.M) == [
        "board: bookworm-updates (armhf) could not be fetched (mirror "
        "mid-sync?); going on without it"]
    packages = run.read("packages").splitlines()
    assert [line.split()[0] for line in packages[1:]] == [
        "busybox-static", "i2c-tools", "libi2c0", "libc6"]
    assert re.fullmatch(r"linux-image-(\S+)-armmp \S+", packages[0])

    second = checkout(tmp_path / "second")
    run = run_board(tmp_path / "4", top=second,
                    env={**env, "http_proxy": NOWHERE})
    assert (run.status, run.stdout) == (0, GOOD), run.stderr
    assert "fetching" not in run.stderr and "could not" not in run.stderr
    assert run.read("packages").splitlines() == packages


SAVED = [board.name for board in boards.BOARDS if snapshot.savable(board)]
# What a run's report holds that does not depend on how the board started.
SAME = ("output", "stderr", "status", "before", "after", "failed", "trace",
        "eeprom", "kernel", "packages", "bytes", "restore", "bus.txt")


def run_marks(report: Path) -> list[str]:
    """The console's marks of the run, from the first after /init's setup
    (a restored board's console starts there), its time left out."""
    lines = (report / "console").read_text().splitlines()
    first = next(n for n, line in enumerate(lines)
                 if line.startswith(("@@begin", "@@program", "@@fail")))
    return [line for line in lines[first:]
            if not line.startswith("@@centiseconds ")]


def same_run(first: Run, second: Run) -> None:
    """Two runs alike: output, exit status, report files, marks."""
    assert (first.status, first.stdout) == (second.status, second.stdout)
    for name in SAME:
        path = first.report / name
        assert path.exists() == (second.report / name).exists(), name
        if path.exists():
            assert path.read_bytes() == (second.report / name).read_bytes(), name
    assert run_marks(first.report) == run_marks(second.report)


def private_cache(folder: Path) -> dict[str, str]:
    """A cache of the test's own, its parts those of the machine's cache
    (linked, never written), and no saved boards."""
    folder.mkdir()
    for part in cache.root().iterdir():
        if part.is_symlink():
            (folder / part.name).symlink_to(part.resolve())
    return {"MSGS_IIC_CACHE": str(folder)}


def states(env: dict[str, str]) -> list[Path]:
    return sorted((Path(env["MSGS_IIC_CACHE"]) / "states").glob("*.state"))


@pytest.mark.parametrize("board, args", [
    *((board, []) for board in SAVED),
    ("vexpress", ["--eeprom-image", "@image", "--before", READ_BACK,
                  "--after", READ_BACK, "--after", AT24]),
    ("vexpress", ["--eeprom-image", "@image", "--write-protect"]),
    ("vexpress", ["--keep", "--eeprom-image", "@image"]),
    ("orangepi-pc", ["--no-eeprom"]),
], ids=[*SAVED, "image-before-after", "write-protect", "keep", "no-eeprom"])
def test_restored_as_cold(tmp_path: Path, board: str, args: list[str]) -> None:
    """A board restored from its saved state gives the run a cold boot
    gives: the same output, report, trace, chip bytes and marks; the run's
    own files come with each run, not with the state: the run that may
    save it has a chip image of other bytes."""
    def asked(first: int) -> list[str]:
        chip = str(image(tmp_path / f"image-{first:x}", first))
        return ["--board", board, *(chip if arg == "@image" else arg
                                    for arg in args)]
    run_board(tmp_path / "first", *asked(0x30))   # saves it where need be
    given = asked(0xa0)
    restored = run_board(tmp_path / "restored", *given)
    cold = run_board(tmp_path / "cold", *given, "--cold")
    assert f"board: restoring {board} " in restored.stderr, restored.stderr
    assert "restoring" not in cold.stderr and "saving" not in cold.stderr
    same_run(restored, cold)
    if not args:
        assert 200 <= centiseconds(restored.report) <= 260, "two pauses"


@pytest.mark.parametrize("spoil, line", [
    ("qemu", "it was saved with another qemu"),
    ("kernel", "it was saved with another kernel"),
    ("truncate", "it is damaged (its digest does not match)"),
    ("corrupt", "it is damaged (its digest does not match)"),
    ("garbage", "QEMU could not load it ("),
])
def test_saved_state_spoiled(tmp_path: Path, spoil: str, line: str) -> None:
    """A state saved under another key, cut short, altered, or one QEMU
    cannot load: never used; the run boots cold and says so in one line,
    passes, and saves a good state, which the next run restores."""
    env = private_cache(tmp_path / "cache")
    assert run_board(tmp_path / "1", env=env).status == 0
    (state,) = states(env)
    key = state.with_suffix(".key")
    if spoil in ("qemu", "kernel"):
        key.write_text(re.sub(rf"^{spoil} (.*)$", rf"{spoil} \1-other",
                              key.read_text(), flags=re.M))
    elif spoil == "truncate":
        os.truncate(state, state.stat().st_size // 2)
    elif spoil == "corrupt":
        with state.open("r+b") as held:
            held.seek(state.stat().st_size // 2)
            held.write(b"\xde\xad\xbe\xef" * 1024)
    else:
        state.write_bytes(b"QEVM" + b"\0" * 4096)
        key.write_text(re.sub(r"^digest .*$", "digest " + hashlib.sha256(
            state.read_bytes()).hexdigest(), key.read_text(), flags=re.M))
    spoiled = run_board(tmp_path / "2", env=env)
    assert (spoiled.status, spoiled.stdout) == (0, GOOD), spoiled.stderr
    said = [said for said in spoiled.stderr.splitlines() if "not used" in said]
    assert len(said) == 1 and said[0].startswith(
        f"board: the saved state of vexpress is not used: {line}"), said
    assert said[0].endswith("; booting it afresh, and saving it anew")
    after = run_board(tmp_path / "3", env=env)
    assert (after.status, after.stdout) == (0, GOOD), after.stderr
    assert "board: restoring vexpress " in after.stderr
    assert "not used" not in after.stderr
    same_run(spoiled, after)


def test_saved_at_once(tmp_path: Path) -> None:
    """Two runs at once, no saved state: both give the good run, and one
    state is made, whole, which a third run restores."""
    env = private_cache(tmp_path / "cache")
    report = [tmp_path / f"report{n}" for n in (1, 2)]
    both = [subprocess.Popen([TOP / "board" / "run", "--report", folder],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             text=True, env={**os.environ, **env})
            for folder in report]
    done = [run.communicate(timeout=600) for run in both]
    assert [(run.returncode, out) for run, (out, _) in zip(both, done)] == [
        (0, GOOD), (0, GOOD)], [err for _, err in done]
    assert len(states(env)) == 1
    assert sum("saving vexpress's state" in err for _, err in done) == 1
    third = run_board(tmp_path / "3", env=env)
    assert (third.status, third.stdout) == (0, GOOD), third.stderr
    assert "board: restoring vexpress " in third.stderr


CASES = ("open", "transfers", "read-back", "exit-status", "run", "time")


def lava_results(log: Path) -> tuple[dict[str, str], str]:
    """LAVA's own results in lava-run's log, a YAML mapping a line: each
    test case's, and the job's."""
    yaml = pytest.importorskip("yaml")
    cases, job = {}, "none"
    for line in log.read_text().splitlines():
        entry = yaml.safe_load(line)
        if entry["lvl"] == "results" and entry["msg"]["definition"] != "lava":
            cases[entry["msg"]["case"]] = entry["msg"]["result"]
        elif entry["lvl"] == "results" and entry["msg"]["case"] == "job":
            job = entry["msg"]["result"]
    return cases, job


EVERY_ROW = {board if arch == "armhf" else f"{board}-{arch}": ["pass"] * 6
             for board, arch, _ in TARGETS}


@pytest.mark.parametrize("args, expected", [
    (["--board", "all"], EVERY_ROW),
    (["--board", "raspi3b", "--no-eeprom"],
     {"": ["pass", "fail", "fail", "pass", "fail", "pass"]}),
    (["--board", "sabrelite", "--no-i2c-dev"],
     {"": ["fail", "fail", "fail", "pass", "fail", "pass"]}),
], ids=["every-board", "no-eeprom", "no-i2c-dev"])
def test_lava_dispatch(tmp_path: Path, args: list[str],
                       expected: dict[str, list[str]]) -> None:
    """The jobs in LAVA's own dispatcher, under its qemu template's
    defaults: LAVA's own results, in its logs, pass every case of every row,
    and fail the cases that a missing chip or bus concerns; board/run's
    table says the same, and its exit status too."""
    run = run_board(tmp_path, "--lava-dispatch", *args)
    rows = [line.split() for line in run.stdout.splitlines()[1:]]
    assert len(rows) == len(expected), run.stderr
    for (name, results), row in zip(expected.items(), rows):
        cases, job = lava_results(run.report / name / "lava.log")
        assert job == "pass", f"{name}: LAVA's job failed"
        assert [cases.get(case) for case in CASES] == results, name
        assert row[2:7] + [row[7]] == results, row
    assert run.status == (0 if expected is EVERY_ROW else 1)


def served(url: str, path: str, token: str) -> dict[str, Any]:
    """The LAVA server's REST API, asked directly."""
    request = urllib.request.Request(f"{url}/api/v0.2/{path}",
                                     headers={"Authorization": f"Token {token}"})
    with urllib.request.urlopen(request) as answer:
        found: dict[str, Any] = json.load(answer)
        return found


def server_results(url: str, job: int, token: str) -> dict[str, str]:
    """The server's own result of each case of the job's test definition."""
    suites = served(url, f"jobs/{job}/suites/", token)["results"]
    (ours,) = [suite for suite in suites if suite["name"] != "lava"]
    tests = served(url, f"jobs/{job}/suites/{ours['id']}/tests/", token)
    return {test["name"]: test["result"] for test in tests["results"]}


# What a LAVA lab runs, by its command line or its process title.
LAB = ("lava_server.wsgi", "gunicorn", "lava-worker", "lava-run",
       "lava-publisher", "lava-scheduler", "lava-server manage")


def lab_processes() -> list[str]:
    found = []
    for pid in Path("/proc").glob("[0-9]*"):
        try:
            state = (pid / "stat").read_text().rsplit(")", 1)[1].split()[0]
            line = (pid / "cmdline").read_bytes().replace(b"\0", b" ").decode()
        except (OSError, UnicodeDecodeError):
            continue
        if state != "Z" and any(name in line for name in LAB):
            found.append(line)
    return found


def test_lab(tmp_path: Path) -> None:
    """A LAVA lab on this machine, as its users run it: every row's job
    submitted to its server and run by its worker, each case judged by the
    server's own results, asked for directly; a job without the EEPROM,
    whose cases fail though LAVA calls it Complete; then lava/lab down
    leaves no process and no listener behind."""
    postgres = subprocess.run(["pg_lsclusters", "--no-header"],
                              capture_output=True, text=True).stdout.split()[3]
    up = subprocess.run([TOP / "lava" / "lab", "up"], capture_output=True,
                        text=True)
    assert up.returncode == 0, up.stderr
    url = up.stdout.strip()
    folder = lab.folder()
    token = (folder / "token").read_text().strip()
    assert [oct((folder / name).stat().st_mode & 0o777)
            for name in ("password", "token")] == ["0o600", "0o600"]
    assert (folder / "password").read_text().strip() not in up.stderr
    ports = json.loads((folder / "ports.json").read_text()).values()
    try:
        for args, expected in (
                (["--board", "all"], EVERY_ROW),
                (["--board", "raspi3b", "--no-eeprom"], {"raspi3b": [
                    "pass", "fail", "fail", "pass", "fail", "pass"]})):
            run = subprocess.run([TOP / "board" / "run", *args, "--lava-submit",
                                  url], capture_output=True, text=True,
                                 env={**os.environ, "LAVA_TOKEN": token})
            rows = [line.split() for line in run.stdout.splitlines()[1:]]
            assert len(rows) == len(expected), run.stderr
            for row, (name, results) in zip(rows, expected.items()):
                job = int(row[-1].rsplit("/", 1)[1])
                assert server_results(url, job, token) == dict(
                    zip(CASES, results)), name
                assert row[2:7] + [row[7]] == results, row
            assert run.returncode == (0 if expected is EVERY_ROW else 1)
        assert served(url, f"jobs/{job}/", token)["health"] == "Complete"
    finally:
        down = subprocess.run([TOP / "lava" / "lab", "down"],
                              capture_output=True, text=True)
    assert down.returncode == 0, down.stderr
    assert lab_processes() == []
    listening = subprocess.run(["ss", "-Hltn"], capture_output=True,
                               text=True).stdout
    assert [port for port in ports if f":{port} " in listening] == []
    assert subprocess.run(["pg_lsclusters", "--no-header"], capture_output=True,
                          text=True).stdout.split()[3] == postgres


@dataclass(frozen=True)
class SshBoard:
    """vexpress booted as a real board's stand-in, served over SSH."""
    port: int
    folder: Path   # the keys, known_hosts and ssh configuration
    chip: bytes    # the EEPROM's bytes as the board started

    def remote(self, user: str = "root") -> str:
        return f"{user}@127.0.0.1:{self.port}"

    def config(self, known: str = "known_hosts") -> Path:
        """An ssh configuration of the test's own: its key, and the host key
        pinned in a known-hosts file of its own, never the user's."""
        path = self.folder / f"config-{known}"
        path.write_text(f"Host *\n  IdentityFile {self.folder / 'user'}\n"
                        "  IdentitiesOnly yes\n"
                        f"  UserKnownHostsFile {self.folder / known}\n"
                        "  GlobalKnownHostsFile /dev/null\n")
        return path

    def login(self, command: str, user: str = "root") -> list[str]:
        """ssh's command line for a command on the board, with the test's
        own configuration."""
        return ["ssh", "-F", str(self.config()), "-p", str(self.port), "-o",
                "BatchMode=yes", f"{user}@127.0.0.1", command]

    def shell(self, command: str) -> str:
        """A command on the board, as root, over the test's own ssh."""
        return subprocess.run(self.login(command), capture_output=True,
                              text=True, check=True).stdout

    def read_chip(self) -> bytes:
        return bytes.fromhex(self.shell("i2ctransfer -y 0 w1@0x50 0x00 r256")
                             .replace("0x", ""))

    def board_run(self, *args: str, remote: str | None = None,
                  config: Path | None = None,
                  env: dict[str, str] | None = None) -> "subprocess.Popen[str]":
        return subprocess.Popen(
            [TOP / "board" / "run", "--ssh", remote or self.remote(),
             "--ssh-config", config or self.config(), *args],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
            stderr=subprocess.PIPE, text=True, env={**os.environ, **(env or {})})

    def folders(self) -> str:
        """The run folders left on the board, wherever they were made."""
        return self.shell("ls -d /tmp/msgs_iic.* /root/msgs_iic.* 2>/dev/null; "
                          "true")


@pytest.fixture(scope="module")
def ssh_board(tmp_path_factory: pytest.TempPathFactory) -> Iterator[SshBoard]:
    """Debian's armhf dropbear on vexpress, from the cache busybox comes
    from; a NIC on QEMU's user network with restrict=on, one port forwarded
    on 127.0.0.1 and nowhere else; the test's own key pair and host key."""
    folder = tmp_path_factory.mktemp("ssh")
    for name in ("host", "user", "other"):
        subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-C",
                        name, "-f", folder / name], check=True)
    chip = image(folder / "image", 0xa0)
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = int(probe.getsockname()[1])
    for known, key in (("known_hosts", "host"), ("other_hosts", "other")):
        (folder / known).write_text(f"[127.0.0.1]:{port} " + " ".join(
            (folder / f"{key}.pub").read_text().split()[:2]) + "\n")
    run = parse(["--eeprom-image", str(chip)])
    assert isinstance(run, Options)
    with host_tools({"armhf"}, emulator=True, decoder=False, plotter=False,
                    compilers=lambda: None):
        pass
    held = cache.ready(cache.root())
    with cache.in_use(held):
        guest = fetch_guest(held, {"armmp"}, lava=False, refresh=False,
                            sshd=True)
        built = programs("armhf", folder)
        sshd = Sshd(folder / "host", (folder / "user.pub").read_text())
        with qemu.serving_ssh(run.targets[0], run, guest, built.parent, sshd,
                              port):
            yield SshBoard(port, folder, chip.read_bytes())


# The board's /tmp mounted noexec: the test goes in the login's home; and
# a TMPDIR here that ssh's options would split or expand.
@pytest.mark.parametrize("setup, teardown, tmpdir, line", [
    ("", "", "", None),
    ("mount -t tmpfs -o noexec tmpfs /tmp", "umount /tmp", "", "board: @remote: "
     "/tmp is no place to run programs from (mounted noexec?): the test goes in "
     "/root/msgs_iic."),
    ("", "", "a b%h%%", None),
], ids=["good", "noexec", "tmpdir"])
def test_ssh_good_run(ssh_board: SshBoard, tmp_path: Path, setup: str,
                      teardown: str, tmpdir: str, line: str | None) -> None:
    """board/run --ssh on a real SSH server and kernel: the good run, the
    chip left as the image had it, byte for byte, and a report and JUnit
    file that say pass, with what the board said of itself."""
    report, junit = tmp_path / "report", tmp_path / "junit.xml"
    env = {}
    if tmpdir:
        (tmp_path / tmpdir).mkdir()
        env["TMPDIR"] = str(tmp_path / tmpdir)
    if setup:
        ssh_board.shell(setup)
    try:
        run = ssh_board.board_run("--yes", "--report", str(report), "--junit",
                                  str(junit), env=env)
        out, err = run.communicate(timeout=120)
        left = ssh_board.folders()
    finally:
        if teardown:
            ssh_board.shell(teardown)
    assert (run.returncode, out) == (0, GOOD), err
    assert err.splitlines()[-1] == "board: pass: the good run, exit status 0"
    if line:
        assert line.replace("@remote", ssh_board.remote()) in err, err
    assert ssh_board.read_chip() == ssh_board.chip, "the chip as it was found"
    kept = " ".join(f"{n:02x}" for n in range(0xb0, 0xb8))
    assert (report / "bytes").read_text() == f"before {kept}\nafter {kept}\n"
    assert (report / "restore").read_text() == (
        f"kept the 8 bytes at 0x10 and put them back: read back, they match: "
        f"{kept}\n")
    assert "adapter Versatile I2C adapter\ndriver versatile-i2c\n" in (
        report / "board").read_text()
    suite = ElementTree.parse(junit).getroot()[0]
    properties = {p.get("name"): p.get("value") for p in suite.iter("property")}
    assert (suite.get("failures"), suite.get("errors"), properties["verdict"],
            properties["adapter"]) == ("0", "0", "pass", "Versatile I2C adapter")
    assert left == "", "the folder it copied into is gone"


@pytest.mark.parametrize("user, port, known, setup, teardown, line", [
    ("root", 1, "known_hosts", "", "", "root@127.0.0.1:1: cannot reach it "
     "(ssh: connect to host 127.0.0.1 port 1: Connection refused): is it up, "
     "and sshd listening?"),
    ("root", None, "other_hosts", "", "", "@remote: its host key is not the one "
     "known for it (ssh: Host key verification failed.): if the board was "
     "reinstalled, check its new key, then ssh-keygen -R 127.0.0.1"),
    ("tester", None, "known_hosts", "", "", "tester@127.0.0.1:@port: tester may "
     "not open /dev/i2c-0 for reading and writing: log in as root, or as a "
     "user in the group that owns it"),
    ("root", None, "known_hosts", "rmmod i2c-dev",
     "insmod /lib/modules/i2c-dev.ko", "@remote: no /dev/i2c-0: load i2c-dev "
     "there (modprobe i2c-dev), and check that the board has an I2C bus 0"),
    ("root", None, "known_hosts", "echo 'SMBus I801 adapter at efa0' "
     ">/tmp/name && mount --bind /tmp/name /sys/class/i2c-dev/i2c-0/name",
     "umount /sys/class/i2c-dev/i2c-0/name", "@remote: msgs_iic_on refuses "
     "bus 0: the adapter's name says it is a PC's SMBus or a display's "
     "channel, where SPD and EDID EEPROMs live at 0x50: nothing written "
     "(--force writes anyway)"),
    ("root", None, "known_hosts", "", "", "@remote: no terminal to ask on, and "
     "no --yes: nothing written"),
    ("root", None, "known_hosts", "mount -t tmpfs -o size=256k tmpfs /tmp",
     "umount /tmp", "@remote: cat failed on the board: cat: write error: No "
     "space left on device"),
], ids=["refused", "host-key", "user", "no-i2c-dev", "adapter", "no-yes",
        "full-tmp"])
def test_ssh_faults(ssh_board: SshBoard, user: str, port: int | None,
                    known: str, setup: str, teardown: str, line: str) -> None:
    """Each fault one line and exit status 2, and nothing written: the
    chip as it was, no folder left on the board."""
    if setup:
        ssh_board.shell(setup)
    try:
        remote = f"{user}@127.0.0.1:{port or ssh_board.port}"
        run = ssh_board.board_run(*([] if "terminal" in line else ["--yes"]),
                                  remote=remote, config=ssh_board.config(known))
        out, err = run.communicate(timeout=60)
        left = ssh_board.folders()
    finally:
        if teardown:
            ssh_board.shell(teardown)
    expected = line.replace("@remote", ssh_board.remote()).replace(
        "@port", str(ssh_board.port))
    assert (run.returncode, out, err.splitlines()[-1]) == (
        2, "", f"board: {expected}"), err
    assert ssh_board.read_chip() == ssh_board.chip
    assert left == "", "no folder left on the board"


def test_ssh_asks(ssh_board: SshBoard) -> None:
    """On a terminal and without --yes, board/run asks as msgs_iic_on does;
    an answer other than y writes nothing."""
    terminal, board_side = pty.openpty()
    run = subprocess.Popen(
        [TOP / "board" / "run", "--ssh", ssh_board.remote(), "--ssh-config",
         ssh_board.config()], stdin=board_side, stdout=subprocess.PIPE,
        stderr=subprocess.PIPE, text=True)
    os.close(board_side)
    assert run.stderr is not None
    asked = ""
    while "[y/N] " not in asked:
        got = run.stderr.read(1)
        assert got, asked
        asked += got
    os.write(terminal, b"n\n")
    out, err = run.communicate(timeout=60)
    os.close(terminal)
    assert asked.splitlines()[-1] == (
        f"Write 8 bytes at 0x10 of 0x50 on {ssh_board.remote()}'s bus 0 "
        "('Versatile I2C adapter'), then put them back? [y/N] ")
    assert (run.returncode, out, err.splitlines()[-1]) == (
        2, "", f"board: {ssh_board.remote()}: nothing written")
    assert ssh_board.read_chip() == ssh_board.chip


def descendants(pid: int) -> list[int]:
    """The processes a process started, and theirs."""
    parents = {}
    for stat in Path("/proc").glob("[0-9]*/stat"):
        try:
            parents[int(stat.parent.name)] = int(
                stat.read_text().rsplit(")", 1)[1].split()[1])
        except (OSError, ValueError):
            continue
    found = [child for child, parent in parents.items() if parent == pid]
    return found + [n for child in found for n in descendants(child)]


def command_line(pid: int) -> str:
    try:
        return Path(f"/proc/{pid}/cmdline").read_text().replace("\0", " ")
    except OSError:
        return ""


@pytest.mark.parametrize("killed", ["connection", "session"])
def test_ssh_cut(ssh_board: SshBoard, killed: str) -> None:
    """The connection cut while the test runs (every local ssh killed), or
    the session's ssh alone killed while the connection stays: one line and
    exit status 2 here, and on the board msgs_iic_on puts the chip's bytes
    back by itself, and the folder goes once the test has ended, not
    before."""
    run = ssh_board.board_run("--yes", "--after", "sleep 3")
    assert run.stderr is not None
    said: list[str] = []
    while not said or "running the test" not in said[-1]:
        said.append(run.stderr.readline())
        assert said[-1], "".join(said)
    time.sleep(1.5)   # mid-test: msgs_iic has written, and not yet read
    for pid in descendants(run.pid):
        if killed == "connection" or "test-run" in command_line(pid):
            try:
                os.kill(pid, 9)
            except ProcessLookupError:
                pass   # gone with the master connection killed before it
    out, err = run.communicate(timeout=30)
    assert run.returncode == 2
    assert err.splitlines()[-1].startswith(
        "board: the connection to the board ended before the run finished")
    assert ssh_board.folders().startswith("/tmp/msgs_iic."), \
        "the folder kept while the test (its --after command) still runs"
    for _ in range(30):
        if not ssh_board.shell("pidof msgs_iic_on msgs_iic; true") and \
                not ssh_board.folders():
            break
        time.sleep(0.5)
    assert ssh_board.read_chip() == ssh_board.chip, "put back by the board"
    assert ssh_board.shell("ls /tmp/msgs_iic /tmp/msgs_iic.* 2>/dev/null; "
                           "true") == "/tmp/msgs_iic:\n", \
        "no journal left, and no folder"


# The user of the README's "bus 0 without root": in the i2c group, with
# its journal under /tmp, not root's.
I2C_GROUP = ("echo i2c:x:998:tester >>/etc/group && chgrp i2c /dev/i2c-0 && "
             "chmod 660 /dev/i2c-0")
NO_I2C_GROUP = "chmod 600 /dev/i2c-0; chgrp 0 /dev/i2c-0; sed -i /^i2c:/d /etc/group"


@pytest.mark.parametrize("second", ["board-run", "user"])
def test_ssh_second_run(ssh_board: SshBoard, second: str) -> None:
    """A second run on the board while msgs_iic_on runs there as root,
    with its default journal: board/run --ssh, or msgs_iic_on as a user in
    the i2c group with a journal of its own, is refused at once with exit
    status 2; the first gives the good run and the chip is as found. The
    first's msgs_iic is stopped (SIGSTOP) until the second has ended, so
    that the second surely comes during it."""
    if second == "user":
        ssh_board.shell(I2C_GROUP)
    try:
        first = subprocess.Popen(ssh_board.login(
            "msgs_iic_on -y 0 >/dev/null 2>&1; echo $?"),
            stdout=subprocess.PIPE, text=True)
        for _ in range(50):
            if ssh_board.shell("kill -STOP $(pidof msgs_iic) 2>/dev/null && "
                               "echo stopped; true"):
                break
        else:
            first.kill()
            pytest.fail(f"the first run's msgs_iic never ran: {first.communicate()}")
        if second == "board-run":
            run = ssh_board.board_run("--yes")
            _, err = run.communicate(timeout=60)
            status, said = run.returncode, err.splitlines()[-1]
            line = f"board: {ssh_board.remote()}: msgs_iic_on refuses bus 0: " + \
                BUSY.removeprefix("msgs_iic_on: ")
        else:
            done = subprocess.run(ssh_board.login(
                "msgs_iic_on -y --journal /home/tester/j 0 >/dev/null",
                "tester"), capture_output=True, text=True, timeout=60)
            status, said, line = done.returncode, done.stderr.splitlines()[-1], BUSY
        ssh_board.shell("kill -CONT $(pidof msgs_iic)")
        out, _ = first.communicate(timeout=60)
    finally:
        if second == "user":
            ssh_board.shell(NO_I2C_GROUP)
    assert (status, said[:len(line)]) == (2, line), said
    assert out == "0\n", "the first run's good run, the chip as found"
    assert ssh_board.read_chip() == ssh_board.chip
    assert ssh_board.folders() == ""


def test_ssh_rows(ssh_board: SshBoard, tmp_path: Path) -> None:
    """--ssh more than once: a row each in the table and the results; a
    board that cannot be reached is a row in error, and the exit status 2."""
    results = tmp_path / "results.json"
    run = subprocess.run(
        [TOP / "board" / "run", "--ssh", ssh_board.remote(), "--ssh",
         "root@127.0.0.1:1", "--ssh-config", ssh_board.config(), "--yes",
         "--results", results], capture_output=True, text=True, timeout=120)
    assert run.returncode == 2, run.stderr
    rows = [line.split() for line in run.stdout.splitlines()]
    assert [row[0] for row in rows] == ["board", ssh_board.remote(),
                                        "root@127.0.0.1:1"]
    assert [row[4] for row in rows[1:]] == ["pass", "error"]
    found = json.loads(results.read_text())["rows"]
    assert [(row["verdict"], row["program"]) for row in found] == [
        ("pass", "armhf"), ("error", None)]
    assert found[0]["eeprom_before"] == found[0]["eeprom_after"] == " ".join(
        f"{n:02x}" for n in range(0xb0, 0xb8))
