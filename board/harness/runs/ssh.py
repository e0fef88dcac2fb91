# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 The msgs_iic authors

"""A real board over SSH: the host's OpenSSH client with the user's own
configuration, keys and agent, in batch mode (a password prompt is an
error, not a hang), over one connection for the whole run. The test is
copied over that connection into a folder of its own and run there by
board/test-run, whose marks are read as a console's are."""

import re
import shlex
import subprocess
import tempfile
import time
from collections.abc import Iterator
from contextlib import contextmanager
from dataclasses import dataclass
from pathlib import Path

from ..guest.image import program
from ..host.progress import TOP, Stop, log_line, say
from ..options import Options, Remote
from .console import wait_for
from .marks import Run

# The program for each machine uname -m names: Debian's armhf one wants
# ARMv7 at least.
ARCHES = {"armv7l": "armhf", "armv8l": "armhf", "aarch64": "arm64",
          "arm64": "arm64"}
CONNECT = 15   # seconds for the connection and the login
# What the board says of itself, a "name value" line each.
FACTS = r"""echo "machine $(uname -m)"
echo "kernel $(uname -r)"
echo "user $(id -un)"
[ -e /dev/i2c-0 ] && echo "node yes"
[ -r /dev/i2c-0 ] && [ -w /dev/i2c-0 ] && echo "access yes"
echo "adapter $(cat /sys/class/i2c-dev/i2c-0/name 2>/dev/null)"
driver=$(readlink /sys/class/i2c-dev/i2c-0/device/../driver 2>/dev/null)
echo "driver ${driver##*/}"
"""
# The run's folder on the board, in the first place where a program may
# run: a noexec /tmp would refuse the programs with "Permission denied".
MAKE_FOLDER = r"""for base in /tmp /var/tmp "$HOME"; do
    [ -d "$base" ] || continue
    folder=$(mktemp -d "$base/msgs_iic.XXXXXX" 2>/dev/null) || continue
    if printf '#!/bin/sh\n' >"$folder/probe" && chmod 755 "$folder/probe" &&
        "$folder/probe" 2>/dev/null; then
        rm -f "$folder/probe"
        echo "$folder"
        exit 0
    fi
    rm -rf "$folder"
done
"""


@dataclass(frozen=True)
class Link:
    """One connection to a board: ssh's options up to the host, so that
    every command goes over the master connection."""
    remote: Remote
    ssh: tuple[str, ...]

    def command(self, script: str) -> list[str]:
        return [*self.ssh, "--", self.remote.host, script]


def ssh_options(remote: Remote, config: Path | None, control: Path) -> list[str]:
    """ssh with the user's configuration, or the one given; never a
    password, and never another way of checking host keys."""
    given = ["-F", str(config)] if config else []
    return ["ssh", "-T", *given, "-o", "BatchMode=yes",
            "-o", f"ConnectTimeout={CONNECT}",
            "-o", f"ControlPath={control}",
            *(["-p", str(remote.port)] if remote.port else []),
            *(["-l", remote.user] if remote.user else [])]


def refusal(remote: Remote, said: str) -> str:
    """ssh's own error as one line, with what to do."""
    lines = [line.removeprefix("ssh: ") for line in said.splitlines()
             if line.strip() and not line.startswith("@")]
    last = lines[-1] if lines else "ssh ended without a word"
    host = remote.host
    if "Host key verification failed" in said:
        if "HAS CHANGED" in said:
            return (f"its host key is not the one known for it (ssh: {last}): "
                    "if the board was reinstalled, check its new key, then "
                    f"ssh-keygen -R {host}")
        return (f"its host key is not known here (ssh: {last}): check it and "
                f"accept it by connecting once with ssh {remote.given}")
    if "Permission denied" in said:
        return (f"it refused the login (ssh: {last}): board/run logs in with a "
                "key or an agent, never a password; add your key to the "
                "board's authorized_keys")
    if re.search(r"Connection refused|timed out|No route|resolve|unreachable",
                 said):
        return f"cannot reach it (ssh: {last}): is it up, and sshd listening?"
    return f"ssh failed: {last}"


