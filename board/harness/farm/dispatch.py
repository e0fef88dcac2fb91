# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 The msgs_iic authors

"""board/run --lava-dispatch: the LAVA jobs in LAVA's own dispatcher on
this machine, as a lab's worker runs them. The device dictionary is a lab's
qemu device with the template's defaults, rendered from lava-server's own
templates as the server renders it for a job; the files are served over
HTTP on 127.0.0.1; LAVA takes the test definition from git."""

import functools
import http.server
import json
import os
import subprocess
import threading
import time
from collections.abc import Callable, Iterator
from contextlib import AbstractContextManager, contextmanager
from dataclasses import dataclass
from pathlib import Path

from ..host.progress import TOP, Stop

# A lab's device of the qemu type that sets nothing of its own.
DEVICE = "{% extends 'qemu.jinja2' %}\n"
RENDER = TOP / "board" / "render-device"
CASES = ("open", "transfers", "read-back", "exit-status", "run", "time")


class Files(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args: object) -> None:
        pass


@contextmanager
def serving(handler: Callable[..., http.server.BaseHTTPRequestHandler],
            address: tuple[str, int] = ("127.0.0.1", 0),
            kind: type[http.server.ThreadingHTTPServer] =
            http.server.ThreadingHTTPServer) -> Iterator[str]:
    """An HTTP server in a thread of its own for the length of the block,
    and its URL; one line where the port cannot be had."""
    try:
        server = kind(address, handler)
    except OSError as error:
        port = f"port {address[1]}" if address[1] else "a port"
        raise Stop(f"cannot serve from {port} on {address[0]} "
                   f"({error.strerror})") from None
    threading.Thread(target=server.serve_forever, daemon=True).start()
    try:
        yield f"http://{address[0]}:{server.server_address[1]}"
    finally:
        server.shutdown()
        server.server_close()


def served(folder: Path, address: tuple[str, int] = ("127.0.0.1", 0)
           ) -> AbstractContextManager[str]:
    """The folder over HTTP, on 127.0.0.1 unless another address is given,
    for as long as the jobs run."""
    return serving(functools.partial(Files, directory=str(folder)), address)


def device(templates: Path, context: dict[str, object], into: Path) -> Path:
    """The device dictionary for the job, beside it."""
    (into / "devices").mkdir(exist_ok=True)
    (into / "devices" / "qemu01.jinja2").write_text(DEVICE)
    done = subprocess.run([RENDER, into / "devices", templates, "qemu01"],
                          input=json.dumps(context), capture_output=True,
                          text=True)
    if done.returncode != 0:
        raise Stop(f"the device dictionary did not render: {done.stderr.strip()}")
    (into / "device.yaml").write_text(done.stdout)
    return into / "device.yaml"


@dataclass(frozen=True)
class Verdict:
    """LAVA's verdict on a job, from its own results."""
    cases: dict[str, str]   # each test case's result, with its measurement
    job: str                # "pass", or "fail" and LAVA's kind of error
    error: str              # LAVA's message where the job failed
    seconds: int
    link: str = ""          # where the server shows the job


def verdict(log: str, seconds: int) -> Verdict:
    """The results that lava-run logs, a YAML flow mapping a line: JSON,
    but for the tag "! " (a string) on what came from the board."""
    cases: dict[str, str] = {}
    job, error = "fail", "LAVA gave no verdict on the job"
    for line in log.splitlines():
        try:
            entry = json.loads(line.replace(': ! "', ': "'))
        except ValueError:
            continue
        if not isinstance(entry, dict) or entry.get("lvl") != "results":
            continue
        found = entry["msg"]
        if found.get("definition") != "lava":
            measured = found.get("measurement")
            cases[found["case"]] = found["result"] + (
                f" {measured} s" if measured is not None else "")
        elif found.get("case") == "job":
            job = found["result"]
            if job != "pass":
                job += f" ({found.get('error_type', 'unknown')})"
            error = found.get("error_msg", "")
    return Verdict(cases, job, error, seconds)


def run(job: Path, device: Path, timeout: int, scratch: Path) -> tuple[str, int]:
    """lava-run on the job, as a worker runs it: LAVA's log and the wall
    time. A job that does not end in time is stopped."""
    number = f"{os.getpid()}{len(list(scratch.glob('*')))}"
    started = time.monotonic()
    try:
        done = subprocess.run(
            ["lava-run", "--job-id", number, "--output-dir", scratch / number,
             "--device", device, job], capture_output=True, text=True,
            timeout=timeout, stdin=subprocess.DEVNULL)
        log = done.stdout + done.stderr
    except subprocess.TimeoutExpired as expired:
        log = (expired.stdout or b"").decode(errors="replace") if isinstance(
            expired.stdout, bytes) else (expired.stdout or "")
    return log, round(time.monotonic() - started)


def passed(found: Verdict) -> bool:
    return found.job == "pass" and all(
        found.cases.get(case, "").startswith("pass") for case in CASES)


def row(*cells: str) -> str:
    return "{:<12} {:<8} {:<5} {:<10} {:<10} {:<12} {:<5} {:<14} {:<22} {}".format(
        *cells)


def table(rows: list[tuple[str, str, Verdict]]) -> list[str]:
    """A row for each job: LAVA's result for each test case, its verdict on
    the job, the job's wall time, and where a server shows it."""
    lines = [row("board", "program", *CASES, "job", "wall")]
    for board, arch, found in rows:
        lines.append(row(board, arch,
                         *(found.cases.get(case, "-") for case in CASES),
                         found.job, f"{found.seconds} s"))
    if any(found.link for *_, found in rows):
        width = max(len(line) for line in lines)
        lines = [f"{line:<{width}}  {link}" for line, link in zip(
            lines, ["url", *(found.link for *_, found in rows)])]
    return lines
