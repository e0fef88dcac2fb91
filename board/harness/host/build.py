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
# The size and time of every file the last good build read and made, in
# the build's folder: while they stand, cmake and make have nothing to do.
STAMP = "board-run.stamp"


def inputs(build: Path) -> list[Path] | None:
    """What make would look at: the files CMake read to write the build
    (CMakeLists.txt among them), each object's sources and headers as the
    compiler listed them, and the programs. None where an object has no
    such list, as with a compiler that writes none."""
    listed = re.search(r"^set\(CMAKE_MAKEFILE_DEPENDS\n(.*?)^ *\)",
                       (build / "CMakeFiles" / "Makefile.cmake").read_text(),
                       re.M | re.S)
    if listed is None:
        return None
    files = [build / name for name in re.findall(r'"([^"]+)"', listed.group(1))]
    for obj in sorted((build / "CMakeFiles").rglob("*.o")):
        depends = obj.with_name(obj.name + ".d")
        if not depends.exists():
            return None
        words = depends.read_text().replace("\\\n", " ").split()
        files += [build / word for word in words if not word.endswith(":")]
    return [*dict.fromkeys(files), *(build / name for name in PROGRAMS)]


def facts(files: list[Path]) -> str:
    return "".join(f"{path.stat().st_size} {path.stat().st_mtime_ns} {path}\n"
                   for path in files)


def up_to_date(build: Path) -> bool:
    """Whether every file the last good build read and made is as it was
    then: a changed or missing one means a build."""
    try:
        files = inputs(build)
        return files is not None and (build / STAMP).read_text() == facts(files)
    except OSError:
        return False


def stamp(build: Path) -> None:
    try:
        files = inputs(build)
        if files is not None:
            (build / STAMP).write_text(facts(files))
    except OSError:
        pass   # a file gone already: the next run builds again


def make(arch: str, build: Path) -> None:
    """cmake --build, its output in the log; the progress line comes with
    the first thing that make builds, so a build with nothing to do says
    nothing."""
    what = f"building msgs_iic for {arch}"
    started = time.strftime("%F %T")
    if up_to_date(build):
        log_line(what, "nothing changed since the last build\n", started)
        return
    (build / STAMP).unlink(missing_ok=True)
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
    stamp(build)


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