@contextmanager
def connected(remote: Remote, config: Path | None) -> Iterator[Link]:
    """The master connection for the length of the block; one line where
    ssh refuses it."""
    # Its socket in a short folder of its own in /tmp: ssh splits an option
    # at a space and expands a %, and a socket's path has 108 bytes at most,
    # so the TMPDIR of the run's other files could break it.
    with tempfile.TemporaryDirectory(prefix="msgs_iic-ssh.", dir="/tmp") as socket:
        with mastered(remote, config, Path(socket) / "control") as link:
            yield link


@contextmanager
def mastered(remote: Remote, config: Path | None, control: Path) -> Iterator[Link]:
    base = ssh_options(remote, config, control)
    master = subprocess.Popen([*base, "-M", "-N", "-o", "ControlPersist=no",
                               "--", remote.host], stdin=subprocess.DEVNULL,
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                              text=True, errors="replace")
    link = Link(remote, (*base, "-o", "ControlMaster=no"))
    deadline = time.monotonic() + 2 * CONNECT
    try:
        while subprocess.run([*base, "-O", "check", "--", remote.host],
                             capture_output=True).returncode != 0:
            if master.poll() is not None:
                said = master.stderr.read() if master.stderr else ""
                log_line(f"ssh {remote.given}", said)
                raise Stop(f"{remote.given}: {refusal(remote, said)}")
            if time.monotonic() > deadline:
                raise Stop(f"{remote.given}: no connection after {2 * CONNECT} s")
            time.sleep(0.1)
        yield link
    finally:
        subprocess.run([*base, "-O", "exit", "--", remote.host],
                       capture_output=True)
        try:
            master.wait(timeout=10)
        except subprocess.TimeoutExpired:
            master.kill()
            master.wait()


def call(link: Link, script: str, data: bytes | None = None) -> str:
    """A command on the board over the connection; what it printed."""
    done = subprocess.run(link.command(script), input=data, capture_output=True)
    if done.returncode != 0:
        said = done.stderr.decode(errors="replace").strip().splitlines()
        raise Stop(f"{link.remote.given}: {shlex.split(script)[0]} failed on the "
                   f"board: {said[-1] if said else done.returncode}")
    return done.stdout.decode(errors="replace")


def facts(link: Link) -> dict[str, str]:
    """What the board says of itself, checked."""
    said = dict(line.partition(" ")[::2] for line in call(
        link, FACTS).splitlines() if line)
    return checked(link.remote, said)


def checked(remote: Remote, said: dict[str, str]) -> dict[str, str]:
    """A machine that a program here runs on, a /dev/i2c-0, and a user who
    may open it; one line for what is missing."""
    given, machine = remote.given, said.get("machine", "")
    if machine not in ARCHES:
        raise Stop(f"{given}: its machine is {machine or 'unknown'}: board/run "
                   "has programs for armhf (armv7l) and arm64 (aarch64) boards")
    if said.get("node") != "yes":
        raise Stop(f"{given}: no /dev/i2c-0: load i2c-dev there (modprobe "
                   "i2c-dev), and check that the board has an I2C bus 0")
    if said.get("access") != "yes":
        raise Stop(f"{given}: {said.get('user')} may not open /dev/i2c-0 for "
                   "reading and writing: log in as root, or as a user in the "
                   "group that owns it")
    return {"host": remote.host, "user": said.get("user", ""),
            "machine": machine, "arch": ARCHES[machine],
            "kernel": said.get("kernel", ""), "adapter": said.get("adapter", ""),
            "driver": said.get("driver", "") or "-"}


