# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 The msgs_iic authors

"""A board booted once and saved, and restored by the runs after it.

The first run boots the board until /init has loaded its modules and says
@@saved, before anything of the run is known, and saves QEMU's state with
QMP's migrate to a file in the cache; it goes on from there. A later run
starts QEMU with -incoming from that file: the board is back at @@saved in
a fraction of a second. Either way board/run then sends a go line, and
/init reads the run's own files (board.conf, the programs, the test, the
chip's image) from a disk: its contents are not part of a saved state, so
each run brings its own. -icount with sleep=off, on both sides, lets the
board's clock jump over the time it is idle.

A state is kept under a digest of the board and QEMU's command line, with
the key it was saved under beside it (the board's record, the kernel, the
guest's parts, QEMU's version, the command line) and the digest of the
state itself; a state whose key or digest does not match is never used."""

import fcntl
import hashlib
import json
import os
import shlex
import socket
import subprocess
import time
from collections.abc import Iterator
from contextlib import contextmanager
from pathlib import Path
from typing import Any, BinaryIO

from ..boards import Board, Target
from ..guest import cache, image
from ..guest.packages import Guest
from ..host.progress import LOG, TOP, Stop, say
from ..host.tools import qemu_version
from ..options import Options
from . import qemu
from .console import Ending, wait_for
from .marks import Run

# What a key holds: another format is another key.
FORMAT = 1
# The board's clock runs with the instructions it executes, 32 ns each,
# and skips ahead over the time its CPUs idle: a sleep(1) takes no wall
# time. A fixed rate, not shift=auto: auto slows the clock after each skip,
# and a bit-banged bus's udelay() then costs more instructions; and the
# board's time is the same on any host.
ICOUNT = ("-icount", "shift=5,sleep=off")
# What /init says once it waits for the go line.
SAVED = "@@saved"
# The disk of the run's files: always this size, since the board saw its
# size when it was saved. Sparse; the archive at its start.
DISK_BYTES = 64 << 20
DISK = "run.img"   # in the run's folder
BLOCK = 64 << 10   # what /init reads the archive in
# The disk in the guest: an SD card's number is its slot's alias, if any.
DEVICE = {"virtio": "/dev/vda", "sd": "/dev/mmcblk?"}
# The run's own files in the guest's image, which go on the disk instead.
RUN_FILES = ("etc/board.conf", "etc/eeprom.img", "bin/msgs_iic",
             "bin/msgs_iic_on", "bin/test-run", "test", "opt", "lava")


def savable(board: Board) -> bool:
    return board.run_disk != ""


def wanted(board: Board, options: Options) -> bool:
    return savable(board) and not options.cold


def split(board: Board, modules: Path, disk: Path, root: Path) -> None:
    """The run's files out of the image and onto the disk; the image keeps
    a board.conf of its own, which names the disk, and the disk's
    modules."""
    for module in board.disk_modules:
        image.copy(modules / f"{module}.ko", root / "lib" / "modules" / f"{module}.ko")
    files = disk.parent / "run-files"
    for name in RUN_FILES:
        if (root / name).exists():
            (files / name).parent.mkdir(parents=True, exist_ok=True)
            (root / name).rename(files / name)
    (root / "etc" / "board.conf").write_text(
        f"bus_module={board.module}\neeprom_bus=0\n"
        f"run_disk='{DEVICE[board.run_disk.split(',')[0]]}'\n"
        f"run_disk_modules='{' '.join(board.disk_modules)}'\n")
    archive = image.cpio(files)
    if len(archive) > DISK_BYTES:
        raise Stop(f"the run's files ({len(archive) >> 20} MB) do not fit "
                   f"the saved board's disk ({DISK_BYTES >> 20} MB): run with "
                   "--cold")
    with disk.open("wb") as out:
        out.write(archive)
        out.truncate(DISK_BYTES)
    beside(disk, "size").write_text(f"{len(archive)}\n")


def disk_devices(board: Board, disk: Path) -> list[str]:
    drive = f"file={disk},format=raw"
    if board.run_disk.startswith("sd"):
        return ["-drive", f"if={board.run_disk},{drive}"]
    return ["-drive", f"if=none,id=run,{drive},readonly=on",
            "-device", "virtio-blk-device,drive=run"]


def digest(data: bytes) -> str:
    return hashlib.sha256(data).hexdigest()


def file_digest(path: Path) -> str:
    with path.open("rb") as state:
        return hashlib.file_digest(state, "sha256").hexdigest()


