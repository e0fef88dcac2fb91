# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 The msgs_iic authors

"""board/run without a boot: its handling of bad input, the board records,
and what it makes of a recorded console and a recorded trace of the bus."""

import ast
import base64
import gzip
import http.server
import json
import lzma
import os
import random
import re
import shlex
import shutil
import struct
import subprocess
import time
import zlib
from collections.abc import Callable
from contextlib import AbstractContextManager
from dataclasses import replace
from pathlib import Path

import junitparser  # type: ignore[import]
import pytest

from harness import boards
from harness.farm import dispatch, jobs, modes, submit
from harness.guest import archive, cache, devicetree, image, kernel, lava_shell
from harness.host import apt, build
from harness.host.progress import Stop
from harness.options import Options, Remote
from harness.cli.parse import parse
from harness.report import files, machine, terminal, verdict
from harness.runs import bench, bus, console, marks, snapshot, ssh

TOP = Path(__file__).resolve().parents[1]
DATA = TOP / "tests" / "data"
GOOD = "hello,this is I2C_RDWR i2c test \n" + "".join(
    f"rd_buf is :{n}\n" for n in range(8))


@pytest.mark.parametrize("args, line", [
    ("--board", "--board needs a value: --board NAME"),
    ("--board nosuch", "unknown board 'nosuch' (vexpress sabrelite raspi2b "
     "raspi3b ast2600-evb orangepi-pc or all)"),
    ("--arch", "--arch needs a value: --arch ARCH"),
    ("--arch x86", "unknown --arch 'x86' (armhf or arm64)"),
    ("--arch arm64", "--arch arm64: vexpress's kernel is 32-bit; the arm64 "
     "program needs a 64-bit one"),
    ("--board orangepi-pc --arch arm64", "--arch arm64: orangepi-pc's kernel "
     "is 32-bit; the arm64 program needs a 64-bit one"),
    ("--eeprom-bus", "--eeprom-bus needs a value: --eeprom-bus N"),
    ("--eeprom-bus x", "--eeprom-bus takes a bus number, not 'x'"),
    ("--eeprom-bus 1", "--eeprom-bus 1: vexpress has no bus 1 (it has 0)"),
    ("--board ast2600-evb --eeprom-bus 7", "--eeprom-bus 7: ast2600-evb has no "
     "bus 7 (it has 0 1 2 3 4 5 6 8 9 12 13 14 15)"),
    ("--board ast2600-evb --eeprom-bus 16", "--eeprom-bus 16: ast2600-evb has "
     "no bus 16 (it has 0 1 2 3 4 5 6 8 9 12 13 14 15)"),
    ("--board ast2600-evb --no-eeprom --eeprom-bus 3",
     "--eeprom-bus needs the EEPROM that --no-eeprom removes"),
    ("--board all --eeprom-bus 3",
     "--board all runs the good run, which --eeprom-bus rules out"),
    ("--lava", "--lava needs a value: --lava DIR"),
    ("--lava jobs --report r",
     "--lava writes a job and boots nothing, which --report has no part in"),
    ("--lava jobs --write-protect", "--lava writes a job and boots nothing, "
     "which --write-protect has no part in"),
    ("--lava jobs --lava-test", "--lava writes a job and boots nothing, which "
     "--lava-test has no part in"),
    ("--lava-dispatch --lava-url http://lab.invalid", "--lava-dispatch runs "
     "the jobs in LAVA's dispatcher on this machine, which --lava-url has no "
     "part in"),
    ("--lava-dispatch --after true", "--lava-dispatch runs the jobs in LAVA's "
     "dispatcher on this machine, which --after has no part in"),
    ("--board all --lava-dispatch --no-i2c-dev",
     "--board all runs the good run, which --no-i2c-dev rules out"),
    ("--lava-submit", "--lava-submit needs a value: --lava-submit URL"),
    ("--lava-submit ftp://lab.invalid", "--lava-submit takes the LAVA "
     "server's address, http://HOST[:PORT], not 'ftp://lab.invalid'"),
    ("--lava-submit http://lab.invalid --report r", "--lava-submit sends the "
     "jobs to a LAVA server, which --report has no part in"),
    ("--lava-submit http://lab.invalid --lava-url https://files.invalid/m",
     "--lava-url for files served from here is http://HOST:PORT, not "
     "'https://files.invalid/m'"),
    ("--board all --arch armhf",
     "--board all runs each board's programs, so --arch has nothing to choose"),
    ("--frob", "unknown option '--frob'"),
    ("--timeout abc",
     "--timeout takes a positive whole number of seconds, not 'abc'"),
    ("--timeout 0",
     "--timeout takes a positive whole number of seconds, not '0'"),
    ("--timeout 1.5",
     "--timeout takes a positive whole number of seconds, not '1.5'"),
    ("--before", "--before needs a value: --before CMD"),
    ("--after", "--after needs a value: --after CMD"),
    ("--report", "--report needs a value: --report DIR"),
    ("--no-eeprom",
     "--no-eeprom: on vexpress the monitor's EDID ROM answers at 0x50 too"),
    ("--eeprom-image /nonexistent",
     "--eeprom-image: no readable file '/nonexistent'"),
    ("--board raspi2b --no-eeprom --eeprom-image @image",
     "--eeprom-image needs the EEPROM that --no-eeprom removes"),
    ("--eeprom-chip 24c16", "unknown --eeprom-chip '24c16' (24c02 24c32 24c64)"),
    ("--eeprom-chip 24c32 --eeprom-image @image", "--eeprom-image @image: 256 "
     "bytes, where a 24c32 holds 4096"),
    ("--board raspi2b --no-eeprom --eeprom-chip 24c64",
     "--eeprom-chip needs the EEPROM that --no-eeprom removes"),
    ("--board all --eeprom-chip 24c32",
     "--board all runs the good run, which --eeprom-chip rules out"),
    ("--ssh board --eeprom-chip 24c32",
     "--eeprom-chip is for a board under QEMU, not one reached with --ssh"),
    ("--board raspi2b --write-protect --no-eeprom",
     "--write-protect needs the EEPROM that --no-eeprom removes"),
    ("--report /etc/passwd", "--report /etc/passwd: cannot write a report "
     "there (not a folder)"),
    ("--report /etc/passwd/r", "--report /etc/passwd/r: cannot write a report "
     "there (Not a directory)"),
    ("--report /proc/msgs_iic", "--report /proc/msgs_iic: cannot write a "
     "report there (No such file or directory)"),
    ("--results /proc", "--results /proc: a folder, where a file is wanted"),
    ("--junit /dev/null", "--junit /dev/null: a device or other special "
     "file, where a regular file is wanted"),
    ("--results r.json --junit r.json", "--results and --junit both name "
     "r.json: each output wants a path of its own"),
    ("--report r --picture r", "--report and --picture both name r: each "
     "output wants a path of its own"),
    ("--board --list", "--board takes NAME, not '--list'"),
    ("--ssh -oProxyCommand=x", "--ssh takes [USER@]HOST[:PORT], not "
     "'-oProxyCommand=x'"),
    ("extra", "unexpected argument 'extra': board/run takes options alone"),
    ("--lava-url http://lab.invalid", "--lava-url is for --lava DIR or "
     "--lava-submit URL, and none was given"),
    ("--lava-repo http://lab.invalid", "--lava-repo is for --lava DIR, "
     "--lava-dispatch or --lava-submit URL, and none was given"),
    ("--force", "--force is for --keep or --ssh, and none was given"),
    ("--version --board raspi2b", "--version prints board/run's version, "
     "which --board has no part in"),
    ("--junit /nonexistent/j.xml", "--junit /nonexistent/j.xml: cannot write "
     "it (No such file or directory)"),
    ("--results", "--results needs a value: --results FILE"),
    ("--lava jobs --junit j.xml", "--lava writes a job and boots nothing, "
     "which --junit has no part in"),
    ("--bench --results r.json", "--bench times boots of the good run, which "
     "--results has no part in"),
    ("--list --board raspi2b", "--list lists the boards, which --board has no "
     "part in"),
    ("--board all --no-eeprom",
     "--board all runs the good run, which --no-eeprom rules out"),
    ("--board all --write-protect",
     "--board all runs the good run, which --write-protect rules out"),
    ("--board all --picture x.png",
     "--picture draws one board's bus, not --board all's"),
    ("--board raspi2b --picture x.png",
     "--picture: QEMU traces raspi2b's bus byte by byte; vexpress has its SDA "
     "and SCL lines"),
    ("--picture x.png --before true",
     "--picture draws the first transactions, which --before would take"),
    ("--ssh", "--ssh needs a value: --ssh [USER@]HOST[:PORT]"),
    ("--ssh root@board:0", "--ssh takes [USER@]HOST[:PORT], not 'root@board:0'"),
    ("--ssh board:65536", "--ssh takes [USER@]HOST[:PORT], not 'board:65536'"),
    ("--ssh a@b@c", "--ssh takes [USER@]HOST[:PORT], not 'a@b@c'"),
    ("--ssh board:ssh", "--ssh takes [USER@]HOST[:PORT], not 'board:ssh'"),
    ("--ssh board;reboot", "--ssh takes [USER@]HOST[:PORT], not 'board;reboot'"),
    ("--ssh board --ssh-config /nonexistent",
     "--ssh-config: no readable file '/nonexistent'"),
    ("--ssh board --no-eeprom",
     "--no-eeprom is for a board under QEMU, not one reached with --ssh"),
    ("--ssh board --eeprom-image @image",
     "--eeprom-image is for a board under QEMU, not one reached with --ssh"),
    ("--ssh board --write-protect",
     "--write-protect is for a board under QEMU, not one reached with --ssh"),
    ("--ssh board --eeprom-bus 1",
     "--eeprom-bus is for a board under QEMU, not one reached with --ssh"),
    ("--ssh board --picture x.png",
     "--picture is for a board under QEMU, not one reached with --ssh"),
    ("--ssh board --bench",
     "--bench is for a board under QEMU, not one reached with --ssh"),
    ("--ssh board --cold",
     "--cold is for a board under QEMU, not one reached with --ssh"),
    ("--ssh board --board raspi2b", "--ssh runs the test on a real board, "
     "which --board has no part in"),
    ("--ssh board --lava-test", "--ssh runs the test on a real board, which "
     "--lava-test has no part in"),
    ("--yes", "--yes is for a board reached with --ssh"),
    ("--ssh-config @image", "--ssh-config is for a board reached with --ssh"),
    ("--program-root /nonexistent", "--program-root: no ELF program "
     "/nonexistent/usr/bin/msgs_iic"),
    ("--board all --program-root /nonexistent", "--program-root runs one "
     "build's programs on one board, not --board all's"),
    ("--keep --program-root /nonexistent", "--program-root runs its msgs_iic "
     "alone, which --keep would run through msgs_iic_on"),
    ("--program-root", "--program-root needs a value: --program-root ROOT"),
])
def test_bad_input(tmp_path: Path, args: str, line: str) -> None:
    """One line that says what is wrong and where the usage is, exit
    status 2, before anything is installed, fetched or booted: stderr holds
    nothing else, stdout nothing at all, and no file is left behind."""
    image = tmp_path / "image"
    image.write_bytes(bytes(256))
    argv = args.replace("@image", str(image)).split()
    done = subprocess.run([TOP / "board" / "run", *argv], capture_output=True,
                          text=True, stdin=subprocess.DEVNULL, cwd=tmp_path)
    line = line.replace("@image", str(image))
    assert (done.returncode, done.stderr, done.stdout) == (
        2, f"board: {line}; see board/run --help\n", "")
    assert [path.name for path in tmp_path.iterdir()] == ["image"]


