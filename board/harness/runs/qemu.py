# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 The msgs_iic authors

"""QEMU as the way to reach a board: its command line, its console, and a
hard time-out; or, for --ssh's tests, a board that serves SSH."""

import shlex
import shutil
import subprocess
import threading
import time
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from pathlib import Path
from typing import BinaryIO

from ..boards import Board, Target
from ..guest import cache, devicetree, image, kernel, lava_shell
from ..guest.packages import Guest
from ..host.progress import LOG, Stop, log_line, say
from ..host.tools import qemu_version
from ..options import Options
from .console import Ending, wait_for
from .marks import Run


def command(board: Board, boot: Path, run: Path,
            devices: list[str]) -> list[str]:
    serial = ["-serial", "null"] * (board.console_port - 1)
    wire = ["-trace", "bitbang_i2c_data"] if board.trace == "lines" else []
    memory = ["-m", f"{board.memory}M"] if board.memory else []
    return [board.qemu, *board.machine, "-cpu", board.cpu, *memory,
            *image.threading(board), *image.parking(board),
            "-kernel", str(boot), "-dtb", str(run / "board.dtb"),
            "-initrd", str(run / "initramfs.gz"),
            "-append", image.kernel_line(board, "panic=-1"),
            "-no-reboot", "-display", "none", "-monitor", "none",
            "-audio", "none", *serial, "-serial", "stdio", *devices,
            "-trace", "i2c_*", *wire, "-D", str(run / "trace")]


def network(port: int) -> list[str]:
    """A virtio NIC (QEMU gives vexpress virtio-mmio transports) on QEMU's
    user network, walled off from the host's (restrict=on), its SSH port
    forwarded from 127.0.0.1 alone. The board's own lan9118 carries some
    80 KB/s under emulation; this, the programs in a second."""
    return ["-netdev", f"user,id=net,restrict=on,hostfwd=tcp:127.0.0.1:{port}-:22",
            "-device", "virtio-net-device,netdev=net"]


def stop(qemu: "subprocess.Popen[bytes]") -> None:
    """Some boards halt instead of powering off. SIGTERM lets QEMU write
    out its trace before it goes."""
    if qemu.poll() is None:
        qemu.terminate()
    try:
        qemu.wait(timeout=10)
    except subprocess.TimeoutExpired:
        qemu.kill()
        qemu.wait()


def prepare(target: Target, options: Options, guest: Guest, work: Path,
            sshd: image.Sshd | None = None,
            split: Callable[[Path], None] | None = None
            ) -> tuple[list[str], str]:
    """The board's image (split, where asked, before it is packed), device
    tree and kernel in the run's folder; its QEMU command line and the
    kernel's release."""
    board, run = target.board, work / target.name
    (run / "root" / "etc").mkdir(parents=True)
    devices = image.eeprom_devices(board, options, run)
    image.make_root(board, options, guest, work / target.arch, run / "root",
                    sshd=sshd)
    if options.lava_test:
        lava_shell.add_test_shell(guest, run / "root")
    kept = None
    if split is not None:
        split(run / "root")
        # What is left is the same every run of the board.
        kept = cache.root() / "states" / f"{board.name}.initramfs"
        kept.parent.mkdir(parents=True, exist_ok=True)
    image.make_initramfs(run / "root", run / "initramfs.gz", kept)
    devicetree.make_dtb(board, guest, run / "board.dtb")
    folder = guest.kernel(board.kernel)
    release = (folder / "release").read_text().strip()
    # An armhf kernel boots from its Image, unpacked once; arm64's QEMU
    # unpacks itself.
    boot = (kernel.uimage(folder, devicetree.ram_base(board, run / "board.dtb"),
                          run / "uImage")
            if (folder / "Image").exists() else folder / "vmlinuz")
    line = command(board, boot, run, devices)
    log_line(f"booting {board.name}: {shlex.join(line)}")
    return line, release


def start_qemu(line: list[str], err: BinaryIO) -> "subprocess.Popen[bytes]":
    # QEMU closes a serial port on stdio at the end of its input: the
    # input is a pipe that stays open, and empty.
    return subprocess.Popen(line, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=err)


def boot(target: Target, options: Options, guest: Guest, work: Path) -> Run:
    """Boots the board with the program in its initramfs and waits for the
    run to end; the host keeps a hard time-out."""
    board, run = target.board, work / target.name
    line, release = prepare(target, options, guest, work)
    console_log = LOG.parent / f"{target.name}.console"
    arch = "" if target.arch == "armhf" else f" (msgs_iic for {target.arch})"
    say(f"booting {board.name} with kernel {release}{arch}")
    began = time.monotonic()
    with (run / "qemu.err").open("wb") as err:
        qemu = start_qemu(line, err)
        try:
            ending = wait_for(qemu, console_log, options.timeout, began)
        finally:
            stop(qemu)
    return record(target, guest, release, console_log, ending,
                  time.monotonic() - began, work)


def record(target: Target, guest: Guest, release: str, console_log: Path,
           ending: Ending, seconds: float, work: Path) -> Run:
    """What the boot left: the console, QEMU's messages and trace."""
    board, run = target.board, work / target.name
    trace = run / "trace"
    return Run(name=target.name, board=board.name,
               title=f"{board.name} ({board.stands_for})", driver=board.module,
               arch=target.arch, kernel=release, seconds=round(seconds, 2),
               console=console_log.read_text(errors="replace"),
               console_log=console_log, ending=ending,
               via=f"QEMU {qemu_version(board.qemu)}",
               messages=(run / "qemu.err").read_text(errors="replace"),
               packages=guest.packages(board.kernel),
               trace=tuple(trace.read_text().splitlines())
               if trace.exists() else (), trace_style=board.trace)


@contextmanager
def serving_ssh(target: Target, options: Options, guest: Guest, work: Path,
                sshd: image.Sshd, port: int) -> Iterator[Path]:
    """The board booted as a real board's stand-in for --ssh: it serves SSH
    on 127.0.0.1:PORT for the length of the block, its console going on
    into the log (whose path it gives); then it is stopped."""
    board, run = target.board, work / target.name
    line, _ = prepare(target, options, guest, work, sshd)
    line += network(port)
    console_log = LOG.parent / f"{target.name}-sshd.console"
    with (run / "qemu.err").open("wb") as err:
        qemu = start_qemu(line, err)
        try:
            ending = wait_for(qemu, console_log, options.timeout,
                              time.monotonic(), success="@@sshd")
            if ending.kind != "done":
                raise Stop(f"{board.name} does not serve SSH: {ending.kind}, last "
                           f"saw '{ending.line}' (console: {console_log})")
            assert qemu.stdout is not None
            with console_log.open("ab") as log:
                drain = threading.Thread(target=shutil.copyfileobj,
                                         args=(qemu.stdout, log), daemon=True)
                drain.start()
                yield console_log
        finally:
            stop(qemu)
