# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 The msgs_iic authors

"""The host's apt, in one place: scripts/need for what is missing, the
suite QEMU comes from (the release's backports where need be), and what
dpkg says is installed."""

import os
import re
import shutil
import subprocess
from pathlib import Path

from .progress import TOP, Stop, logged, output, say, shown

APT_LOG = TOP / "log" / "apt.log"
NEED = TOP / "scripts" / "need"
# After scripts/need's own line on what failed.
NOT_INSTALLED = ("stopped: what the host lacks could not be installed (scripts/need "
                 f"said why; apt's log: {shown(APT_LOG)})")
# Transient failures on the way (a dropped connection, a slow mirror).
RETRIES = "-oAcquire::Retries=3"
DISPATCHER = ("board/run --lava-dispatch needs LAVA's dispatcher (lava-dispatcher, "
              "its lava-run) and QEMU's x86 emulator, the same version as its "
              "arm one")


def need_command(what: str, *args: str) -> list[str]:
    """scripts/need on the packages, its log beside the host's install."""
    return [str(NEED), "--log", str(APT_LOG), "--who", "board", "--for", what,
            *args]


def as_root(command: list[str]) -> list[str]:
    return command if os.getuid() == 0 else ["sudo", *command]


def qemu_candidate() -> int:
    """The major version of the QEMU that apt would install, or 0."""
    policy = output(["apt-cache", "policy", "qemu-system-arm"])
    found = re.search(r"Candidate: (?:\d+:)?(\d+)\.", policy)
    return int(found.group(1)) if found else 0


def backports_uri(codename: str) -> str | None:
    """The Debian mirror that the machine's own apt sources already use."""
    for sources in sorted(Path("/etc/apt/sources.list.d").glob("*.sources")):
        found = re.search(r"^URIs:\s*(\S+)", sources.read_text(), re.M)
        if found:
            return found.group(1)
    listed = Path("/etc/apt/sources.list")
    text = listed.read_text() if listed.exists() else ""
    found = re.search(rf"^deb\s+(\S+)\s+{codename}\s", text, re.M)
    return found.group(1) if found else None


def add_backports(codename: str) -> None:
    known = [Path("/etc/apt/sources.list"),
             *Path("/etc/apt/sources.list.d").glob("*")]
    if any(f"{codename}-backports" in path.read_text(errors="replace")
           for path in known if path.is_file()):
        return
    uri = backports_uri(codename)
    if uri is None:
        raise Stop(f"no Debian mirror in the apt sources to take "
                   f"{codename}-backports from")
    say(f"adding {codename}-backports from {uri} to the apt sources, "
        "for QEMU 8.0 or newer")
    source = (f"Types: deb\nURIs: {uri}\nSuites: {codename}-backports\n"
              "Components: main\nSigned-By: "
              "/usr/share/keyrings/debian-archive-keyring.gpg\n")
    subprocess.run(as_root(["tee", f"/etc/apt/sources.list.d/{codename}"
                            "-backports.sources"]),
                   input=source, text=True, stdout=subprocess.DEVNULL,
                   check=True)


def qemu_suite() -> list[str]:
    """apt's -t for QEMU: none where the release's own QEMU is 8.0 or
    newer (Debian 13), else its backports."""
    if shutil.which("apt-get") is None:
        return []
    candidate = qemu_candidate()
    if candidate == 0:
        # An index that failed costs nothing while QEMU's came with others.
        logged("apt-get update", as_root(["apt-get", RETRIES, "update"]),
               check=False)
        candidate = qemu_candidate()
    if candidate >= 8:
        return []
    codename = re.search(r"^VERSION_CODENAME=(\S+)",
                         Path("/etc/os-release").read_text(), re.M)
    if codename is None:
        raise Stop("/etc/os-release names no release to take QEMU from")
    add_backports(codename.group(1))
    return ["-t", f"{codename.group(1)}-backports"]


def configured(tools: list[str]) -> bool:
    """Whether every tool's program or file is there and dpkg has configured
    its package; dpkg is asked only once the programs are there."""
    if not all(shutil.which(probe) or Path(probe).exists()
               for probe in (tool.split(":")[-1] for tool in tools)):
        return False
    if shutil.which("dpkg-query") is None:
        return True
    packages = [tool.split(":")[0] for tool in tools]
    states = output(["dpkg-query", "-W", "-f=${Status}\n", *packages])
    return states.split("\n")[:-1] == ["install ok installed"] * len(packages)


def need(packages: list[str], options: list[str], what: str) -> None:
    """What is missing of the packages, installed; a stop where it cannot
    be, after scripts/need's own line."""
    if subprocess.run(need_command(what, *options, *packages)).returncode != 0:
        raise Stop(NOT_INSTALLED)


def installed_from(package: str) -> str | None:
    """The suite that the installed version of the package came from, as
    apt-cache policy lists it under that version (marked ***)."""
    policy = output(["apt-cache", "policy", package]) \
        if shutil.which("apt-cache") else ""
    found = re.search(r"^ \*\*\* .*\n(?: {8}.*\n)*? {8}\d+ \S+ ([^/\s]+)/",
                      policy, re.M)
    return found.group(1) if found else None


def install_dispatcher(*also: str) -> None:
    """LAVA's dispatcher, and what else is asked, in one transaction. Its
    guestfs pulls QEMU's x86 emulator, which shares its files with the arm
    one and so must come from the same suite: backports, where that one
    came from there (apt then takes from it what QEMU needs, seabios too)."""
    suite = installed_from("qemu-system-arm")
    x86 = "qemu-system-x86" + (f"/{suite}" if suite else "")
    need(["lava-dispatcher:lava-run", f"{x86}:qemu-system-x86_64", *also], [],
         DISPATCHER)