@pytest.mark.parametrize("command, answer", [
    ("board/run --version", r"board/run \(msgs_iic\) " + re.escape(re.findall(
        r"project\(msgs_iic VERSION (\S+)", (TOP / "CMakeLists.txt").read_text()
    )[0]) + "\n"),
    ("scripts/package --help", r"usage: scripts/package \[armhf\|arm64\|host\]"
     r" \[DIR\]\n(.+\n)+"),
    ("scripts/package -h", r"usage: scripts/package .*\n(.+\n)+"),
])
def test_answers(tmp_path: Path, command: str, answer: str) -> None:
    """What a person asks of a tool: the answer on stdout, status 0,
    nothing written."""
    done = subprocess.run([TOP / command.split()[0], *command.split()[1:]],
                          capture_output=True, text=True, cwd=tmp_path)
    assert (done.returncode, done.stderr) == (0, "")
    assert re.fullmatch(answer, done.stdout)
    assert list(tmp_path.iterdir()) == [] and not (TOP / "packages").exists()


def test_list() -> None:
    """board/run --list: a row for each board, from its record."""
    done = subprocess.run([TOP / "board" / "run", "--list"], capture_output=True,
                          text=True)
    lines = done.stdout.splitlines()
    assert (done.returncode, done.stderr) == (0, "")
    assert re.split(r"\s{2,}", lines[0]) == [
        "board", "stands for", "driver", "buses", "programs", "saved"]
    rows = {line.split()[0]: re.split(r"\s{2,}", line) for line in lines[1:-1]}
    assert list(rows) == boards.names()
    assert rows["ast2600-evb"][1:] == ["ASPEED AST2600 BMC evaluation board",
                                       "i2c-aspeed", "0-6 8 9 12-15", "armhf",
                                       "no"]
    assert rows["raspi3b"][2:] == ["i2c-bcm2835", "0", "armhf arm64", "no"]
    assert rows["vexpress"][-1] == "yes"
    assert lines[-1] == ("the EEPROM at 0x50, on every board (--eeprom-chip): "
                         "24c02 (the default), 24c32 or 24c64")


@pytest.mark.parametrize("changed, said", [
    (None, ""),
    ("src/msgs_iic.cpp", "board: building msgs_iic for host\n"),
    ("src/msgs_iic.h", "board: building msgs_iic for host\n"),
    ("CMakeLists.txt", ""),   # CMake runs again, and nothing is rebuilt
    ("@build/msgs_iic_on", "board: building msgs_iic for host\n"),
])
def test_build_says_so_only_when_it_builds(tmp_path: Path,
                                           capsys: pytest.CaptureFixture[str],
                                           changed: str | None, said: str
                                           ) -> None:
    """The build's progress line comes with make's first piece of work: a
    build with nothing to do says nothing, and skips make while nothing it
    read or made has changed; a changed source, header or CMakeLists.txt,
    or a program gone, is noticed."""
    subprocess.run(["cmake", "-S", TOP, "-B", tmp_path, "-DBUILD_TESTING=OFF"],
                   check=True, capture_output=True)
    build.make("host", tmp_path)
    assert capsys.readouterr().err == "board: building msgs_iic for host\n"
    assert build.up_to_date(tmp_path)
    if changed is None:
        pass
    elif changed.startswith("@build/"):
        (tmp_path / changed.removeprefix("@build/")).unlink()
    else:
        # Newer for a moment, then as it was, so that other builds of the
        # checkout see nothing.
        path = TOP / changed
        was = path.stat()
        os.utime(path, ns=(was.st_atime_ns, time.time_ns()))
    try:
        assert build.up_to_date(tmp_path) == (changed is None)
        build.make("host", tmp_path)
    finally:
        if changed is not None and not changed.startswith("@build/"):
            os.utime(path, ns=(was.st_atime_ns, was.st_mtime_ns))
    assert capsys.readouterr().err == said


# The placeholders of the README's and the guides' commands, as a person
# would fill them in.
PLACEHOLDERS = {"NAME": "vexpress", "DIR": "@tmp/dir", "URL": "http://127.0.0.1:9",
                "[N]": "2", "$lab": "http://127.0.0.1:8000",
                "ROOT": "@tmp/target", "output/target": "@tmp/target"}


# What the README shows board/run print for a command: its exit status and
# its lines, or its last line alone.
Shown = tuple[int, list[str]] | None


def documented() -> list[tuple[list[str], Shown]]:
    """board/run's arguments in every command of the README and the guides:
    the shell blocks' command lines, and the inline ones; with what the
    README says such a run prints."""
    found: list[tuple[list[str], Shown]] = []
    for doc in [TOP / "README.md", *sorted((TOP / "doc").glob("*.md"))]:
        text = doc.read_text()
        lines = re.findall(r"`(board/run[^`\n]*)`", text)
        for block in re.findall(r"^```sh\n(.*?)^```$", text, re.M | re.S):
            pending = ""
            for line in block.replace("\\\n", " ").splitlines():
                pending += line + "\n"
                try:
                    tokens = shlex.split(pending, comments=True)
                except ValueError:
                    continue   # an open quote: the command goes on
                pending = ""
                if "board/run" in tokens:
                    lines.append(shlex.join(tokens[tokens.index("board/run"):]))
        found += [(shlex.split(line)[1:], None) for line in lines]
        if doc.name == "README.md":
            for command, status, said in re.findall(
                    r"`(board/run[^`]*)` exits (\d), and says\s+`([^`]*)`", text):
                found.append((shlex.split(command)[1:], (int(status), [said])))
            found += [([], (0, block.splitlines())) for block in re.findall(
                r"^```\n(board: booting .*?)^```$", text, re.M | re.S)]
    return found


def readme_statuses() -> None:
    """The statuses the README's table gives board/run are the ones it
    uses."""
    text = (TOP / "README.md").read_text()
    told = [int(n) for n, said in re.findall(r"^\| (\d) \| ([^|]*) \|", text,
                                             re.M) if said.strip()]
    assert told == sorted(verdict.STATUS.values())


def one_kernel() -> None:
    """The docs' examples show one point release of Debian's kernel, so
    that they are brought up to date together."""
    texts = [doc.read_text() for doc in [TOP / "README.md",
                                         *(TOP / "doc").glob("*.md")]]
    releases = {found for text in texts
                for found in re.findall(r"6\.1\.0-(\d+)-arm", text)}
    assert len(releases) == 1, releases


def installs_listed() -> None:
    """doc/testing.md names every package tests/run installs."""
    script = (TOP / "tests" / "run").read_text()
    listed = re.findall(r'scripts/need"? (.*?)\|\| exit 2', script, re.S)[0]
    tokens = shlex.split(listed.replace("\\\n", " "))
    packages = [token.split(":")[0] for token in tokens[4:]]
    assert tokens[0:4:2] == ["--log", "--for"]
    text = (TOP / "doc" / "testing.md").read_text().replace("\n", " ")
    assert [name for name in packages if f"`{name}`" not in text] == []


@pytest.mark.parametrize("check", [readme_statuses, one_kernel, installs_listed],
                         ids=["statuses", "one-kernel", "installs"])
def test_docs_agree(check: Callable[[], None]) -> None:
    """What the docs say of the tools is what the tools do."""
    check()


# Recorded runs of the commands whose lines the README shows.
RECORDED = {(): "vexpress-good.console",
            ("--board", "sabrelite", "--no-eeprom"): "no-eeprom"}


