# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 The msgs_iic authors

"""Daemons without systemd: each in a session of its own, its PID and start
time in a folder, and stopped with every process it started."""

import contextlib
import os
import signal
import subprocess
import time
from dataclasses import dataclass
from pathlib import Path


@dataclass(frozen=True)
class Daemon:
    name: str            # of its PID and log files in the folder
    command: list[str]


def started(pid: int) -> str | None:
    """When the process started, in the kernel's ticks since boot: with its
    PID, it names the process, whatever title it gives itself."""
    try:
        return Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[19]
    except (OSError, IndexError):
        return None


def alive(lab: Path, daemon: Daemon) -> int | None:
    """The daemon's PID, where the process started for it still runs."""
    pid = lab / f"{daemon.name}.pid"
    if not pid.exists():
        return None
    number, when = pid.read_text().split()
    return int(number) if started(int(number)) == when else None


def start(lab: Path, daemon: Daemon, environment: dict[str, str]) -> None:
    """The daemon in a session of its own, whose group down takes."""
    with (lab / f"{daemon.name}.log").open("a") as log:
        process = subprocess.Popen(
            daemon.command, stdout=log, stderr=subprocess.STDOUT,
            stdin=subprocess.DEVNULL, env=environment,
            start_new_session=True)
    (lab / f"{daemon.name}.pid").write_text(
        f"{process.pid} {started(process.pid)}\n")


def tree(leader: int) -> list[int]:
    """The live processes of the daemon's group and their descendants:
    gunicorn's workers, and the lava-run and QEMU of a job, which the
    worker starts in a session of their own."""
    parents, groups = {}, {}
    for stat in Path("/proc").glob("[0-9]*/stat"):
        try:
            fields = stat.read_text().rsplit(")", 1)[1].split()
        except OSError:
            continue
        if fields[0] != "Z":
            parents[int(stat.parent.name)] = int(fields[1])
            groups[int(stat.parent.name)] = int(fields[2])
    found = {pid for pid, pgid in groups.items() if pgid == leader}
    while more := {pid for pid, ppid in parents.items()
                   if ppid in found and pid not in found}:
        found |= more
    return sorted(found)


def stop(lab: Path, daemon: Daemon) -> None:
    """The daemon and its tree: SIGTERM, and SIGKILL after 10 s."""
    leader = alive(lab, daemon)
    if leader is not None:
        for sent in (signal.SIGTERM, signal.SIGKILL):
            for pid in tree(leader):
                with contextlib.suppress(ProcessLookupError):
                    os.kill(pid, sent)
            deadline = time.monotonic() + 10
            while tree(leader) and time.monotonic() < deadline:
                time.sleep(0.1)
            if not tree(leader):
                break
    (lab / f"{daemon.name}.pid").unlink(missing_ok=True)
