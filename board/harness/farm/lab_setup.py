# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 The msgs_iic authors

"""The lab's one-time setup: what it installs, PostgreSQL and lava-server's
database, the admin and the worker with their tokens, the qemu device; and
what down --purge takes away again."""

import re
import secrets
import shutil
import subprocess
from pathlib import Path

from ..host.apt import install_dispatcher, need, qemu_suite
from ..host.progress import Stop, say
from ..host.tools import qemu_fits
from . import dispatch

ADMIN = "admin"
WORKER = "msgs-iic-worker"
DEVICE = "msgs-iic-qemu"
DICTIONARY = Path("/etc/lava-server/dispatcher-config/devices") / f"{DEVICE}.jinja2"
DATABASES = ("lavaserver", "devel")   # the ones Debian's setup makes
# What Debian's setup writes, and the lab's jobs leave, beside the database.
FILES = (Path("/etc/lava-server/settings.d/00-database.yaml"), DICTIONARY,
         Path("/var/lib/lava-server/default/media/job-output"))
NEEDS = ("lava/lab needs lava-server, lavacli and PostgreSQL, LAVA's "
         "dispatcher and QEMU 8.0 or newer")


def install() -> None:
    """The server, its database, lavacli, and for the worker QEMU and
    LAVA's dispatcher: where they are missing."""
    if not qemu_fits() and shutil.which("qemu-system-arm") is None:
        need(["qemu-system-arm"], qemu_suite(), NEEDS)
    install_dispatcher("lava-server", "lavacli", "postgresql:pg_ctlcluster")


def manage(*args: str, check: bool = True) -> str:
    done = subprocess.run(["lava-server", "manage", *args], capture_output=True,
                          text=True, stdin=subprocess.DEVNULL)
    if check and done.returncode != 0:
        raise Stop(f"lava-server manage {' '.join(args[:2])} failed: "
                   f"{(done.stderr or done.stdout).strip().splitlines()[-1:]}")
    return done.stdout


def secret(path: Path, value: str) -> None:
    """A file only root reads: the password and the tokens."""
    path.touch(mode=0o600)
    path.chmod(0o600)
    path.write_text(value + "\n")


def postgres(*args: str) -> str:
    return subprocess.run(["runuser", "-u", "postgres", "--", "psql", "-tAc",
                           *args], capture_output=True, text=True).stdout


def cluster() -> list[str]:
    """PostgreSQL's first cluster: version, name, and whether it is online."""
    found = subprocess.run(["pg_lsclusters", "--no-header"], capture_output=True,
                           text=True).stdout.split()
    if len(found) < 4:
        raise Stop("PostgreSQL has no cluster: pg_createcluster makes one")
    return [found[0], found[1], found[3]]


def database(lab: Path) -> None:
    """PostgreSQL up, and lava-server's database made by Debian's own
    setup (its role, database and migrations) where it is missing."""
    version, name, state = cluster()
    if state != "online":
        subprocess.run(["pg_ctlcluster", version, name, "start"], check=True)
        (lab / "postgres").write_text(f"{version} {name}\n")
    if postgres("SELECT 1 FROM pg_database WHERE datname = 'lavaserver'") != "1\n":
        say("making lava-server's database (about 15 s, once)", "lab")
        with (lab / "setup.log").open("a") as log:
            subprocess.run(["/usr/bin/python3", "/usr/share/lava-server/postinst.py"],
                           stdout=log, stderr=subprocess.STDOUT, check=True)


def accounts(lab: Path) -> None:
    """The admin with a password and an API token, the worker and its
    token, and the qemu device on it, each once."""
    if not (lab / "password").exists():
        password = secrets.token_urlsafe(18)
        known = bool(re.search(rf"^\* {ADMIN}$", manage("users", "list"), re.M))
        manage("users", "update" if known else "add", "--passwd", password,
               *([] if known else ["--superuser", "--staff"]), ADMIN)
        secret(lab / "password", password)
    if not (lab / "token").exists():
        secret(lab / "token", manage("tokens", "add", "--user", ADMIN).split()[-1])
    if not (lab / "worker-token").exists():
        made = manage("workers", "add", WORKER, check=False)
        if "Token:" not in made:
            made = manage("workers", "details", WORKER).replace("token ", "Token")
        secret(lab / "worker-token", re.findall(r"Token\s*:\s*(\S+)", made)[0])
    if not re.search(r"^\* qemu\b", manage("device-types", "list"), re.M):
        manage("device-types", "add", "qemu")
    DICTIONARY.write_text(dispatch.DEVICE)
    shutil.chown(DICTIONARY, "lavaserver", "lavaserver")
    if not re.search(rf"^\* {DEVICE}\b", manage("devices", "list", "--all"),
                     re.M):
        manage("devices", "add", "--device-type", "qemu", "--worker", WORKER, DEVICE)


def purge(lab: Path) -> None:
    """lava-server's database and roles, and the lab's files."""
    for name in DATABASES:
        postgres(f'DROP DATABASE IF EXISTS "{name}"')
        postgres(f'DROP ROLE IF EXISTS "{name}"')
    for path in FILES:
        if path.is_dir():
            shutil.rmtree(path)
        else:
            path.unlink(missing_ok=True)
    shutil.rmtree(lab, ignore_errors=True)