def recorded_lines(tmp_path: Path, argv: list[str], said: list[str],
                   capfd: pytest.CaptureFixture[str]) -> tuple[list[str], int]:
    """What board/run prints, and its exit status, for a recorded run of
    ARGV, with the kernel and the wall time that SAID shows."""
    name = RECORDED[tuple(argv)]
    recorded = NO_EEPROM if name == "no-eeprom" else (DATA / name).read_text()
    given = options(*argv)
    kernel = re.findall(r"with kernel (\S+)", "\n".join(said)) or ["6.1.0-58-armmp"]
    wall = re.findall(r"([\d.]+) s wall time", "\n".join(said)) or ["8"]
    run = replace(watched(tmp_path, recorded), kernel=kernel[0],
                  seconds=float(wall[0]))
    results = marks.collect(run, given)
    row = verdict.row(results, given, None)
    capfd.readouterr()
    terminal.show(results, row, given)
    out, err = capfd.readouterr()
    boot = [f"board: booting vexpress with kernel {run.kernel}"]
    return boot + out.splitlines() + err.splitlines(), verdict.exit_status([row])


@pytest.mark.parametrize("argv, shown", documented(), ids=lambda value: (
    shlex.join(value) if isinstance(value, list) else "shown" if value else ""))
def test_documented_commands(tmp_path: Path, argv: list[str], shown: Shown,
                             capfd: pytest.CaptureFixture[str]) -> None:
    """The README's and the guides' commands are ones board/run takes; the
    lines and the exit status the README shows for one are what board/run
    gives for a recorded run of it."""
    program = tmp_path / "target" / "usr" / "bin" / "msgs_iic"
    program.parent.mkdir(parents=True)
    program.write_bytes(b"\x7fELF\x01\x01" + bytes(12) + (40).to_bytes(2, "little"))
    filled = [PLACEHOLDERS.get(arg, arg).replace("@tmp", str(tmp_path))
              .replace(":PORT", ":2222") for arg in argv]
    assert parse(filled) is not None
    if shown is not None:
        status, said = shown
        printed, given = recorded_lines(tmp_path, argv, said, capfd)
        assert given == status
        assert (printed if len(said) > 1 else printed[-1:]) == said


# The harness's parts, lowest first: a module imports from its own part or
# one below it, never one above.
LAYERS = ("boards", "options", "host", "guest", "runs", "report", "farm", "cli")


@pytest.mark.parametrize("module", sorted(
    (TOP / "board" / "harness").rglob("*.py")), ids=lambda path: str(
        path.relative_to(TOP / "board" / "harness")))
def test_data_flows_one_way(module: Path) -> None:
    part = module.relative_to(TOP / "board" / "harness").parts
    if part[0] == "__init__.py":
        return
    own = LAYERS.index(part[0].removesuffix(".py"))
    for node in ast.walk(ast.parse(module.read_text())):
        if not isinstance(node, ast.ImportFrom) or node.level == 0:
            continue
        if node.level < len(part):
            continue   # from its own part
        names = [node.module.split(".")[0]] if node.module else [
            alias.name for alias in node.names]
        for name in names:
            assert LAYERS.index(name) <= own, \
                f"{'/'.join(part)} imports {name}, which is above it"


@pytest.mark.parametrize("given, remote", [
    ("board", Remote("board", "board")),
    ("root@board", Remote("root@board", "board", "root")),
    ("pi@10.0.0.2:2222", Remote("pi@10.0.0.2:2222", "10.0.0.2", "pi", 2222)),
    ("root@[fe80::1]:22", Remote("root@[fe80::1]:22", "fe80::1", "root", 22)),
    ("my-board.lab.example", Remote("my-board.lab.example", "my-board.lab.example")),
])
def test_ssh_remote(given: str, remote: Remote) -> None:
    """--ssh's [USER@]HOST[:PORT], as ssh takes it apart."""
    assert options("--ssh", given).ssh == (remote,)


BOARD = {"machine": "armv7l", "kernel": "6.1.0-50-armmp", "user": "root",
         "node": "yes", "access": "yes", "adapter": "bcm2835 (i2c@7e205000)",
         "driver": "i2c-bcm2835"}


@pytest.mark.parametrize("said, arch, line", [
    (BOARD, "armhf", None),
    ({**BOARD, "machine": "armv8l"}, "armhf", None),
    ({**BOARD, "machine": "aarch64"}, "arm64", None),
    ({**BOARD, "machine": "armv6l"}, None, "its machine is armv6l: board/run has "
     "programs for armhf (armv7l) and arm64 (aarch64) boards"),
    ({**BOARD, "machine": "x86_64"}, None, "its machine is x86_64: board/run has "
     "programs for armhf (armv7l) and arm64 (aarch64) boards"),
    ({**BOARD, "node": ""}, None, "no /dev/i2c-0: load i2c-dev there (modprobe "
     "i2c-dev), and check that the board has an I2C bus 0"),
    ({**BOARD, "access": "", "user": "pi"}, None, "pi may not open /dev/i2c-0 "
     "for reading and writing: log in as root, or as a user in the group that "
     "owns it"),
], ids=["armv7l", "armv8l", "aarch64", "armv6l", "x86_64", "no-node", "no-access"])
def test_board_facts(said: dict[str, str], arch: str | None,
                     line: str | None) -> None:
    """What a board over SSH says of itself: the program for its machine,
    or one line for what it lacks."""
    remote = Remote("root@board", "board", "root")
    if line is None:
        found = ssh.checked(remote, said)
        assert (found["arch"], found["adapter"], found["driver"]) == (
            arch, said["adapter"], said["driver"])
    else:
        with pytest.raises(Stop, match=f"^{re.escape('root@board: ' + line)}$"):
            ssh.checked(remote, said)


@pytest.mark.parametrize("folder, why", [
    ("@file", "not a folder"),
    ("@file/cache", "Not a directory"),
    ("/proc/msgs_iic", "No such file or directory"),
])
def test_cache_refused(tmp_path: Path, folder: str, why: str) -> None:
    """A cache folder that cannot be made or written: one line and exit
    status 2, before anything is installed or fetched."""
    (tmp_path / "file").write_text("")
    folder = folder.replace("@file", str(tmp_path / "file"))
    done = subprocess.run([TOP / "board" / "run"], capture_output=True,
                          text=True, env={**os.environ, "MSGS_IIC_CACHE": folder})
    assert (done.returncode, done.stderr, done.stdout) == (
        2, f"board: cannot use {folder} for the cache of Debian's packages "
        f"({why}): set MSGS_IIC_CACHE to a folder that can be written\n", "")


def path_without_apt(folder: Path) -> str:
    """A PATH without apt or dpkg, nor the tools the scripts would install."""
    folder.mkdir()
    left_out = ("apt", "dpkg", "cmake", "make", "g++", "c++", "qemu-", "dtc",
                "cpio", "arm-linux-", "valgrind")
    for tool in [*Path("/usr/bin").iterdir(), *Path("/bin").iterdir()]:
        if not tool.name.startswith(left_out) and not (folder / tool.name).exists():
            (folder / tool.name).symlink_to(tool)
    return str(folder)


@pytest.mark.parametrize("entry, missing", [
    ("nosuch-qemu=1:10.0.2+ds-2~bpo12+1:nosuch-qemu-x86",
     "nosuch-qemu=1:10.0.2+ds-2~bpo12+1"),
    ("nosuch-qemu/bookworm-backports", "nosuch-qemu/bookworm-backports"),
    ("nosuch-gcc:nosuch-g++", "nosuch-gcc"),
    ("sh=1:0:sh", None),
])
def test_need_entries(tmp_path: Path, entry: str, missing: str | None) -> None:
    """scripts/need's PACKAGE[:PROBE]: a version's epoch is no probe, a
    suite no part of the name; a package there is left alone."""
    done = subprocess.run([TOP / "scripts" / "need", entry], capture_output=True,
                          text=True, env={**os.environ,
                                          "PATH": path_without_apt(tmp_path / "bin")})
    assert (done.returncode, done.stderr) == (
        (2, f"missing: {missing}; this host has no apt-get: install them and "
            "run again\n") if missing else (0, ""))


# apt-cache policy as recorded: QEMU from backports; bash, whose installed
# build no index lists any more; cmake from the release itself.
POLICY = {
    "qemu": " *** 1:10.0.2+ds-2+deb13u1~bpo12+1 100\n        100 http://deb."
            "debian.org/debian bookworm-backports/main amd64 Packages\n        "
            "100 /var/lib/dpkg/status\n     1:7.2+dfsg-7+deb12u18+b3 500\n"
            "        500 http://deb.debian.org/debian bookworm/main amd64 "
            "Packages\n",
    "bash": "     5.2.15-2+b13 500\n        500 http://deb.debian.org/debian "
            "bookworm/main amd64 Packages\n *** 5.2.15-2+b8 100\n        100 "
            "/var/lib/dpkg/status\n",
    "cmake": "     3.31.6-2~bpo12+1 100\n        100 http://deb.debian.org/debian"
             " bookworm-backports/main amd64 Packages\n *** 3.25.1-1 500\n"
             "        500 http://deb.debian.org/debian bookworm/main amd64 "
             "Packages\n        100 /var/lib/dpkg/status\n"}


@pytest.mark.parametrize("package, suite", [
    ("qemu", "bookworm-backports"), ("bash", None), ("cmake", "bookworm")])
def test_installed_from(monkeypatch: pytest.MonkeyPatch, package: str,
                        suite: str | None) -> None:
    """The suite an installed package came from, for QEMU's x86 emulator
    to come from the same one as the arm one."""
    monkeypatch.setattr(apt, "output", lambda command: POLICY[package])
    assert apt.installed_from(package) == suite


@pytest.mark.parametrize("script, args", [
    ("board/run", []), ("tests/run", []),
    ("board/run", ["--board", "all", "--results", "r.json", "--junit", "j.xml"])])
