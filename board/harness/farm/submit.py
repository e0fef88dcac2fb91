# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 The msgs_iic authors

"""board/run --lava-submit: the jobs submitted to a LAVA server through its
REST API, as a lab's users submit them, and the verdict read back from the
server's own per-case results: a job whose cases fail still ends
"Complete", so its health says nothing."""

import json
import os
import re
import time
import urllib.error
import urllib.parse
import urllib.request
from dataclasses import dataclass
from datetime import datetime
from pathlib import Path

from ..host.progress import Stop
from .dispatch import Verdict

LAVACLI = Path("~/.config/lavacli.yaml").expanduser()
POLL = 2   # seconds between two looks at a job


@dataclass(frozen=True)
class Server:
    url: str     # its base, without the trailing slash
    token: str


def identities(text: str) -> dict[str, dict[str, str]]:
    """lavacli's identities: a mapping of names to mappings of scalars."""
    found: dict[str, dict[str, str]] = {}
    for line in text.splitlines():
        name = re.fullmatch(r"(\S+):\s*", line)
        field = re.fullmatch(r"\s+(\w+):\s*(.*?)\s*", line)
        if name:
            found[name.group(1)] = {}
        elif field and found:
            found[list(found)[-1]][field.group(1)] = field.group(2).strip("'\"")
    return found


def token(url: str) -> str:
    """LAVA_TOKEN, else the token of lavacli's identity for the server."""
    if os.environ.get("LAVA_TOKEN"):
        return os.environ["LAVA_TOKEN"]
    known = identities(LAVACLI.read_text()) if LAVACLI.is_file() else {}
    where = urllib.parse.urlsplit(url)[:2]
    for identity in known.values():
        if urllib.parse.urlsplit(identity.get("uri", ""))[:2] == where:
            return identity.get("token", "")
    raise Stop(f"--lava-submit needs the server's API token: set LAVA_TOKEN, "
               f"or add a lavacli identity for {url}")


def call(server: Server, path: str, body: dict[str, str] | None = None) -> object:
    """One REST call; one line for a server that does not answer, a token
    it refuses, or a request it turns down."""
    request = urllib.request.Request(
        f"{server.url}/api/v0.2/{path}",
        data=json.dumps(body).encode() if body is not None else None,
        headers={"Authorization": f"Token {server.token}",
                 "Content-Type": "application/json"})
    try:
        with urllib.request.urlopen(request, timeout=30) as answer:
            return json.load(answer)
    except urllib.error.HTTPError as error:
        said = error.read().decode(errors="replace")
        try:
            answer = json.loads(said)
            said = answer.get("message") or answer["detail"]
        except (ValueError, KeyError, AttributeError):
            pass
        if error.code in (401, 403):
            raise Stop(f"the LAVA server at {server.url} refused the token "
                       f"({error.code}: {said})") from None
        raise Stop(f"the LAVA server at {server.url} turned down {path} "
                   f"({error.code}: {said})") from None
    except (urllib.error.URLError, OSError, ValueError) as error:
        why = getattr(error, "reason", error)
        raise Stop(f"no LAVA server answers at {server.url} ({why})") from None


def connect(url: str) -> Server:
    """The server, asked who the token is before anything is built."""
    server = Server(url.rstrip("/"), token(url))
    found = call(server, "system/whoami/")
    if not isinstance(found, dict) or not found.get("user"):
        raise Stop(f"the LAVA server at {server.url} refused the token "
                   "(it knows no user by it)")
    return server


def send(server: Server, job: str) -> int:
    """The job, submitted; LAVA's message where it is rejected."""
    try:
        found = call(server, "jobs/", {"definition": job})
    except Stop as stop:
        raise Stop(str(stop).replace("turned down jobs/", "rejected the job"))
    assert isinstance(found, dict)
    return int(found["job_ids"][0])


def pages(server: Server, path: str) -> list[dict[str, str]]:
    """Every result of a listing, page after page."""
    found: list[dict[str, str]] = []
    while path:
        page = call(server, path)
        assert isinstance(page, dict)
        found += page["results"]
        path = (page.get("next") or "").split("/api/v0.2/", 1)[-1]
    return found


def results(server: Server, job: int, seconds: int) -> Verdict:
    """The server's own results of the job's test definition, case by
    case; LAVA's verdict on the job itself from its lava suite."""
    cases, outcome, error = {}, "fail", "LAVA gave no verdict on the job"
    for suite in pages(server, f"jobs/{job}/suites/"):
        for case in pages(server, f"jobs/{job}/suites/{suite['id']}/tests/"):
            if suite["name"] != "lava":
                measured = case.get("measurement")
                cases[case["name"]] = case["result"] + (
                    f" {float(measured):.2f} s" if measured else "")
            elif case["name"] == "job":
                outcome = case["result"]
                error = "" if outcome == "pass" else "see the job's log"
    return Verdict(cases, outcome, error, seconds,
                   f"{server.url}/scheduler/job/{job}")


def when(stamp: str) -> datetime:
    return datetime.fromisoformat(stamp.replace("Z", "+00:00"))


def wait(server: Server, jobs: list[int], timeout: int) -> dict[int, int]:
    """Each job's wall time, as the server timed it, once it has finished;
    one line for a job that does not finish within timeout of its start,
    or does not start while all of them could have run."""
    seconds: dict[int, int] = {}
    started: dict[int, float] = {}
    deadline = time.monotonic() + timeout * len(jobs)
    while True:
        for job in (job for job in jobs if job not in seconds):
            state = call(server, f"jobs/{job}/")
            assert isinstance(state, dict)
            link = f"{server.url}/scheduler/job/{job}"
            if state["state"] == "Finished":
                seconds[job] = round((when(state["end_time"]) - when(
                    state["start_time"] or state["end_time"])).total_seconds())
            elif state["state"] == "Running":
                started.setdefault(job, time.monotonic())
                if time.monotonic() - started[job] > timeout:
                    raise Stop(f"job {job} did not finish in {timeout} s: {link}")
            elif time.monotonic() > deadline:
                raise Stop(f"job {job} did not start, {state['state']} after "
                           f"{timeout * len(jobs)} s: {link}")
        if len(seconds) == len(jobs):
            return seconds
        time.sleep(POLL)
