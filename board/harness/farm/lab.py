# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 The msgs_iic authors

"""lava/lab: a LAVA lab on this machine, without systemd. Debian's
lava-server on PostgreSQL, its publisher and scheduler, and one worker with
one qemu device that runs the jobs in turn; each daemon in a session of its
own, its PID and log in the lab's folder, everything on 127.0.0.1. The
settings the lab needs reach the daemons through their environment, so
that /etc/lava-server keeps what Debian's own setup wrote there."""

import json
import os
import socket
import subprocess
import sys
import time
import urllib.error
import urllib.request
from pathlib import Path

from ..host.progress import Stop, say, xdg
from . import lab_setup
from .daemons import Daemon, alive, start, stop
from .lab_setup import WORKER


def tell(line: str) -> None:
    say(line, "lab")


USAGE = """\
usage: lava/lab up | down [--purge] | status
  up             install and start what is missing; prints the web address
  status         what runs (exit status 0 when all of it does)
  down           stop what up started
  down --purge   also drop the lab's database and files
"""
# The ports the lab would like: the web app, the publisher's websocket, its
# event stream. Another one where one is taken.
PORTS = {"web": 8000, "publisher": 8001, "events": 5500}
# Each daemon logs to its standard output, the lab's log file, opened before
# the daemon gives up root for lavaserver, who cannot reach the lab.
LOG = ("--log-file", "-")


def folder() -> Path:
    """${XDG_STATE_HOME:-~/.local/state}/msgs_iic/lab: one lab a machine."""
    return xdg("XDG_STATE_HOME", ".local/state") / "msgs_iic" / "lab"


def daemons(lab: Path, ports: dict[str, int]) -> list[Daemon]:
    web = f"http://127.0.0.1:{ports['web']}"
    return [
        Daemon("web", ["gunicorn3", "lava_server.wsgi", "--bind",
                       f"127.0.0.1:{ports['web']}", "-u", "lavaserver", "-g",
                       "lavaserver", "--worker-class", "eventlet", "--workers",
                       "2", *LOG]),
        Daemon("publisher", ["lava-server", "manage", "lava-publisher", "--host",
                             "127.0.0.1", "--port", str(ports["publisher"]),
                             *LOG]),
        Daemon("scheduler", ["lava-server", "manage", "lava-scheduler",
                             "--event-url",
                             f"tcp://127.0.0.1:{ports['events']}",
                             *LOG]),
        # It notices a job's end when it pings: every 2 s, not every 20.
        Daemon("worker", ["lava-worker", "--name", WORKER, "--url", f"{web}/",
                          "--ws-url", f"http://127.0.0.1:{ports['publisher']}/ws/",
                          "--token-file", str(lab / "worker-token"),
                          "--ping-interval", "2", "--worker-dir",
                          str(lab / "worker"), *LOG])]


def environment(ports: dict[str, int]) -> dict[str, str]:
    """The lab's settings: events, so that a job starts within a second of
    its submission, on 127.0.0.1."""
    return {**os.environ, "LAVA_YAML_SETTINGS_EVENT_NOTIFICATION": "true",
            "LAVA_SETTINGS_EVENT_SOCKET": f"tcp://127.0.0.1:{ports['events']}"}


def free(port: int) -> int:
    """The port, where 127.0.0.1 has it free; else one that is."""
    for wanted in (port, 0):
        with socket.socket() as probe:
            # As the daemons bind: a port that a closed lab's connections
            # still hold is free to them.
            probe.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            try:
                probe.bind(("127.0.0.1", wanted))
                return int(probe.getsockname()[1])
            except OSError:
                continue
    raise Stop("no free port on 127.0.0.1")


def ports(lab: Path, running: bool) -> dict[str, int]:
    """The ports of the lab that runs, or free ones for one that starts."""
    saved = lab / "ports.json"
    if running and saved.exists():
        found: dict[str, int] = json.loads(saved.read_text())
        return found
    chosen = {name: free(port) for name, port in PORTS.items()}
    saved.write_text(json.dumps(chosen) + "\n")
    return chosen


