# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 The msgs_iic authors

"""QEMU: a board's command line, its console, and a hard time-out."""

import shlex
import subprocess
import time
from pathlib import Path

from ..boards import Board, Target
from ..guest import devicetree, image, kernel, lava_shell
from ..guest.packages import Guest
from ..host.progress import LOG, log_line, say
from ..options import Options
from .console import wait_for
from .marks import Boot


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


def boot(target: Target, options: Options, guest: Guest, work: Path) -> Boot:
    """Boots the board with the program in its initramfs and waits for the
    run to end; the host keeps a hard time-out."""
    board, run = target.board, work / target.name
    (run / "root" / "etc").mkdir(parents=True)
    devices = image.eeprom_devices(board, options, run)
    image.make_root(board, options, guest, work / target.arch, run / "root")
    if options.lava_test:
        lava_shell.add_test_shell(guest, run / "root")
    image.make_initramfs(run / "root", run / "initramfs.gz")
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
    console_log = LOG.parent / f"{target.name}.console"
    arch = "" if target.arch == "armhf" else f" (msgs_iic for {target.arch})"
    say(f"booting {board.name} with kernel {release}{arch}")
    started = time.monotonic()
    with (run / "qemu.err").open("wb") as err:
        # QEMU closes a serial port on stdio at the end of its input: the
        # input is a pipe that stays open, and empty.
        qemu = subprocess.Popen(line, stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, stderr=err)
        try:
            ending = wait_for(qemu, console_log, options.timeout, started)
        finally:
            stop(qemu)
    seconds = time.monotonic() - started
    trace = run / "trace"
    return Boot(board=board, arch=target.arch, kernel=release,
                packages=guest.packages(board.kernel),
                seconds=round(seconds, 2),
                console=console_log.read_text(errors="replace"),
                console_log=console_log,
                trace=tuple(trace.read_text().splitlines())
                if trace.exists() else (),
                qemu_err=(run / "qemu.err").read_text(errors="replace"),
                ending=ending)