def key(board: Board, line: list[str], run: Path, guest: Guest) -> str:
    """Everything that shapes the saved board, a line each: the command
    line with the run's folder as $RUN."""
    parts = {"format": str(FORMAT), "board": repr(board),
             "qemu": qemu_version(board.qemu),
             "kernel": guest.kernels[board.kernel].folder.name,
             "userland": guest.userland.folder.name,
             "init": digest((TOP / "board" / "init").read_bytes()),
             "dtb": digest((run / "board.dtb").read_bytes()),
             "line": shlex.join(arg.replace(str(run), "$RUN") for arg in line)}
    return "".join(f"{name} {value}\n" for name, value in parts.items())


def slot(board: Board, key_text: str) -> Path:
    """Where the board's state with this command line is kept: a new QEMU
    or kernel replaces it, and says so."""
    line = key_text.rsplit("\nline ", 1)[1]
    folder = cache.root() / "states"
    folder.mkdir(parents=True, exist_ok=True)
    return folder / f"{board.name}.{digest(line.encode())[:12]}"


def beside(where: Path, suffix: str) -> Path:
    return where.parent / f"{where.name}.{suffix}"


def usable(where: Path, key_text: str) -> str | None:
    """Why the state cannot be used, or None where it can: missing, saved
    under another key, or not the bytes that were saved."""
    state, kept = beside(where, "state"), beside(where, "key")
    if not state.exists() or not kept.exists():
        return "missing"
    held, _, saved = kept.read_text().rpartition("digest ")
    changed = [line.split()[0] for line, now in
               zip(held.splitlines(), key_text.splitlines()) if line != now]
    if changed or len(held.splitlines()) != len(key_text.splitlines()):
        return (f"it was saved with another {', '.join(changed) or 'key'}")
    if file_digest(state) != saved.strip():
        return "it is damaged (its digest does not match)"
    return None


def keep(where: Path, made: Path, key_text: str) -> None:
    """The new state in place whole: its key, with its digest, written
    last, so that a state torn between two runs fails its digest."""
    state, kept = beside(where, "state"), beside(where, "key")
    made.replace(state)
    new = beside(where, f"key.{os.getpid()}")
    new.write_text(f"{key_text}digest {file_digest(state)}\n")
    new.replace(kept)


@contextmanager
def saving(where: Path) -> Iterator[bool]:
    """True for the one run that saves the board's state; another run
    meanwhile boots the same way without saving."""
    with beside(where, "lock").open("a") as lock:
        try:
            fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            yield False
            return
        yield True


class QmpError(Exception):
    """What QEMU's QMP said of a command it did not carry out."""


def connect(path: Path, qemu_process: "subprocess.Popen[bytes]",
            seconds: float) -> tuple[socket.socket, BinaryIO]:
    """QMP on its socket, once QEMU has made it, in command mode."""
    deadline = time.monotonic() + seconds
    while True:
        link = socket.socket(socket.AF_UNIX)
        try:
            link.connect(str(path))
            break
        except (FileNotFoundError, ConnectionRefusedError):
            link.close()
            if qemu_process.poll() is not None or time.monotonic() > deadline:
                raise QmpError("QEMU did not start") from None
            time.sleep(0.005)
    reader = link.makefile("rb")
    try:
        reader.readline()   # the greeting
    except OSError:
        raise QmpError("QEMU ended") from None
    ask((link, reader), "qmp_capabilities")
    return link, reader


def ask(qmp: tuple[socket.socket, BinaryIO], command: str,
        **arguments: Any) -> Any:
    link, reader = qmp
    try:
        link.sendall(json.dumps({"execute": command,
                                 "arguments": arguments}).encode() + b"\n")
        lines = iter(reader.readline, b"")
        line = next(lines, b"")
    except OSError:
        line = b""
    while True:
        if not line:
            raise QmpError("QEMU ended")
        answer = json.loads(line)
        if "error" in answer:
            raise QmpError(answer["error"].get("desc", "an error"))
        if "return" in answer:
            return answer["return"]
        line = next(lines, b"")


def migrate(qmp: tuple[socket.socket, BinaryIO], into: Path) -> None:
    """The running board's state into the file, live: QEMU stops the board
    for the last pages only, and it is stopped once it is done."""
    ask(qmp, "migrate", uri=f"file:{into}")
    while True:
        found = ask(qmp, "query-migrate")
        if found.get("status") == "completed":
            return
        if found.get("status") in ("failed", "cancelled"):
            raise QmpError(found.get("error-desc", found["status"]))
        time.sleep(0.02)


def running(qmp: tuple[socket.socket, BinaryIO]) -> None:
    """Waits for the restored board to run: QEMU starts it once the state
    is loaded."""
    while (status := ask(qmp, "query-status")["status"]) != "running":
        if status not in ("inmigrate", "prelaunch"):
            raise QmpError(f"the board is {status}")
        time.sleep(0.005)