def test_without_apt(tmp_path: Path, script: str, args: list[str]) -> None:
    """Where apt is missing, the script names what it needs, and board/run
    writes the results it was asked for: every row an error that says so."""
    without = path_without_apt(tmp_path / "bin")
    done = subprocess.run([TOP / script, *args], capture_output=True, text=True,
                          cwd=tmp_path, env={**os.environ, "PATH": without})
    assert done.returncode == 2
    assert done.stderr.count("this host has no apt-get") == 1
    assert " needs " in done.stderr
    if args:
        last = done.stderr.splitlines()[-1].removeprefix("board: ")
        written = json.loads((tmp_path / "r.json").read_text())
        assert written["stopped"] == last
        every = options("--board", "all").targets
        assert [(row["name"], row["verdict"], row["why"])
                for row in written["rows"]] == [
                    (target.name, "error", last) for target in every]
        xml = junitparser.JUnitXml.fromfile(str(tmp_path / "j.xml"))
        assert (xml.tests, xml.errors) == (len(written["rows"]),) * 2


@pytest.mark.parametrize("board", boards.BOARDS, ids=boards.names())
def test_board_record(board: boards.Board) -> None:
    """Every record can be booted as it stands; where the kernel is in the
    cache, its device tree and module are there too."""
    assert boards.find(board.name) is board
    assert board.qemu in ("qemu-system-arm", "qemu-system-aarch64")
    assert board.machine[:1] == ("-M",) and board.console_port >= 1
    assert board.kernel in ("armmp", "arm64")
    assert board.trace in ("lines", "bytes-stop", "bytes-restart",
                           "bytes-restart-nack")
    assert all(node and " " not in node
               for node in board.disable + board.remove)
    assert all(node.startswith("/") for node in board.remove)
    assert board.buses[0] and len(board.buses) <= 16
    assert bool(board.park) == bool(board.park_at) and 0 not in board.park
    assert len(board.park) <= sum(node.startswith("/cpus/cpu@")
                                  for node in board.remove), \
        "Linux is not given a parked CPU"
    assert board.kernel == "armmp" or not board.park, "the parking loop is A32"
    part = cache.current(cache.root(), f"kernel-{board.kernel}")
    if part is not None:
        tree = part.folder / "dtbs" / board.dtb
        assert (part.folder / "modules" / f"{board.module}.ko").is_file()
        assert (devicetree.memory_base(tree) is None) == (
            board.ram_base is not None), \
            "a RAM base in the record where the tree has none, and only there"


ORANGE, VEXPRESS = boards.find("orangepi-pc"), boards.BOARDS[0]
assert ORANGE is not None


@pytest.mark.parametrize("board, base, line", [
    (VEXPRESS, 0x60000000, None),
    (boards.find("sabrelite"), 0x10000000, None),
    (boards.find("raspi2b"), 0, None),
    (boards.find("ast2600-evb"), 0x80000000, None),
    (ORANGE, 0x40000000, "orangepi-pc's device tree has no memory node: the "
     "kernel loads above the record's RAM base, 0x40000000"),
    (replace(VEXPRESS, ram_base=0x70000000), 0x60000000, "vexpress's record "
     "gives RAM base 0x70000000, its device tree 0x60000000: the kernel "
     "loads above the tree's"),
    (replace(ORANGE, ram_base=None), 0, "orangepi-pc's device tree has no "
     "memory node: the kernel loads above RAM base 0, since the record gives "
     "none"),
], ids=["vexpress", "sabrelite", "raspi2b", "ast2600-evb", "orangepi-pc",
        "record-disagrees", "neither"])
def test_ram_base(capsys: pytest.CaptureFixture[str], board: boards.Board | None,
                  base: int, line: str | None) -> None:
    """The RAM base that an armhf Image loads above, read from the board's
    real device tree; the record's only where the tree has none, and one
    line where the two disagree or the tree says nothing."""
    assert board is not None
    part = cache.current(cache.root(), "kernel-armmp")
    if part is None:
        pytest.skip("no armhf kernel in the cache")
    assert devicetree.ram_base(board, part.folder / "dtbs" / board.dtb) == base
    assert capsys.readouterr().err == (f"board: {line}\n" if line else "")


def options(*argv: str) -> Options:
    parsed = parse(list(argv))
    assert isinstance(parsed, Options)
    return parsed


def watched(tmp_path: Path, recorded: str, timeout: int = 5) -> marks.Run:
    """A recorded console, fed to the console loop as QEMU would feed it."""
    (tmp_path / "fed").write_text(recorded)
    feeder = subprocess.Popen(["sh", "-c", 'cat "$0"; sleep 30',
                               tmp_path / "fed"], stdout=subprocess.PIPE)
    log = tmp_path / "console"
    try:
        ending = console.wait_for(feeder, log, timeout, time.monotonic())
    finally:
        feeder.kill()
        feeder.wait()
    assert feeder.stdout is not None
    feeder.stdout.close()
    return booted(log, ending)


def booted(log: Path, ending: console.Ending, seconds: float = 9.0) -> marks.Run:
    """A vexpress boot that left this console and ended so."""
    return marks.Run(name="vexpress", board="vexpress",
                     title="vexpress (Cortex-A9 Versatile Express)",
                     driver="i2c-versatile", arch="armhf",
                     kernel="6.1.0-57-armmp", seconds=seconds,
                     console=log.read_text() if log.exists() else "",
                     console_log=log, ending=ending, via="QEMU 10.0.2",
                     packages="linux-image-6.1.0-57-armmp 6.1.158-1\n",
                     trace_style="lines")


GOOD_CONSOLE = (DATA / "vexpress-good.console").read_text()
BEFORE_FAILS = (DATA / "raspi3b-before-fails.console").read_text()
UNFINISHED = GOOD_CONSOLE.split("@@begin after")[0]
PANIC = UNFINISHED + "[    3.2] Kernel panic - not syncing: Attempted to kill init!\n"
BEFORE = ("--before", "true", "--before", "i2ctransfer -y 0 w1@0x51 0x00")
NO_BUS = "hello,this is I2C_RDWR i2c test \nI2C_RDWR err \nI2C_RDWR err \n" + \
    "rd_buf is :0\n" * 8
# The good console with nothing at 0x50: both transfers failed.
NO_EEPROM = re.sub(r"(?<=^@@begin output\n).*?(?=^@@end output$)",
                   base64.encodebytes(NO_BUS.encode()).decode(), GOOD_CONSOLE,
                   flags=re.M | re.S)
# The good console with LAVA's signals, one case failed.
CASE_FAILED = GOOD_CONSOLE.replace("@@begin eeprom", "".join(
    f"<LAVA_SIGNAL_TESTCASE TEST_CASE_ID={case} RESULT="
    f"{'fail' if case == 'transfers' else 'pass'}>\n"
    for case in verdict.CASES) + "@@begin eeprom")
GOOD_FILES = {"output": GOOD, "status": "0\n", "centiseconds": "206\n",
              "after": "0x00 0x01 0x02 0x03 0x04 0x05 0x06 0x07\n",
              "stderr": "", "before": "",
              "eeprom": "ff" * 16 + "0001020304050607" + "ff" * 232}
# Recorded consoles, the options of their runs, the verdict and why, the
# exit status it gives, and the report's files.
CONSOLES = [
    (GOOD_CONSOLE, ("--board", "all"), ("pass", ""), 0, GOOD_FILES),
    (NO_EEPROM, (), ("fail", "line 2 is 'I2C_RDWR err ', where the good run "
                     "has 'rd_buf is :0'"), 1, {**GOOD_FILES, "output": NO_BUS}),
    (CASE_FAILED, ("--lava-test",), ("fail", "LAVA's case transfers failed"),
     1, {**GOOD_FILES, "lava": "".join(
         line + "\n" for line in CASE_FAILED.splitlines()
         if line.startswith("<LAVA_SIGNAL"))}),
    (BEFORE_FAILS, BEFORE, ("error", "--before command 2 failed with exit "
                            "status 1, so msgs_iic did not run: i2ctransfer "
                            "-y 0 w1@0x51 0x00"), 2, {
        "before": "i2ctransfer: I2C_RDWR: Remote I/O error\n",
        "eeprom": "ff" * 256,
        "failed": "--before command 2 failed with exit status 1, so msgs_iic "
                  "did not run: i2ctransfer -y 0 w1@0x51 0x00\n"
                  "i2ctransfer: I2C_RDWR: Remote I/O error\n"}),
    (UNFINISHED, (), ("error", "timed out after 1 s: the board did not boot "
                      "or hung (expected the board's @@done, last saw "
                      "'@@centiseconds 206'; console: @log)"), 2, {}),
    (PANIC, (), ("error", "the run on the board failed: [    3.2] Kernel "
                 "panic - not syncing: Attempted to kill init! (console: "
                 "@log)"), 2, {}),
    ("", (), ("error", "timed out after 1 s: the board did not boot or hung "
              "(expected the board's @@done, saw nothing; console: @log)"),
     2, {}),
]
IDS = ["good", "no-eeprom", "case-failed", "before-fails", "unfinished", "panic",
       "silent"]


def recorded_run(tmp_path: Path, recorded: str, argv: tuple[str, ...]
                 ) -> tuple[marks.Results, Options]:
    """A recorded console read as board/run reads a boot's."""
    boot = watched(tmp_path, recorded, timeout=1)
    run = options(*argv, "--timeout", "1")
    if run.every_board:
        run = replace(run, checks=(verdict.READ_BACK,))
    return marks.collect(boot, run), run


@pytest.mark.parametrize("recorded, argv, judged, status, report", CONSOLES,
                         ids=IDS)
