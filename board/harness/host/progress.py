# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 The msgs_iic authors

"""What every part of the harness shares on the host: its progress lines,
the log, the one-line stop, and locks between two runs."""

import fcntl
import os
import signal
import subprocess
import sys
import tempfile
import time
from collections.abc import Iterator, Sequence
from contextlib import contextmanager
from pathlib import Path
from types import FrameType

TOP = Path(__file__).resolve().parents[3]
LOG = TOP / "log" / "board.log"


class Stop(Exception):
    """Ends board/run with exit status 2 and this one line."""


class Ended(Exception):
    """A signal that ends the run: Ctrl-C, a cancelled job, a closed
    terminal. It unwinds the run as a failure would, so that QEMU is
    stopped, the temporary folder removed and the results written."""


# The signals that end a run, and how its last line names them.
ENDINGS = {signal.SIGINT: "interrupted (SIGINT)",
           signal.SIGTERM: "terminated (SIGTERM)",
           signal.SIGHUP: "hung up (SIGHUP)"}


def ignore_endings() -> None:
    for number in ENDINGS:
        if signal.getsignal(number) != signal.SIG_IGN:
            signal.signal(number, signal.SIG_IGN)


@contextmanager
def ended_by_signals() -> Iterator[None]:
    """Each signal of ENDINGS raises Ended once; the ones that follow are
    ignored, so that the clean-up they would cut short goes on. A signal
    ignored when the run began (nohup) stays ignored."""
    def end(number: int, _: FrameType | None) -> None:
        ignore_endings()
        raise Ended(ENDINGS[signal.Signals(number)])

    before = {number: signal.getsignal(number) for number in ENDINGS}
    for number, handler in before.items():
        if handler != signal.SIG_IGN:
            signal.signal(number, end)
    try:
        yield
    finally:
        for number, handler in before.items():
            signal.signal(number, handler)


def say(line: str, who: str = "board") -> None:
    print(f"{who}: {line}", file=sys.stderr, flush=True)


def shown(path: Path) -> str:
    """A path as the person who ran the tool would type it: relative to
    the current folder where it lies below it, else absolute."""
    path = Path(os.path.abspath(path))
    try:
        return str(path.relative_to(Path.cwd()))
    except (ValueError, OSError):
        return str(path)


def beside(path: Path) -> Path:
    """A temporary name next to PATH, so that a rename puts it in place
    whole: a run killed meanwhile leaves the old file or none, never half
    of one."""
    return path.with_name(f".{path.name}.{os.getpid()}.tmp")


def write_whole(path: Path, text: str) -> None:
    temporary = beside(path)
    try:
        temporary.write_text(text)
        os.replace(temporary, path)
    finally:
        temporary.unlink(missing_ok=True)


def xdg(variable: str, default: str) -> Path:
    """An XDG base folder: the variable's, where it names an absolute path,
    else the default in the home folder."""
    named = os.environ.get(variable, "")
    return Path(named) if os.path.isabs(named) else Path.home() / default


def unwritable(folder: Path) -> str | None:
    """Why the folder cannot be made or written, or None where it can; it
    is made if need be."""
    try:
        folder.mkdir(parents=True, exist_ok=True)
        with tempfile.NamedTemporaryFile(dir=folder):
            pass
    except OSError as error:
        return "not a folder" if folder.exists() and not folder.is_dir() \
            else error.strerror
    return None


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