def boot(target: Target, options: Options, guest: Guest, work: Path) -> Run:
    """The run on a restored board, or where there is no state to restore
    (or it cannot be used), a boot that saves one on its way."""
    board, run = target.board, work / target.name
    disk = run / DISK
    modules = guest.kernel(board.kernel) / "modules"
    line, release = qemu.prepare(target, options, guest, work,
                                 split=lambda root: split(board, modules, disk, root))
    machine = line.index("-M") + 1
    line[machine] = ",".join((line[machine], *board.saved_with))
    line += [*ICOUNT, *disk_devices(board, disk),
             "-qmp", f"unix:{run / 'qmp.sock'},server=on,wait=off"]
    key_text = key(board, line, run, guest)
    where = slot(board, key_text)
    why = "refreshed" if options.refresh else usable(where, key_text)
    if why is None:
        restored = restore(target, options, line, where, release, guest, work)
        if isinstance(restored, Run):
            return restored
        why = restored
    if why not in ("missing", "refreshed"):
        say(f"the saved state of {board.name} is not used: {why}; booting "
            "it afresh, and saving it anew")
    return save(target, options, line, where, key_text, release, guest, work)


def started(target: Target, release: str, how: str) -> None:
    arch = "" if target.arch == "armhf" else f" (msgs_iic for {target.arch})"
    say(f"{how} {target.board.name} with kernel {release}{arch}")


def restore(target: Target, options: Options, line: list[str], where: Path,
            release: str, guest: Guest, work: Path) -> Run | str:
    """The run on the board as it was saved; or, where QEMU could not load
    the state, why."""
    run = work / target.name
    console_log = LOG.parent / f"{target.name}.console"
    started(target, release, "restoring")
    began = time.monotonic()
    with (run / "qemu.err").open("wb") as err:
        process = qemu.start_qemu(
            [*line, "-incoming", f"file:{beside(where, 'state')}"], err)
        try:
            qmp = connect(run / "qmp.sock", process, options.timeout)
            running(qmp)
        except QmpError as error:
            qemu.stop(process)
            return f"QEMU could not load it ({last_message(run) or error})"
        try:
            go(process, run / DISK)
            ending = wait_for(process, console_log, options.timeout, began)
        finally:
            qemu.stop(process)
    return qemu.record(target, guest, release, console_log, ending,
                       time.monotonic() - began, work)


def last_message(run: Path) -> str:
    said = (run / "qemu.err").read_text(errors="replace").strip()
    return said.splitlines()[-1] if said else ""


def go(process: "subprocess.Popen[bytes]", disk: Path) -> None:
    """The go line, with the length of the disk's archive in 64 KiB
    blocks."""
    assert process.stdin is not None
    blocks = -(-int(beside(disk, "size").read_text()) // BLOCK)
    process.stdin.write(f"go {blocks}\n".encode())
    process.stdin.flush()


def save(target: Target, options: Options, line: list[str], where: Path,
         key_text: str, release: str, guest: Guest, work: Path) -> Run:
    """A boot to @@saved, the state saved there where no other run is
    saving it, and the run from there."""
    board, run = target.board, work / target.name
    console_log = LOG.parent / f"{target.name}.console"
    started(target, release, "booting")
    began = time.monotonic()
    with (run / "qemu.err").open("wb") as err, saving(where) as first:
        process = qemu.start_qemu(line, err)
        try:
            qmp = connect(run / "qmp.sock", process, options.timeout)
            ending = wait_for(process, console_log, options.timeout, began,
                              success=SAVED)
            if ending.kind == "done":
                if first:
                    store(board, qmp, where, key_text)
                go(process, run / DISK)
                rest = wait_for(process, console_log, options.timeout, began,
                                append=True)
                ending = Ending(rest.kind, rest.line,
                                {**ending.times, **rest.times})
        except QmpError as error:
            said = last_message(run)
            ending = Ending("fail", said or f"QEMU's QMP: {error}")
        finally:
            qemu.stop(process)
    return qemu.record(target, guest, release, console_log, ending,
                       time.monotonic() - began, work)


def store(board: Board, qmp: tuple[socket.socket, BinaryIO], where: Path,
          key_text: str) -> None:
    """The board's state into the cache, whole or not at all; the board
    runs on."""
    made = beside(where, f"new.{os.getpid()}")
    say(f"saving {board.name}'s state for the runs after this one")
    try:
        migrate(qmp, made)
        keep(where, made, key_text)
    except QmpError as error:
        say(f"{board.name} cannot be saved ({error}): its runs boot it afresh")
    finally:
        made.unlink(missing_ok=True)
    ask(qmp, "cont")