def test_console_to_results(tmp_path: Path, recorded: str,
                            argv: tuple[str, ...], judged: tuple[str, str],
                            status: int, report: dict[str, str]) -> None:
    """The console's markers as the run's results, its report's files,
    the verdict and board/run's exit status; a run that did not finish
    says why."""
    found, run = recorded_run(tmp_path, recorded, argv)
    written = files.files(found)
    judged = (judged[0], judged[1].replace("@log", str(found.run.console_log)))
    assert verdict.judge(found, run)[:2] == judged
    row = verdict.row(found, run, None)
    assert verdict.exit_status([row]) == status
    shown = {name: content.hex() if name == "eeprom" else content.decode()
             for name, content in written.items()
             if name not in ("console", "trace", "kernel", "packages", "wall",
                             "bus.vcd", "error", "error.log")}
    assert shown == report
    if found.error:
        assert written["error"].decode() == f"{judged[1]}\n"
        assert written["error.log"].decode().startswith("==> console <==\n")
        assert all(written.values()), "a report of a run that did not " \
            "finish has no empty files"
        files.publish(found, tmp_path / "report")
        assert all(path.stat().st_size for path in (tmp_path / "report").iterdir())


def documented_fields() -> set[str]:
    """The JSON's fields as doc/boards.md lists them, "rows[].name" and so."""
    text = (TOP / "doc" / "boards.md").read_text()
    section = text.split("## Results for CI")[1].split("\n## ")[0]
    return {name for line in re.findall(r"^\| (`.*?) \|", section, re.M)
            for name in re.findall(r"`([a-z_\[\].]+)`", line)}


def fields(value: object, name: str = "") -> set[str]:
    """Every field of a JSON value, as the doc names them; the cases' names
    are the cases', not the layout's."""
    if isinstance(value, dict):
        return set().union(*({f"{name}{key}"} | (
            set() if key == "cases" else fields(item, f"{name}{key}."))
            for key, item in value.items()))
    if isinstance(value, list):
        return set().union(set(), *(fields(item, name.rstrip(".") + "[].")
                                    for item in value))
    return set()


def text_values(value: object) -> list[object]:
    if isinstance(value, dict):
        return [v for key, item in value.items()
                if key not in ("output", "stderr") for v in text_values(item)]
    if isinstance(value, list):
        return [v for item in value for v in text_values(item)]
    return [value]


