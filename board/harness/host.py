# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 The msgs_iic authors

"""The host: progress lines, the log, locks, host tools and the armhf build."""

import fcntl
import os
import shutil
import subprocess
import sys
import time
from collections.abc import Iterator, Sequence
from contextlib import contextmanager
from pathlib import Path

TOP = Path(__file__).resolve().parents[2]
LOG = TOP / "log" / "board.log"

# The cross toolchain of each architecture the program is built for.
TRIPLETS = {"armhf": "arm-linux-gnueabihf", "arm64": "aarch64-linux-gnu"}


class Stop(Exception):
    """Ends board/run with exit status 2 and this one line."""


def say(line: str, who: str = "board") -> None:
    print(f"{who}: {line}", file=sys.stderr, flush=True)


def shown(path: Path) -> str:
    """A path as a person in the project's folder would type it."""
    try:
        return str(path.relative_to(TOP))
    except ValueError:
        return str(path)


def xdg(variable: str, default: str) -> Path:
    """An XDG base folder: the variable's, where it names an absolute path,
    else the default in the home folder."""
    named = os.environ.get(variable, "")
    return Path(named) if os.path.isabs(named) else Path.home() / default


def log_line(text: str, output: str = "", at: str | None = None) -> None:
    """A step in the log, with its output: in one write, since the guest's
    fetch and the build log side by side."""
    LOG.parent.mkdir(parents=True, exist_ok=True)
    with LOG.open("a") as log:
        log.write(f"== {at or time.strftime('%F %T')} {text}\n{output}")


def logged(what: str, command: Sequence[str | Path], cwd: Path | None = None,
           check: bool = True) -> "subprocess.CompletedProcess[str]":
    """Runs a command with its output in the log, and returns it for the
    caller to read; on failure, its tail, and the run stops unless check
    is off."""
    started = time.strftime("%F %T")
    done = subprocess.run(command, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                          cwd=cwd, text=True, errors="replace")
    log_line(what, done.stdout, started)
    if done.returncode != 0 and check:
        print("\n".join(done.stdout.splitlines()[-15:]), file=sys.stderr)
        raise Stop(f"{what} failed: see {shown(LOG)}")
    return done


@contextmanager
def locked(path: Path) -> Iterator[None]:
    """What two runs share, one run at a time: a second run waits here."""
    path.parent.mkdir(parents=True, exist_ok=True)
    with path.open("w") as lock:
        try:
            fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            say(f"waiting for another board/run ({shown(path)})")
            fcntl.flock(lock, fcntl.LOCK_EX)
        yield


def output(command: Sequence[str]) -> str:
    done = subprocess.run(command, capture_output=True, text=True)
    return done.stdout + done.stderr


def build_programs(arch: str, folder: Path) -> None:
    """The static msgs_iic and msgs_iic_on for one architecture, copied
    into the folder under the lock, so that a second run never takes a
    binary that is half written."""
    build = TOP / f"build-{arch}"
    with locked(build / ".lock"):
        if not (build / "CMakeCache.txt").exists():
            toolchain = TOP / "cmake" / f"{TRIPLETS[arch]}.cmake"
            logged(f"cmake ({arch})", ["cmake", "-S", TOP, "-B", build,
                                       "-DCMAKE_BUILD_TYPE=Release",
                                       f"-DCMAKE_TOOLCHAIN_FILE={toolchain}"])
        # All of it: a named target misses one that a changed CMakeLists
        # adds, as the build regenerates itself.
        logged(f"building msgs_iic for {arch}", ["cmake", "--build", build,
                                                 "--parallel"])
        folder.mkdir()
        for program in ("msgs_iic", "msgs_iic_on"):
            shutil.copy(build / program, folder / program)