def copy_in(link: Link, programs: Path, options: Options) -> str:
    """The programs, board/test-run and the run's guest commands, copied
    over the connection itself (no scp or sftp needed on the board) into a
    folder of their own; its path on the board. A copy that fails takes
    the folder with it."""
    folder = call(link, MAKE_FOLDER).strip()
    if not re.fullmatch(r"(/[A-Za-z0-9._-]+)*/msgs_iic\.[A-Za-z0-9]+", folder):
        raise Stop(f"{link.remote.given}: no folder on the board that programs "
                   "may run from: /tmp, /var/tmp and the login's home are "
                   "full, read-only or mounted noexec")
    if not folder.startswith("/tmp/"):
        say(f"{link.remote.given}: /tmp is no place to run programs from "
            f"(mounted noexec?): the test goes in {folder}")
    files = {f"bin/{name}": (programs / name).read_bytes()
             for name in ("msgs_iic", "msgs_iic_on")}
    files["test-run"] = (TOP / "board" / "test-run").read_bytes()
    files["program"] = (program(options, f"{folder}/bin", 0) + "\n").encode()
    steps = {"before": options.before, "after": options.after}
    for step, commands in steps.items():
        for number, command in enumerate(commands, 1):
            files[f"{step}/{number:03d}"] = (command + "\n").encode()
    try:
        call(link, f"mkdir {folder}/bin {folder}/before {folder}/after")
        for name, content in files.items():
            call(link, f"cat >{folder}/{name}", content)
        call(link, f"chmod 755 {folder}/bin/msgs_iic {folder}/bin/msgs_iic_on")
    except BaseException:
        remove(link, folder)
        raise
    return folder


def check(link: Link, folder: str, force: bool) -> list[str]:
    """msgs_iic_on's own checks of bus 0 and its adapter, before anything
    is asked or written: a PC's SMBus or a display's channel is refused
    there unless --force. What it said, the 0x50 warning among it."""
    command = f"{folder}/bin/msgs_iic_on --check{' --force' if force else ''} 0"
    done = subprocess.run(link.command(command), capture_output=True,
                          stdin=subprocess.DEVNULL)
    said = done.stderr.decode(errors="replace").splitlines()
    log_line(f"msgs_iic_on --check on {link.remote.given}", "\n".join(said) + "\n")
    if done.returncode != 0:
        last = said[-1].removeprefix("msgs_iic_on: ").removeprefix(
            "refused: ") if said else "no word"
        raise Stop(f"{link.remote.given}: msgs_iic_on refuses bus 0: {last}")
    return [line for line in said if not line.startswith("msgs_iic_on: bus ")]


def run(link: Link, folder: str, board: dict[str, str], timeout: int,
        log: Path) -> Run:
    """board/test-run on the board, its marks read as they come, as from a
    console; a connection cut meanwhile ends the stream, and the run."""
    started = time.monotonic()
    with (log.parent / f"{log.name}.ssh").open("w+") as err:
        # Cut off, the board goes on: msgs_iic_on puts the bytes back, and
        # test-run removes the folder once the program has ended, though no
        # mark reaches here any more.
        session = subprocess.Popen(
            link.command(f"trap '' HUP PIPE; sh {folder}/test-run -r {folder}; "
                         "echo @@done"),
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=err)
        try:
            ending = wait_for(session, log, timeout, started)
        finally:
            if session.poll() is None:
                session.terminate()
            session.wait()
        err.seek(0)
        messages = err.read()
    given = link.remote.given
    return Run(name=given, board=given,
               title=f"{given} ({board['machine']}, adapter "
                     f"'{board['adapter']}')",
               driver=board["driver"], arch=board["arch"], kernel=board["kernel"],
               seconds=round(time.monotonic() - started, 2),
               console=log.read_text(errors="replace"), console_log=log,
               ending=ending, via="SSH", messages=messages,
               facts={key: board[key] for key in ("host", "user", "machine",
                                                  "adapter", "driver")})


def remove(link: Link, folder: str) -> None:
    """The run's folder gone from the board, where the connection still
    stands: only before the test starts, which then removes it itself."""
    subprocess.run(link.command(f"rm -rf {folder}"), capture_output=True)
