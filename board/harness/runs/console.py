# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 The msgs_iic authors

"""The console loop: a board's output read as it comes, into a log, until
the guest says it is done, something says it failed, or the time is up.
One loop for every way of reaching a board."""

import dataclasses
import os
import select
import subprocess
import time
from dataclasses import dataclass
from pathlib import Path

# /init's last line on a finished run; its line when it fails, and the
# kernel's, end a run at once.
SUCCESS = "@@done"
FAILURE = "@@fail "
PANIC = "Kernel panic - not syncing"
# /init's marks of where a boot's time goes: its start, the program's.
MARKS = ("@@init", "@@program")


@dataclass(frozen=True)
class Ending:
    """How the wait on the console ended: "done" (the guest finished),
    "fail" (/init or the kernel failed), "timeout" or "stopped" (the
    stream ended), with the line that ended it or the last one seen."""
    kind: str
    line: str
    # Seconds from the start to the console's first line ("console") and
    # to /init's marks ("init", "program"), as they came.
    times: dict[str, float] = dataclasses.field(default_factory=dict)


def wait_for(source: "subprocess.Popen[bytes]", log: Path, seconds: int,
             started: float, success: str = SUCCESS,
             append: bool = False) -> Ending:
    """Reads the console into the log (after what it holds, with append)
    until the success line, a failure line, the end of the stream or the
    time-out, whichever comes first; the time of the first line and of
    /init's marks is kept."""
    assert source.stdout is not None
    deadline = started + seconds
    pending, last = b"", ""
    times: dict[str, float] = {}
    with log.open("ab" if append else "wb") as console:
        while (left := deadline - time.monotonic()) > 0:
            if not select.select([source.stdout], [], [], left)[0]:
                continue
            chunk = os.read(source.stdout.fileno(), 65536)
            if not chunk:
                return Ending("stopped", last, times)
            chunk = chunk.replace(b"\r", b"")
            console.write(chunk)
            *lines, pending = (pending + chunk).split(b"\n")
            now = round(time.monotonic() - started, 2)
            for raw in lines:
                line = raw.decode(errors="replace")
                last = line.strip() or last
                times.setdefault("console", now)
                if line in MARKS:
                    times.setdefault(line.removeprefix("@@"), now)
                if line == success:
                    return Ending("done", line, times)
                if line.startswith(FAILURE) or PANIC in line:
                    return Ending("fail", line.removeprefix(FAILURE), times)
    return Ending("timeout", last, times)
