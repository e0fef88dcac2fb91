# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 The msgs_iic authors

"""The host's tools for a run, through apt where they are missing: the
cross compilers, QEMU 8.0 or newer, dtc and cpio, and sigrok and gnuplot
for a report or a picture; the build starts as soon as the compilers are
there."""

import functools
import re
import shutil
import subprocess
import time
from collections.abc import Callable, Iterator
from contextlib import contextmanager

from .apt import NOT_INSTALLED, configured, need_command, qemu_suite
from .build import TRIPLETS
from .progress import Stop, output

NEEDS = ("board/run needs QEMU 8.0 or newer (qemu-system-arm, with "
         "at24c-eeprom's address-size), the armhf cross g++ "
         "(arm-linux-gnueabihf-g++), dtc, cpio, cmake and make; the arm64 "
         "cross g++ (aarch64-linux-gnu-g++) for an arm64 program, sigrok-cli "
         "for a report of vexpress's bus, gnuplot for a picture of it")


@functools.cache
def qemu_version(qemu: str) -> str:
    found = re.search(r"version (\S+)", output([qemu, "--version"]))
    return found.group(1) if found else "(unknown)"


def qemu_fits() -> bool:
    """QEMU before 8.0 gives at24c-eeprom a two-byte word address whatever
    its size, so a 24C02-style write lands in the wrong place."""
    return (shutil.which("qemu-system-arm") is not None and "address-size"
            in output(["qemu-system-arm", "-device", "at24c-eeprom,help"]))


@contextmanager
def host_tools(arches: set[str], emulator: bool, decoder: bool,
               plotter: bool, compilers: Callable[[], None]) -> Iterator[None]:
    """What the host lacks, through scripts/need, in one transaction: a
    cross compiler for each architecture, QEMU unless nothing boots, the
    sigrok decoder and gnuplot only when a report or a picture asks. dpkg
    configures them before it runs the triggers (man-db's takes seconds):
    the build starts (the callback) once the compilers are configured, and
    the run once every tool is; apt is waited for at the end."""
    cross = [f"g++-{TRIPLETS[arch]}:{TRIPLETS[arch]}-g++"
             for arch in sorted(arches, reverse=True)]
    first = ["cmake", "make", *cross]
    tools = [*first, "device-tree-compiler:dtc", "cpio"]
    suite: list[str] = []
    fits = emulator and qemu_fits()
    if emulator and not fits and shutil.which("qemu-system-arm") is None:
        tools.append("qemu-system-arm")
        suite = qemu_suite()
    if decoder:
        tools.append("sigrok-cli")
    if plotter:
        tools.append("gnuplot-nox:gnuplot")
    installing = None
    if configured(tools):
        # Nothing to install: scripts/need would find the same.
        compilers()
    else:
        installing = install(tools, suite, first, compilers)
    if emulator and not (fits or qemu_fits()):
        raise Stop(f"QEMU {qemu_version('qemu-system-arm')}'s at24c-eeprom "
                   "has no address-size: install QEMU 8.0 or newer (on "
                   "Debian 12: apt-get install -t bookworm-backports "
                   "qemu-system-arm)")
    yield
    if installing is not None and installing.wait() != 0:
        raise Stop(NOT_INSTALLED)


def install(tools: list[str], suite: list[str], first: list[str],
            compilers: Callable[[], None]) -> "subprocess.Popen[bytes]":
    """scripts/need on the tools, in the background; the build starts
    once the first are configured, and this returns once all are."""
    # A log of its own: the guest's packages are fetched meanwhile.
    installing = subprocess.Popen(need_command(NEEDS, *suite, *tools))
    building = False
    while not building or not configured(tools):
        if not building and configured(first):
            building = True
            compilers()
            continue
        if installing.poll() is not None:
            break
        time.sleep(0.25)
    if installing.poll() not in (None, 0):
        raise Stop(NOT_INSTALLED)
    if not building:
        compilers()
    return installing
