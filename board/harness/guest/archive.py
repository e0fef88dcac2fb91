# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 The msgs_iic authors

"""Debian's archive for the guest, through apt with state of its own for
each architecture, so that nothing in the host's dpkg or apt setup
changes. A mirror caught mid-sync or a proxy that drops a file costs an
index, not the run: the run goes on when what it needs came with the
indexes that did arrive."""

import re
import subprocess
from dataclasses import dataclass
from pathlib import Path

from ..host.apt import RETRIES
from ..host.progress import LOG, Stop, logged, shown

# apt's words for why an index failed, as a person would put it.
CAUSES = ((r"unexpected size|Hash Sum mismatch", "mirror mid-sync?"),
          (r"\b404\b", "not on the mirror"),
          (r"[Cc]onnect|resolve|[Tt]imed? ?out", "mirror out of reach"),
          (r"not signed|NO_PUBKEY|invalid", "signature not accepted"))


@dataclass(frozen=True)
class Failed:
    """An index apt-get update could not fetch."""
    index: str    # its suite and architecture: "bookworm-security (armhf)"
    cause: str


def command(folder: Path, arch: str, tool: str, *args: str) -> list[str]:
    """apt-get or apt-cache on the architecture's own state in the cache,
    with the host's sources."""
    state = folder / f"apt-{arch}"
    (state / "lists" / "partial").mkdir(parents=True, exist_ok=True)
    (state / "cache" / "archives" / "partial").mkdir(parents=True,
                                                     exist_ok=True)
    return [tool, "-q", f"-oAPT::Architecture={arch}",
            f"-oAPT::Architectures::={arch}",
            f"-oDir::State::Lists={state / 'lists'}",
            f"-oDir::Cache={state / 'cache'}", "-oDir::State::status=/dev/null",
            "-oAPT::Sandbox::User=root", RETRIES, *args]


def failures(output: str, arch: str) -> list[Failed]:
    """The indexes that apt-get update names as failed, once each. It says
    so on E: lines, or on W: lines with exit status 0 when nothing came."""
    found: dict[str, Failed] = {}
    fetches = re.findall(r"^[EW]: Failed to fetch (\S+)\s+(.*)$", output, re.M)
    refused = re.findall(r"^[EW]: The repository '\S+ (\S+) [^']*' (.*)$",
                         output, re.M)
    for where, message in [*fetches, *refused]:
        suite = re.search(r"/dists/([^/]+)/", where)
        index = f"{suite.group(1) if suite else where} ({arch})"
        cause = next((why for pattern, why in CAUSES
                      if re.search(pattern, message)), f"see {shown(LOG)}")
        found.setdefault(index, Failed(index, cause))
    return list(found.values())


def update(folder: Path, arch: str) -> list[Failed]:
    """The architecture's package lists brought up to date, as far as the
    mirror lets; what did not arrive is returned, for check_wanted."""
    done = logged(f"apt-get update ({arch})",
                  command(folder, arch, "apt-get", "update"), check=False)
    return failures(done.stdout, arch)


def show(folder: Path, arch: str, *packages: str) -> dict[str, dict[str, str]]:
    """apt's candidate of each package, its fields by name; a package no
    list holds is left out (apt-cache says nothing of it)."""
    text = subprocess.run(
        command(folder, arch, "apt-cache", "show", "--no-all-versions",
                *packages), capture_output=True, text=True).stdout
    stanzas: dict[str, dict[str, str]] = {}
    for block in text.split("\n\n"):
        fields = dict(re.findall(r"^([\w-]+): (.*)$", block, re.M))
        if "Package" in fields:
            stanzas.setdefault(fields["Package"], fields)
    return stanzas


def check_wanted(arch: str, failed: list[Failed], wanted: tuple[str, ...],
                 found: dict[str, dict[str, str]]) -> list[str]:
    """What to tell a person of the indexes that failed, where everything
    wanted came with the others; else one line that names what is
    missing, and the run stops."""
    missing = [name for name in wanted if name not in found]
    if missing:
        names = [f.index for f in failed]
        listed = " and ".join([", ".join(names[:-1]), *names[-1:]] if
                              len(names) > 1 else names)
        why = f"{listed} could not be fetched" if failed else "no index lists it"
        raise Stop(f"Debian's {arch} {missing[0]} cannot be had: {why} "
                   f"(see {shown(LOG)})")
    return [f"{f.index} could not be fetched ({f.cause}); going on without it"
            for f in failed]


def download(folder: Path, arch: str, into: Path, *packages: str) -> list[Path]:
    """The packages' .deb files, into the folder; where one cannot be had,
    one line names it and apt's reason."""
    into.mkdir(parents=True, exist_ok=True)
    done = logged(f"apt-get download ({arch}) {' '.join(packages)}",
                  command(folder, arch, "apt-get", "download", *packages),
                  cwd=into, check=False)
    if done.returncode != 0:
        failed = re.search(r"^E: Failed to fetch \S*/([^/_\s]+)_\S*\s+(.*?)"
                           r"\s*(\[IP: .*)?$", done.stdout, re.M)
        name, why = (failed.group(1), f" ({failed.group(2)})") if failed \
            else (" ".join(packages), "")
        raise Stop(f"Debian's {arch} {name} could not be downloaded{why}: "
                   f"see {shown(LOG)}")
    return sorted(into.glob("*.deb"))
