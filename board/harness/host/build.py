# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 The msgs_iic authors

"""The host's cross builds of msgs_iic and msgs_iic_on, one folder an
architecture in the checkout, static so that they run on any board."""

import re
import shutil
import subprocess
import sys
import time
from pathlib import Path

from .progress import LOG, TOP, Stop, locked, log_line, logged, say, shown

# The cross toolchain of each architecture the program is built for.
TRIPLETS = {"armhf": "arm-linux-gnueabihf", "arm64": "aarch64-linux-gnu"}
PROGRAMS = ("msgs_iic", "msgs_iic_on")
# What make prints when it has work to do: a line like "[ 50%] Building
# CXX object ..." or "Linking CXX executable ...".
WORK = re.compile(r"^(\[\s*\d+%\] )?(Building|Linking) ")


def make(arch: str, build: Path) -> None:
    """cmake --build, its output in the log; the progress line comes with
    the first thing that make builds, so a build with nothing to do says
    nothing."""
    what = f"building msgs_iic for {arch}"
    started = time.strftime("%F %T")
    # All of it: a named target misses one that a changed CMakeLists
    # adds, as the build regenerates itself.
    with subprocess.Popen(["cmake", "--build", build, "--parallel"],
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          stdin=subprocess.DEVNULL, text=True,
                          errors="replace") as building:
        assert building.stdout is not None
        lines, told = [], False
        for line in building.stdout:
            lines.append(line)
            if not told and WORK.match(line):
                say(what)
                told = True
    log_line(what, "".join(lines), started)
    if building.returncode != 0:
        print("".join(lines[-15:]), end="", file=sys.stderr)
        raise Stop(f"{what} failed: see {shown(LOG)}")


def build_programs(arch: str, folder: Path) -> None:
    """The static programs for one architecture, copied into the folder
    under the lock, so that a second run never takes a binary that is half
    written."""
    build = TOP / f"build-{arch}"
    with locked(build / ".lock"):
        if not (build / "CMakeCache.txt").exists():
            toolchain = TOP / "cmake" / f"{TRIPLETS[arch]}.cmake"
            logged(f"cmake ({arch})", ["cmake", "-S", TOP, "-B", build,
                                       "-DCMAKE_BUILD_TYPE=Release",
                                       f"-DCMAKE_TOOLCHAIN_FILE={toolchain}"])
        make(arch, build)
        folder.mkdir()
        for program in PROGRAMS:
            shutil.copy(build / program, folder / program)