def test_results_for_machines(tmp_path: Path) -> None:
    """Every recorded run as a row of --results' JSON and --junit's XML:
    the JSON with the fields its guide lists and null for none; the XML
    read back by junitparser, as CI tools read it: a testsuite a row, a
    testcase a case, failures and errors with the reason as their text, the
    output beside them, counts right at both levels; the worst row's exit
    status is the run's."""
    rows = []
    for n, (recorded, argv, _, _, _) in enumerate(CONSOLES):
        (tmp_path / str(n)).mkdir()
        found, run = recorded_run(tmp_path / str(n), recorded, argv)
        rows.append(replace(verdict.row(found, run, None), name=IDS[n]))
    machine.write(rows, tmp_path / "results.json", tmp_path / "junit.xml")
    assert sorted(path.name for path in tmp_path.glob("*.*")) == [
        "junit.xml", "results.json"]
    written = json.loads((tmp_path / "results.json").read_text())
    assert fields(written) == documented_fields()
    assert "" not in text_values(written) and "-" not in text_values(written)
    assert (written["schema"], written["stopped"]) == (1, None)
    listed = written["rows"]
    assert [(r["name"], r["verdict"], r["board"], r["program"], r["driver"])
            for r in listed] == [(name, judged[0], "vexpress", "armhf",
                                  "i2c-versatile")
                                 for name, (_, _, judged, _, _) in zip(IDS, CONSOLES)]
    assert listed[0]["cases"] == dict.fromkeys(
        (*verdict.CASES, "i2ctransfer"), "pass")
    assert (listed[0]["seconds"], listed[0]["kernel"]) == (2.06, "6.1.0-57-armmp")
    assert (listed[0]["output"], listed[0]["why"]) == (GOOD, None)
    assert listed[0]["commands"] == [{
        "step": "check", "command": verdict.READ_BACK, "status": 0,
        "output": "0x00 0x01 0x02 0x03 0x04 0x05 0x06 0x07\n"}]
    assert listed[3]["commands"][1]["status"] == 1
    assert listed[3]["output"] is None
    xml = junitparser.JUnitXml.fromfile(str(tmp_path / "junit.xml"))
    counts = (xml.tests, xml.failures, xml.errors)
    xml.update_statistics()
    assert counts == (xml.tests, xml.failures, xml.errors)
    suites = list(xml)
    assert [suite.name for suite in suites] == IDS
    for suite, row in zip(suites, rows):
        counts = (suite.tests, suite.failures, suite.errors)
        suite.update_statistics()
        assert counts == (suite.tests, suite.failures, suite.errors), row.name
        assert suite.hostname and re.fullmatch(
            r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d", suite.timestamp)
        results = {case.name: case.result for case in suite}
        failed = [name for name, result in results.items()
                  if any(isinstance(r, junitparser.Failure) for r in result)]
        errors = [name for name, result in results.items()
                  if any(isinstance(r, junitparser.Error) for r in result)]
        assert failed == [case for case, result in row.cases.items()
                          if result != "pass"], row.name
        assert errors == (["board"] if row.verdict == "error" else []), row.name
        for case in suite:
            for result in case.result:
                assert result.message == result.text == row.why, row.name
                assert case.system_out == (row.output or None), row.name
                assert f"board: {row.verdict}: {row.why}\n" in case.system_err
                assert row.console.splitlines()[-1:] == [] or \
                    row.console.splitlines()[-1] in case.system_err
    assert verdict.exit_status(rows) == 2
    assert verdict.exit_status(rows[:3]) == 1
    assert verdict.exit_status(rows[:1]) == 0


SSH_GOOD = (DATA / "ssh-good.console").read_text()
KEPT = ("msgs_iic_on: kept the 8 bytes at 0x10 and put them back: read back, "
        "they match: b0 b1 b2 b3 b4 b5 b6 b7")
NOT_PUT_BACK = ("msgs_iic_on: the restore failed: the 8 bytes at 0x10 were b0 b1 "
                "b2 b3 b4 b5 b6 b7, and read back 00 01 02 03 04 05 06 07; put "
                "them back with: i2ctransfer -y 0 w9@0x50 0x10 0xb0 0xb1 0xb2 "
                "0xb3 0xb4 0xb5 0xb6 0xb7 (the journal /var/lib/msgs_iic/i2c-0 "
                "keeps them)")
REFUSED = ("msgs_iic_on: refused: the adapter's name says it is a PC's SMBus or "
           "a display's channel, where SPD and EDID EEPROMs live at 0x50 "
           "(--force writes anyway)")


def said(recorded: str, stderr: str, status: int, output: str = GOOD) -> str:
    """The recorded session with what msgs_iic_on printed, its status and
    msgs_iic's output replaced."""
    for name, text in (("stderr", stderr), ("output", output)):
        recorded = re.sub(rf"(?<=^@@begin {name}\n).*?(?=^@@end {name}$)",
                          base64.encodebytes(text.encode()).decode(), recorded,
                          flags=re.M | re.S)
    return re.sub(r"^@@status \d+$", f"@@status {status}", recorded, flags=re.M)


@pytest.mark.parametrize("recorded, judged, status, kept", [
    (SSH_GOOD, ("pass", ""), 0, ("b0 b1 b2 b3 b4 b5 b6 b7",) * 2),
    (said(SSH_GOOD, NOT_PUT_BACK + "\n", 3), ("fail", NOT_PUT_BACK.removeprefix(
        "msgs_iic_on: ")), 1, ("b0 b1 b2 b3 b4 b5 b6 b7", "00 01 02 03 04 05 06 07")),
    (said(SSH_GOOD, REFUSED + "\n", 2, ""), ("error", REFUSED.removeprefix(
        "msgs_iic_on: ")), 2, ("", "")),
], ids=["kept", "not-put-back", "refused"])
def test_ssh_session_to_results(tmp_path: Path, recorded: str,
                                judged: tuple[str, str], status: int,
                                kept: tuple[str, str]) -> None:
    """A recorded SSH session, read by the same console loop and marks as a
    boot: the verdict, and what a real board adds to the report and the
    row: its adapter, the eight bytes before and after, msgs_iic_on's line;
    a restore that failed fails the row, with the bytes and the command."""
    run = replace(watched(tmp_path, recorded), name="root@board", board="root@board",
                  via="SSH", trace_style="none", packages="",
                  facts={"host": "board", "user": "root", "machine": "armv7l",
                         "adapter": "Versatile I2C adapter",
                         "driver": "versatile-i2c"})
    found = marks.collect(run, options("--ssh", "root@board", "--yes"))
    row = verdict.row(found, options("--ssh", "root@board", "--yes"), None)
    assert (row.verdict, row.why) == judged
    assert verdict.exit_status([row]) == status
    assert (row.adapter, row.eeprom_before, row.eeprom_after) == (
        "Versatile I2C adapter", *kept)
    written = files.files(found)
    assert "trace" not in written and "packages" not in written
    assert written["board"].decode().splitlines()[3] == \
        "adapter Versatile I2C adapter"
    assert written["before"] == b"before\n" and written["after"] == b"after\n"
    if kept[0]:
        assert written["bytes"].decode() == f"before {kept[0]}\nafter {kept[1]}\n"
        assert written["restore"].decode() == f"{row.restore}\n"


# When the recorded console's lines came, at a twentieth of a vexpress
# boot's speed: the kernel's first line, /init's marks, its last line.
PACE = (("[    0.000000] Booting", 0.07), ("@@init", 0.08), ("@@program", 0.11),
        ("@@done", 0.23))


def paced(console: str) -> str:
    """A shell script that prints the console at PACE, each mark's line
    and what comes before it at the mark's time."""
    steps, done, before = [], 0, 0.0
    for mark, at in PACE:
        end = console.index("\n", console.index(mark, done)) + 1
        steps += [f"sleep {at - before:.2f}",
                  f"printf %s {shlex.quote(console[done:end])}"]
        done, before = end, at
    return "; ".join(steps + [f"printf %s {shlex.quote(console[done:])}", "sleep 30"])


def test_bench(tmp_path: Path) -> None:
    """--bench's table from boots of a recorded console with its times, read
    by the console loop as it reads QEMU: a row for the board, each point's
    minimum and median; a point no boot reached is "-"."""
    boots = []
    for n in range(3):
        feeder = subprocess.Popen(["sh", "-c", paced(GOOD_CONSOLE)],
                                  stdout=subprocess.PIPE)
        started = time.monotonic()
        ending = console.wait_for(feeder, tmp_path / "console", 5, started)
        seconds = round(time.monotonic() - started, 2)
        feeder.kill()
        feeder.wait()
        assert feeder.stdout is not None
        feeder.stdout.close()
        boots.append(booted(tmp_path / "console", ending, seconds))
    for boot in boots:
        found = bench.points(boot)
        assert list(found) == ["console", "init", "program", "end"]
        for (_, at), key in zip(PACE, found):
            assert at <= found[key] < at + 0.1, (key, found)
    unfinished = booted(tmp_path / "none", console.Ending("timeout", ""))
    # msgs_iic_on's time after the program's: its status, and the
    # program's own centiseconds, as the boot's marks gave them.
    keeps = [bench.keep_cost(marks.Results(boots[0], (), None, None,
                                           after_each=(said,), centiseconds=cs))
             for said, cs in ((b"12.30 14.35 0\n", 203), (b"3.00 5.05 0\n", 201),
                              (b"3.00 5.04 2\n", 201), (b"3.00 5.04 0\n", None),
                              (b"", 201))]
    assert keeps[2:] == [None, None, None], "no cost where either did not run"
    table = bench.table([("vexpress", "armhf", "restored", boots, 3, keeps),
                         ("raspi2b", "armhf", "cold", [unfinished], 0, [None])])
    assert table[:2] == [
        "seconds from QEMU's start to each point of a boot, minimum / median; "
        "keep: what msgs_iic_on adds to msgs_iic's own time on the board",
        "board        program  boot      good   console        /init          "
        "msgs_iic       end            keep"]
    cells = re.fullmatch(r"vexpress     armhf    restored  3/3    (.*)", table[2])
    assert cells, table[2]
    *points, keep = re.split(r"\s{2,}", cells.group(1))
    for (_, at), cell in zip(PACE, points):
        low, middle = (float(value) for value in cell.split(" / "))
        assert at <= low <= middle < at + 0.1, cell
    assert keep == "0.02 / 0.03"
    assert table[3].split() == ["raspi2b", "armhf", "cold", "0/1", "-", "-",
                                "-", "9.00", "/", "9.00", "-"]


def zimage(payload: bytes) -> bytes:
    """An ARM zImage's shape: the magic at 0x24, a false xz signature in
    the decompressor's code, the payload, its size, padding."""
    head = bytes(0x24) + struct.pack("<I", 0x016F2818) + bytes(0x100)
    return head + kernel.XZ + b"code" + payload + bytes(64)


IMAGE = random.Random(1).randbytes(16384)   # xz cannot shrink it
XZ_IMAGE = lzma.compress(IMAGE, format=lzma.FORMAT_XZ) + struct.pack("<I", len(IMAGE))


@pytest.mark.parametrize("file, line", [
    (zimage(XZ_IMAGE), None),
    (zimage(XZ_IMAGE[:-2000]), "vmlinuz is cut short: its xz payload has no end"),
    (zimage(gzip.compress(IMAGE)), "vmlinuz's payload is not xz: board/run "
     "unpacks xz zImages"),
    (gzip.compress(IMAGE), "vmlinuz is not an ARM zImage (no magic at 0x24)"),
], ids=["whole", "cut-short", "gzip", "not-a-zimage"])
def test_unpack_zimage(file: bytes, line: str | None) -> None:
    """The Image out of a zImage; one plain line for what is not one."""
    if line is None:
        assert kernel.payload(file, "vmlinuz") == IMAGE
    else:
        with pytest.raises(Stop, match=f"^{re.escape(line)}$"):
            kernel.payload(file, "vmlinuz")


def test_unpacked_kernel(tmp_path: Path) -> None:
    """The cached armhf kernel's Image, as unpacked when the cache was
    filled, is its zImage's payload; it boots at 0x208000 above the RAM
    base (ARCH_MESON), from a uImage with a legacy header; an Image that
    lost bytes since is refused before booting."""
    part = cache.current(cache.root(), "kernel-armmp")
    if part is None:
        pytest.skip("no armhf kernel in the cache")
    image = (part.folder / "Image").read_bytes()
    assert kernel.payload((part.folder / "vmlinuz").read_bytes(), "vmlinuz") == image
    assert (part.folder / "image").read_text() == f"{len(image)} 0x208000\n"
    wrapped = kernel.uimage(part.folder, 0x60000000, tmp_path / "uImage").read_bytes()
    fields = list(kernel.UIMAGE.unpack(wrapped[:64]))
    assert fields[3:11] == [len(image), 0x60208000, 0x60208000,
                            zlib.crc32(image), 5, 2, 2, 0]
    assert (fields[0], wrapped[64:]) == (0x27051956, image)
    crc, fields[1] = fields[1], 0
    assert crc == zlib.crc32(kernel.UIMAGE.pack(*fields))
    shutil.copytree(part.folder, tmp_path / "part",
                    ignore=shutil.ignore_patterns("dtbs", "modules"))
    with (tmp_path / "part" / "Image").open("r+b") as cut:
        cut.truncate(len(image) - 1)
    with pytest.raises(Stop, match=r"Image is \d+ bytes, not \d+: remove "):
        kernel.uimage(tmp_path / "part", 0x60000000, tmp_path / "uImage")


# QEMU's trace of the program's write and read on vexpress, as recorded,
# with the lines that repeat the one before left out.
TRACE = (DATA / "vexpress.trace").read_text().splitlines()
EVENTS = [line for line in TRACE if line.startswith("i2c_")]
LOAD = ["i2c_event start(addr:0x50)", "i2c_send send(addr:0x50) data:0x00",
        "i2c_send send(addr:0x50) data:0xff", "i2c_event finish(addr:0x50)"]
DUMP = ["i2c_event start(addr:0x50)", "i2c_send send(addr:0x50) data:0x00",
        "i2c_event start_async(addr:0x50)",
        "i2c_recv recv(addr:0x50) data:0xff", "i2c_event nack(addr:0x50)",
        "i2c_event finish(addr:0x50)"]


@pytest.mark.parametrize("trace, first, last, kept", [
    (LOAD + TRACE + DUMP, True, True, EVENTS),     # a writable chip
    (TRACE + DUMP, False, True, EVENTS),           # a write-protected one
    (TRACE, False, False, EVENTS),                 # no chip
    (LOAD + DUMP, True, True, []),                 # no program run
    ([], True, True, []),                          # no bus traffic at all
])
def test_cut_trace(trace: list[str], first: bool, last: bool,
                   kept: list[str]) -> None:
    """QEMU's I2C events without /init's own transactions."""
    assert list(bus.cut_trace(trace, first, last)) == kept


def decoded_write(*data: str) -> list[str]:
    acked = [line for byte in data for line in (f"Data write: {byte}", "ACK")]
    return ["Start", "Write", "Address write: 50", "ACK", *acked, "Stop"]


def decoded_read(word: str, *data: str) -> list[str]:
    """An address write, a repeated START, a read NACKed on its last byte."""
    acked = [line for byte in data for line in (f"Data read: {byte}", "ACK")]
    return ["Start", "Write", "Address write: 50", "ACK", f"Data write: {word}",
            "ACK", "Start repeat", "Read", "Address read: 50", "ACK",
            *acked[:-1], "NACK", "Stop"]


WRITE = decoded_write("10", *(f"{n:02x}" for n in range(8)))
READ = decoded_read("10", *(f"{n:02x}" for n in range(8)))


@pytest.mark.parametrize("copies, first, last, decoded", [
    (1, False, False, WRITE + READ),
    (2, True, True, READ + WRITE),
    (1, True, False, READ),
    (0, False, False, []),   # a trace without the lines: no waveform
])
def test_trace_to_vcd(tmp_path: Path, copies: int, first: bool, last: bool,
                      decoded: list[str]) -> None:
    """The SDA and SCL lines as a waveform that sigrok's decoder reads as
    the transactions, every ACK and the repeated START; /init's own cut."""
    vcd = bus.wire_vcd("vexpress", TRACE * copies, first, last)
    assert (vcd is None) == (copies == 0)
    if vcd is None:
        return
    assert vcd.startswith("$comment\n  SCL and SDA of the bus that vexpress's ")
    levels = [tuple(row.split()[1:]) for row in bus.vcd_levels(vcd)]
    starts = sum(1 for before, after in zip(levels, levels[1:])
                 if before == ("1", "1") and after == ("1", "0"))
    assert starts == decoded.count("Start") + decoded.count("Start repeat")
    if shutil.which("sigrok-cli") is None:
        pytest.skip("sigrok-cli is not installed")
    (tmp_path / "bus.vcd").write_text(vcd)
    assert bus.decode(tmp_path / "bus.vcd") == decoded


def test_lava_definition() -> None:
    """The test definition as LAVA takes it: inline in a job for the qemu
    device type, in LAVA's own schema, strictly; and its steps as board/run
    runs them in the guest."""
    yaml = pytest.importorskip("yaml")
    schemas = pytest.importorskip("lava_common.schemas")
    definition = yaml.safe_load((TOP / lava_shell.DEFINITION).read_text())
    run = options("--board", "vexpress", "--lava", "jobs", "--lava-repo",
                  "https://git.invalid")
    job = yaml.safe_load(jobs.job(run.targets[0], run, "https://files.invalid"))
    job["actions"][2]["test"]["definitions"] = [{
        "repository": definition, "from": "inline", "path": "inline/msgs-iic.yaml",
        "name": "msgs-iic"}]
    schemas.validate(job, strict=True)
    assert lava_shell.steps() == definition["run"]["steps"]


@pytest.mark.parametrize("script", ["board/test-run", "lava/msgs-iic.sh"])
@pytest.mark.parametrize("uptime, centiseconds", [
    ("0.05", 5), ("0.57", 57), ("0.89", 89), ("10.00", 1000), ("123.40", 12340)])
def test_uptime(script: str, uptime: str, centiseconds: int) -> None:
    """The guest's clock in centiseconds, as both scripts count it: a
    leading 0 in the hundredths is not octal."""
    text = (TOP / script).read_text()
    found = re.search(r"^centiseconds\(\) \{\n.*?^\}\n", text, re.M | re.S)
    assert found, f"{script} has no centiseconds()"
    done = subprocess.run(["sh", "-c", f"{found.group(0)}centiseconds {uptime}"],
                          capture_output=True, text=True)
    assert (done.stdout, done.stderr) == (f"{centiseconds}\n", "")


# apt-get update's own lines, as recorded here: today's mirror mid-sync, a
# proxy that spoiled or lost an index nothing needs, no mirror at all.
MID_SYNC = ("E: Failed to fetch http://deb.debian.org/debian-security/dists/"
            "bookworm-security/main/binary-armhf/Packages.xz  File has "
            "unexpected size (359552 != 360800). Mirror sync in progress? "
            "[IP: 203.0.113.80 80]\n")
HASH = ("E: Failed to fetch http://deb.debian.org/debian/dists/bookworm-"
        "backports/main/binary-armhf/by-hash/SHA256/01bcadbe0b9098b3d23415b"
        "37260e50706e6b1d37256f71ed1b5f03552fe65ef  Hash Sum mismatch\n")
NOT_FOUND = ("E: Failed to fetch http://deb.debian.org/debian/dists/bookworm-"
             "backports/main/binary-armhf/Packages  404  Not Found [IP: "
             "127.0.0.1 8123]\n")
UNREACHABLE = "".join(
    f"W: Failed to fetch http://deb.debian.org/{path}/InRelease  Unable to "
    "connect to 127.0.0.1:9:\n" for path in (
        "debian/dists/bookworm", "debian/dists/bookworm-updates",
        "debian-security/dists/bookworm-security"))
USERLAND = ("busybox-static", "i2c-tools", "libi2c0", "libc6")
GOING_ON = "could not be fetched ({}); going on without it"


@pytest.mark.parametrize("output, found, said", [
    ("", USERLAND, []),
    (MID_SYNC, USERLAND,
     ["bookworm-security (armhf) " + GOING_ON.format("mirror mid-sync?")]),
    (HASH + MID_SYNC, USERLAND,
     ["bookworm-backports (armhf) " + GOING_ON.format("mirror mid-sync?"),
      "bookworm-security (armhf) " + GOING_ON.format("mirror mid-sync?")]),
    (NOT_FOUND + NOT_FOUND, USERLAND,
     ["bookworm-backports (armhf) " + GOING_ON.format("not on the mirror")]),
    (UNREACHABLE, (), "Debian's armhf busybox-static cannot be had: bookworm "
     "(armhf), bookworm-updates (armhf) and bookworm-security (armhf) could "
     "not be fetched (see log/board.log)"),
    (MID_SYNC, USERLAND[1:], "Debian's armhf busybox-static cannot be had: "
     "bookworm-security (armhf) could not be fetched (see log/board.log)"),
    ("", USERLAND[:3], "Debian's armhf libc6 cannot be had: no index lists "
     "it (see log/board.log)"),
], ids=["healthy", "mid-sync", "hash-mismatch", "404", "unreachable",
        "needed-index-failed", "not-in-debian"])
def test_failed_indexes(output: str, found: tuple[str, ...],
                        said: list[str] | str) -> None:
    """A failed index is named and costs nothing while every package the
    run needs came with the others; else the run stops, naming the first
    package missing and the indexes that failed."""
    failed = archive.failures(
        f"Get:1 ...\n{output}Reading package lists...\n", "armhf")
    stanzas: dict[str, dict[str, str]] = {name: {} for name in found}
    if isinstance(said, str):
        with pytest.raises(Stop, match=f"^{re.escape(said)}$"):
            archive.check_wanted("armhf", failed, USERLAND, stanzas)
    else:
        assert archive.check_wanted("armhf", failed, USERLAND, stanzas) == said


# lava-run's log of the vexpress job, its results alone; and the end of one
# that QEMU refused to start.
LAVA_LOG = (DATA / "vexpress-lava.log").read_text()
REFUSED = (
    '{"dt": "2026-12-09T14:04:27.855855", "lvl": "results", "msg": {"case": '
    '"boot-image-retry", "definition": "lava", "duration": "0.13", "extra": '
    '{"fail": "Connection closed"}, "level": "2", "namespace": "common", '
    '"result": "fail"}}\n'
    '{"dt": "2026-12-09T14:04:27.999667", "lvl": "results", "msg": {"case": '
    '"job", "definition": "lava", "error_msg": "Connection closed", '
    '"error_type": "Infrastructure", "result": "fail"}}\n')


@pytest.mark.parametrize("log, cases, job, passed, status", [
    (LAVA_LOG, ["pass"] * 5 + ["pass 2.06 s"], "pass", True, 0),
    (LAVA_LOG.replace('"case": "read-back", "definition": "0_msgs-iic", '
                      '"endtc": ! "443", "result": "pass"',
                      '"case": "read-back", "definition": "0_msgs-iic", '
                      '"endtc": ! "443", "result": "fail"'),
     ["pass", "pass", "fail", "pass", "pass", "pass 2.06 s"], "pass", False, 1),
    (REFUSED, ["-"] * 6, "fail (Infrastructure)", False, 2),
    ("", ["-"] * 6, "fail", False, 2),
], ids=["good", "a-case-failed", "qemu-refused", "no-log"])
def test_lava_verdict(log: str, cases: list[str], job: str, passed: bool,
                      status: int) -> None:
    """LAVA's verdict from lava-run's log, a case by case and the job's:
    it passes only when every case and the job did; as a row, a failed
    case fails it and a failed job gives no verdict, as exit statuses 1
    and 2, with the time case's seconds."""
    found = dispatch.verdict(log, 10)
    row = dispatch.table([("vexpress", "armhf", found)])[1]
    assert [found.cases.get(case, "-") for case in dispatch.CASES] == cases
    assert (found.job, dispatch.passed(found)) == (job, passed)
    assert row.endswith(f"{job:<22} 10 s")
    judged = modes.lava_row(EVERY[0], found, "6.1.0-50-armmp")
    assert verdict.exit_status([judged]) == status
    assert (judged.seconds, judged.wall, judged.kernel) == (
        2.06 if cases[0] == "pass" else None, 10, "6.1.0-50-armmp")


# Every board and program, as --board all has them.
EVERY = options("--board", "all").targets


@pytest.mark.parametrize("target", EVERY, ids=[t.name for t in EVERY])
def test_lava_device(tmp_path: Path, target: boards.Target) -> None:
    """Each board's job against lava-server's own qemu template and its
    defaults, rendered as the server renders it: the command line that the
    dispatcher would run names the record's CPU and memory, and QEMU itself
    takes it, with no warning but, on the raspis, that the template's NIC
    has nothing to go on."""
    yaml = pytest.importorskip("yaml")
    templates = cache.current(cache.root(), "lava-server")
    if templates is None or shutil.which(target.board.qemu) is None:
        pytest.skip("no lava-server templates in the cache, or no QEMU")
    board = target.board
    run = options("--board", board.name, "--arch", target.arch)
    device = dispatch.device(templates.folder / "device-types",
                             jobs.qemu_context(board, run), tmp_path)
    qemu = yaml.safe_load(device.read_text())["actions"]["boot"]["methods"][
        "qemu"]["parameters"]
    line = [qemu["command"], *shlex.split(" ".join(qemu["options"]
                                                   + qemu["extra"]))]
    assert line[0] == board.qemu
    assert line[line.index("-cpu") + 1] == board.cpu
    assert line[line.index("-machine") + 1] == board.machine[1]
    assert line[line.index("-m") + 1] == str(board.memory or 512)
    done = subprocess.run(["timeout", "2", *line, "-S"], capture_output=True,
                          text=True, stdin=subprocess.DEVNULL)
    assert done.returncode == 124, f"QEMU refused: {done.stderr}"
    warnings = [line for line in done.stderr.splitlines()
                if "terminating on signal" not in line]
    nic = ["warning: hub port hub0port0 has no peer", "warning: hub 0 with no "
           "nics", "warning: netdev hub0port0 has no peer", "warning: requested "
           "NIC (#net"]
    expected = [] if board.nic else nic
    assert len(warnings) == len(expected) and all(
        found.split(": ", 1)[1].startswith(warning)
        for found, warning in zip(warnings, expected)), warnings


class StandIn(http.server.BaseHTTPRequestHandler):
    """A LAVA server's REST API as recorded: its answer to each path, 404
    to any other, and 401 to a token other than its own."""
    answers: dict[str, object] = {}
    token = "recorded"

    def do_GET(self) -> None:
        self.answer()

    def do_POST(self) -> None:
        self.answer()

    def answer(self) -> None:
        path = self.path.split("/api/v0.2/", 1)[-1]
        status, body = ((401, {"detail": "Invalid token."})
                        if self.headers["Authorization"] != f"Token {self.token}"
                        else (200, self.answers[path]) if path in self.answers
                        else (404, {"detail": "Not found."}))
        if isinstance(body, tuple):
            status, body = body
        data = json.dumps(body).encode()
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def log_message(self, *args: object) -> None:
        pass


def stand_in(answers: dict[str, object]) -> AbstractContextManager[str]:
    return dispatch.serving(type("Recorded", (StandIn,), {"answers": answers}))


WHOAMI = {"system/whoami/": {"user": "admin"}}


@pytest.mark.parametrize("server, token, line", [
    (None, "recorded", "no LAVA server answers at @url ([Errno 111] "
     "Connection refused)"),
    (WHOAMI, "wrong", "the LAVA server at @url refused the token (401: "
     "Invalid token.)"),
    ({"system/whoami/": {"user": ""}}, "recorded", "the LAVA server at @url "
     "refused the token (it knows no user by it)"),
    (WHOAMI, "", "--lava-submit needs the server's API token: set LAVA_TOKEN, "
     "or add a lavacli identity for @url"),
], ids=["no-server", "wrong-token", "anonymous", "no-token"])
def test_submit_refused(tmp_path: Path, server: dict[str, object] | None,
                        token: str, line: str) -> None:
    """Before anything is installed or built: one line and exit status 2
    for a server that does not answer, a token it refuses or none."""
    with stand_in(server or {}) as url:
        url = "http://127.0.0.1:9" if server is None else url
        done = subprocess.run(
            [TOP / "board" / "run", "--lava-submit", url], capture_output=True,
            text=True, env={**os.environ, "LAVA_TOKEN": token,
                            "HOME": str(tmp_path)})
    assert (done.returncode, done.stderr, done.stdout) == (
        2, f"board: {line.replace('@url', url)}\n", "")


def test_lavacli_identity(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    """Without LAVA_TOKEN, the token of lavacli's identity for the server."""
    (tmp_path / "lavacli.yaml").write_text(
        "remote:\n  token: other\n  uri: https://lab.invalid/RPC2\n"
        "  username: me\nlab:\n  token: 'ours'\n  uri: http://127.0.0.1:8000/RPC2\n"
        "  username: admin\n")
    monkeypatch.setattr(submit, "LAVACLI", tmp_path / "lavacli.yaml")
    monkeypatch.delenv("LAVA_TOKEN", raising=False)
    assert submit.token("http://127.0.0.1:8000") == "ours"
    with pytest.raises(Stop, match="needs the server's API token"):
        submit.token("http://127.0.0.1:8001")


# A LAVA server's answers, as recorded: job 1 on vexpress, job 2 on raspi3b
# without the EEPROM, whose cases failed while its health is "Complete".
REST = json.loads((DATA / "lava-rest.json").read_text())


def paged(answers: dict[str, object], path: str) -> dict[str, object]:
    """The answers with one listing split into two pages."""
    listing = answers[path]
    assert isinstance(listing, dict)
    first, rest = listing["results"][:2], listing["results"][2:]
    return {**answers, path: {**listing, "results": first, "next":
                              f"http://x/api/v0.2/{path}?offset=2"},
            f"{path}?offset=2": {**listing, "results": rest, "next": None}}


@pytest.mark.parametrize("answers", [REST, paged(REST, "jobs/1/suites/2/tests/")],
                         ids=["one-page", "two-pages"])
def test_lava_results(answers: dict[str, object]) -> None:
    """The server's own results, case by case, page after page, into
    --lava-submit's table; the job's health says nothing."""
    with stand_in(answers) as url:
        server = submit.Server(url, "recorded")
        seconds = submit.wait(server, [1, 2], 60)
        rows = [("vexpress", "armhf", submit.results(server, 1, seconds[1])),
                ("raspi3b", "armhf", submit.results(server, 2, seconds[2]))]
    table = dispatch.table(rows)
    assert [line.split()[2:11] for line in table[1:]] == [
        ["pass"] * 5 + ["pass", "2.10", "s", "pass"],
        ["pass", "fail", "fail", "pass", "fail", "pass", "0.04", "s", "pass"]]
    assert [line.split()[-1] for line in table] == [
        "url", f"{url}/scheduler/job/1", f"{url}/scheduler/job/2"]
    assert [dispatch.passed(found) for *_, found in rows] == [True, False]
    assert seconds == {1: 14, 2: 8}


@pytest.mark.parametrize("answers, call, line", [
    ({"jobs/": (400, {"message": "Problem with submitted job data: required "
                                 "key not provided @ data['actions']"})},
     lambda server: submit.send(server, "job_name: x\n"),
     "the LAVA server at @url rejected the job (400: Problem with submitted "
     "job data: required key not provided @ data['actions'])"),
    ({"jobs/3/": {"state": "Running"}},
     lambda server: submit.wait(server, [3], 1),
     "job 3 did not finish in 1 s: @url/scheduler/job/3"),
    ({"jobs/4/": {"state": "Submitted"}},
     lambda server: submit.wait(server, [4], 1),
     "job 4 did not start, Submitted after 1 s: @url/scheduler/job/4"),
], ids=["rejected", "did-not-finish", "did-not-start"])
def test_lava_submit_fails(answers: dict[str, object],
                           call: Callable[[submit.Server], object],
                           line: str) -> None:
    """A job the server rejects, with LAVA's message, and one that does
    not finish, or start, in time: one line each."""
    with stand_in(answers) as url:
        with pytest.raises(Stop) as stopped:
            call(submit.Server(url, "recorded"))
    assert str(stopped.value) == line.replace("@url", url)


@pytest.mark.parametrize("argv, line", [
    ([], "a command, please: up, down or status"),
    (["start"], "unknown command 'start'"),
    (["down", "--now"], "unknown command 'down --now'"),
])
def test_lab_bad_input(argv: list[str], line: str) -> None:
    done = subprocess.run([TOP / "lava" / "lab", *argv], capture_output=True,
                          text=True)
    assert (done.returncode, done.stderr, done.stdout) == (
        2, f"lab: {line}; see lava/lab --help\n", "")


SAVED = [board for board in boards.BOARDS if snapshot.savable(board)]


@pytest.mark.parametrize("board", SAVED, ids=[board.name for board in SAVED])
def test_saved_image_split(tmp_path: Path, board: boards.Board) -> None:
    """What a saved board's image keeps, and what goes on its disk: every
    file of the run on the disk, none left in the saved image, which names
    the disk and carries the modules that bring it up."""
    root, modules = tmp_path / "root", tmp_path / "modules"
    run_files = ["etc/board.conf", "etc/eeprom.img", "bin/msgs_iic",
                 "bin/msgs_iic_on", "bin/test-run", "test/program",
                 "test/before/001", "opt/root/usr/bin/msgs_iic",
                 "lava/steps"]
    for name in [*run_files, "init", "bin/busybox", "lib/modules/at24.ko"]:
        (root / name).parent.mkdir(parents=True, exist_ok=True)
        (root / name).write_text(name)
    modules.mkdir()
    for module in board.disk_modules:
        (modules / f"{module}.ko").write_text(module)
    disk = tmp_path / "run.img"
    snapshot.split(board, modules, disk, root)
    assert disk.stat().st_size == snapshot.DISK_BYTES
    listed = subprocess.run(["cpio", "-t", "--quiet"], input=disk.read_bytes(),
                            capture_output=True).stdout.decode().split()
    assert set(run_files) <= set(listed)
    kept = {str(path.relative_to(root)) for path in root.rglob("*")
            if path.is_file()}
    assert kept == {"init", "bin/busybox", "lib/modules/at24.ko",
                    "etc/board.conf",
                    *(f"lib/modules/{m}.ko" for m in board.disk_modules)}
    conf = (root / "etc" / "board.conf").read_text()
    assert f"bus_module={board.module}\n" in conf and "run_disk=" in conf


@pytest.mark.parametrize("change", [None, "a file", "the copy cut short"])
def test_saved_image_kept(tmp_path: Path, change: str | None) -> None:
    """A saved board's image is compressed once: a later run's own copy
    of the same files takes the kept one, whatever their times; files
    that differ, or a damaged copy, give an image of their own."""
    kept = tmp_path / "states" / "vexpress.initramfs"
    kept.parent.mkdir()
    images, copies = [], []
    for run in ("first", "second"):
        root = tmp_path / run / "root"
        (root / "bin").mkdir(parents=True)
        (root / "init").write_text("init 2" if change == "a file"
                                   and run == "second" else "init")
        image.make_initramfs(root, tmp_path / run / "initramfs.gz", kept)
        images.append(gzip.decompress((tmp_path / run / "initramfs.gz")
                                      .read_bytes()))
        copies.append({(path.name, path.stat().st_ino)
                       for path in kept.parent.iterdir()})
        if run == "first" and change == "the copy cut short":
            cut = kept.parent / next(iter(copies[0]))[0]
            cut.write_bytes(cut.read_bytes()[:100])
    assert (images[0] == images[1]) == (change != "a file")
    assert b"init 2" in images[1] if change == "a file" else True
    assert (copies[0] == copies[1]) == (change is None)