def worker_state(web: str) -> str:
    """What the server says of the lab's worker, or why it says nothing."""
    try:
        with urllib.request.urlopen(f"{web}/api/v0.2/workers/{WORKER}/",
                                    timeout=5) as answer:
            return str(json.load(answer)["state"])
    except (urllib.error.URLError, OSError, ValueError, KeyError) as error:
        return f"no answer ({getattr(error, 'reason', error)})"


def up(lab: Path) -> int:
    lab.mkdir(parents=True, exist_ok=True)
    lab.chmod(0o700)
    lab_setup.install()
    lab_setup.database(lab)
    lab_setup.accounts(lab)
    running = [d for d in daemons(lab, PORTS) if alive(lab, d) is not None]
    chosen = ports(lab, bool(running))
    for daemon in daemons(lab, chosen):
        if alive(lab, daemon) is None:
            tell(f"starting the {daemon.name} (log: {lab}/{daemon.name}.log)")
            start(lab, daemon, environment(chosen))
    web = f"http://127.0.0.1:{chosen['web']}"
    deadline = time.monotonic() + 90
    while (state := worker_state(web)) != "Online":
        if time.monotonic() > deadline:
            raise Stop(f"the lab's worker is not online after 90 s ({state}): "
                       f"see {lab}/worker.log")
        time.sleep(1)
    tell(f"up at {web}/; the admin's password is in {lab}/password")
    tell(f"for lavacli: lavacli identities add --uri {web}/RPC2 --username "
         f"{lab_setup.ADMIN} --token \"$(cat {lab}/token)\" lab")
    tell(f"to run the jobs there: LAVA_TOKEN=\"$(cat {lab}/token)\" board/run "
         f"--board all --lava-submit {web}")
    print(web)
    return 0


def down(lab: Path, purge: bool) -> int:
    """What up started, stopped: the daemons, and PostgreSQL where up
    started it; with purge, the database and the lab's files too."""
    for daemon in reversed(daemons(lab, PORTS)):
        stop(lab, daemon)
    started = (lab / "postgres").exists()
    version, name, state = lab_setup.cluster()
    if purge:
        if state != "online":
            subprocess.run(["pg_ctlcluster", version, name, "start"], check=True)
            started = True
        lab_setup.purge(lab)
    if started:
        subprocess.run(["pg_ctlcluster", version, name, "stop"], check=True)
    (lab / "postgres").unlink(missing_ok=True)
    tell("down" + (": its database and files are gone" if purge else ""))
    return 0


def status(lab: Path) -> int:
    """Each part of the lab, whether it runs; 0 only when all of it does."""
    chosen = ports(lab, True) if (lab / "ports.json").exists() else PORTS
    running = 0
    for daemon in daemons(lab, chosen):
        pid = alive(lab, daemon)
        running += pid is not None
        print(f"{daemon.name:<10} " + (f"running, pid {pid}" if pid else "stopped"))
    version, name, state = lab_setup.cluster()
    print(f"{'postgres':<10} {version} {name} {state}"
          + (", started by the lab" if (lab / "postgres").exists() else ""))
    web = f"http://127.0.0.1:{chosen['web']}"
    if running:
        print(f"{'server':<10} {web}/, its worker {worker_state(web)}")
    return 0 if running == len(PORTS) + 1 else 1


def main(argv: list[str]) -> int:
    if argv in (["-h"], ["--help"]):
        sys.stdout.write(USAGE)
        return 0
    if argv not in (["up"], ["down"], ["down", "--purge"], ["status"]):
        tell((f"unknown command '{' '.join(argv)}'" if argv else
              "a command, please: up, down or status")
             + "; see lava/lab --help")
        return 2
    if os.geteuid() != 0:
        tell("lava/lab needs root: apt, PostgreSQL and lava-server's own "
             "account")
        return 2
    lab = folder()
    try:
        if argv[0] == "up":
            return up(lab)
        if argv[0] == "down":
            return down(lab, purge=len(argv) == 2)
        return status(lab)
    except Stop as stop_:
        tell(str(stop_))
    except (OSError, subprocess.CalledProcessError) as error:
        tell(f"stopped: {error}")
    return 2
