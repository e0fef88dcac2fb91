# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 The msgs_iic authors

"""The cache of Debian's guest packages: one folder a machine, shared by
every clone, as tuxrun's cache and Buildroot's download folder are.

Each part (the userland, a kernel, LAVA's helpers) is a folder named after
the packages it holds, and a link to it by the part's name. A part is
whole before its link points to it, so a fetch that stopped halfway leaves
nothing that passes for a cache, and a refresh moves the link only when
the new part is complete. Every run holds use.lock shared and resolves the
links once; a run that finds no other clears the folders no link names."""

import fcntl
import hashlib
import os
import re
import shutil
from collections.abc import Iterator
from contextlib import contextmanager
from dataclasses import dataclass
from pathlib import Path

from ..host.progress import Stop, unwritable, xdg

ENVIRONMENT = "MSGS_IIC_CACHE"
# What a part holds, beside its packages: a part of another format does not
# pass for a cache, and is fetched anew.
FORMAT = 4   # 4: a virtio disk's and the SD hosts' modules too
# A part's folder: its name, then a digest of its packages, or "new" while
# it is being filled.
FOLDER = re.compile(r"[a-z0-9-]+\.(new|[0-9a-f]{12})")


def root() -> Path:
    """$MSGS_IIC_CACHE, else msgs_iic/ in the XDG cache folder."""
    named = os.environ.get(ENVIRONMENT)
    if named:
        return Path(named).absolute()
    return xdg("XDG_CACHE_HOME", ".cache") / "msgs_iic"


def ready(folder: Path) -> Path:
    """The cache folder, made if need be; one plain line where it cannot
    be made or written."""
    why = unwritable(folder)
    if why is not None:
        raise Stop(f"cannot use {folder} for the cache of Debian's packages "
                   f"({why}): set {ENVIRONMENT} to a folder that can be "
                   "written")
    return folder


@dataclass(frozen=True)
class Part:
    """One part of the cache: the packages it comes from, as NAME VERSION
    lines, and where they are unpacked."""
    name: str
    packages: str
    folder: Path


def digest(packages: str) -> str:
    return hashlib.sha256(f"{FORMAT}\n{packages}".encode()).hexdigest()[:12]


def current(folder: Path, name: str) -> Part | None:
    """The part the link names, resolved once, or None."""
    link = folder / name
    if not link.is_symlink():
        return None
    target = link.resolve()
    listed = target / "packages"
    if not listed.is_file():
        return None
    packages = listed.read_text()
    if target.name != f"{name}.{digest(packages)}":
        return None
    return Part(name, packages, target)


def link(folder: Path, part: Part) -> None:
    """Points the part's link at its folder in one step: a new link beside
    the old one, renamed over it."""
    new = folder / f"{part.name}.link"
    new.unlink(missing_ok=True)
    new.symlink_to(part.folder.name)
    new.replace(folder / part.name)


def fresh(folder: Path) -> Path:
    shutil.rmtree(folder, ignore_errors=True)
    folder.mkdir(parents=True)
    return folder


def clear_old(folder: Path) -> None:
    """The folders that no link names: earlier parts, and what a stopped
    fetch left behind."""
    linked = {os.readlink(entry) for entry in folder.iterdir()
              if entry.is_symlink()}
    for entry in folder.iterdir():
        if entry.is_symlink() and entry.name.endswith(".link"):
            entry.unlink()
        elif (entry.is_dir() and not entry.is_symlink()
              and FOLDER.fullmatch(entry.name) and entry.name not in linked):
            shutil.rmtree(entry, ignore_errors=True)


@contextmanager
def in_use(folder: Path) -> Iterator[None]:
    """The run's hold on the cache. Where no other run holds it, the
    folders no link names are cleared first."""
    with (folder / "use.lock").open("a") as lock:
        try:
            fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
            clear_old(folder)
        except BlockingIOError:
            pass
        fcntl.flock(lock, fcntl.LOCK_SH)
        yield
