# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 The msgs_iic authors

"""Debian's packages for the guest: the userland and the kernels, fetched
once into board/cache/ with apt state of our own for each architecture, so
that nothing in the host's dpkg or apt setup changes."""

import fnmatch
import lzma
import re
import shutil
import subprocess
import tarfile
from collections.abc import Iterable
from pathlib import Path, PurePosixPath

from .host import CACHE, Stop, logged, say

# What a kernel package gives the guest: the kernel, the device trees, and
# the modules the boards load (I2C controllers, i2c-dev, at24).
KERNEL_FILES = ("./boot/vmlinuz-*", "*.dtb", "*/drivers/i2c/*.ko*",
                "*/misc/eeprom/at24.ko*")


def kernel_arch(flavour: str) -> str:
    return "armhf" if flavour == "armmp" else flavour


def guest_apt(arch: str, tool: str, *args: str) -> list[str]:
    state = CACHE / f"apt-{arch}"
    (state / "lists" / "partial").mkdir(parents=True, exist_ok=True)
    (state / "cache" / "archives" / "partial").mkdir(parents=True,
                                                     exist_ok=True)
    return [tool, "-q", f"-oAPT::Architecture={arch}",
            f"-oAPT::Architectures::={arch}",
            f"-oDir::State::Lists={state / 'lists'}",
            f"-oDir::Cache={state / 'cache'}", "-oDir::State::status=/dev/null",
            "-oAPT::Sandbox::User=root", *args]


def lists(arch: str) -> None:
    """The package lists of one architecture, brought up to date once."""
    updated = CACHE / f"apt-{arch}" / "updated"
    if not updated.exists():
        logged(f"apt-get update ({arch})", guest_apt(arch, "apt-get", "update"))
        updated.touch()


def download(arch: str, folder: Path, *packages: str) -> list[Path]:
    lists(arch)
    folder.mkdir(parents=True, exist_ok=True)
    logged(f"apt-get download ({arch})",
           guest_apt(arch, "apt-get", "download", *packages), cwd=folder)
    return sorted(folder.glob("*.deb"))


def apt_cache(arch: str, *args: str) -> str:
    return subprocess.run(guest_apt(arch, "apt-cache", *args),
                          capture_output=True, text=True).stdout


def fetch_guest(flavours: Iterable[str], lava: bool) -> None:
    """Each part of the cache is filled in a folder of its own and moved
    into place when complete: a run that stopped halfway leaves nothing
    behind that looks like a cache."""
    for updated in CACHE.glob("apt-*/updated"):
        updated.unlink()
    if not (CACHE / "userland").is_dir():
        fetch_userland()
    for flavour in flavours:
        if not (CACHE / f"kernel-{flavour}").is_dir():
            fetch_kernel(flavour)
    if lava and not (CACHE / "lava").is_dir():
        fetch_lava()


def fetch_lava() -> None:
    """LAVA's test shell helpers, from lava-dispatcher: unpacked, never
    installed (installing it would bring in some 150 packages)."""
    say("fetching LAVA's test shell helpers from Debian's lava-dispatcher (once)")
    new = fresh(CACHE / "lava.new")
    (deb,) = download("armhf", new / "debs", "lava-dispatcher")
    subprocess.run(["dpkg-deb", "-x", deb, new / "root"], check=True)
    (next((new / "root").glob("usr/lib/python3/dist-packages/lava_dispatcher"))
     / "lava_test_shell").rename(new / "lava_test_shell")
    shutil.rmtree(new / "debs")
    shutil.rmtree(new / "root")
    new.rename(CACHE / "lava")


def fresh(folder: Path) -> Path:
    shutil.rmtree(folder, ignore_errors=True)
    folder.mkdir(parents=True)
    return folder


def fetch_userland() -> None:
    """busybox, i2c-tools and the libraries they need: armhf, every board."""
    say("fetching Debian's armhf busybox and i2c-tools (once)")
    new = fresh(CACHE / "userland.new")
    for deb in download("armhf", new / "debs", "busybox-static", "i2c-tools",
                        "libi2c0", "libc6"):
        subprocess.run(["dpkg-deb", "-x", deb, new / "root"], check=True)
    shutil.rmtree(new / "debs")
    new.rename(CACHE / "userland")


def fetch_kernel(flavour: str) -> None:
    arch = kernel_arch(flavour)
    new = fresh(CACHE / f"kernel-{flavour}.new")
    lists(arch)
    found = re.search(r"Depends: (linux-image-\S+)",
                      apt_cache(arch, "depends", f"linux-image-{flavour}"))
    if found is None:
        raise Stop(f"could not resolve linux-image-{flavour} to a kernel "
                   "package")
    image = found.group(1)
    size = re.search(r"^Size: (\d+)", apt_cache(arch, "show", image), re.M)
    megabytes = int(size.group(1)) // 1000000 if size else "?"
    release = image.removeprefix("linux-image-")
    say(f"fetching Debian's {arch} kernel {release} "
        f"(about {megabytes} MB, once)")
    (deb,) = download(arch, new / "debs", image)
    unpack_kernel(deb, new)
    (new / "release").write_text(release + "\n")
    shutil.rmtree(new / "debs")
    new.rename(CACHE / f"kernel-{flavour}")


def unpack_kernel(deb: Path, into: Path) -> None:
    """The kernel as vmlinuz, the device trees under dtbs/ as the package
    names them, the modules flat and uncompressed under modules/."""
    tar_stream = subprocess.Popen(["dpkg-deb", "--fsys-tarfile", deb],
                                  stdout=subprocess.PIPE)
    assert tar_stream.stdout is not None
    with tarfile.open(fileobj=tar_stream.stdout, mode="r|") as tar:
        for member in tar:
            if not member.isfile() or not any(
                    fnmatch.fnmatch(member.name, pattern)
                    for pattern in KERNEL_FILES):
                continue
            data = tar.extractfile(member)
            assert data is not None
            content = data.read()
            path = PurePosixPath(member.name)
            if path.name.startswith("vmlinuz-"):
                target = into / "vmlinuz"
            elif path.suffix == ".dtb":
                # usr/lib/linux-image-RELEASE/[VENDOR/]NAME.dtb
                target = into / "dtbs" / Path(*path.parts[3:])
            else:
                if path.suffix == ".xz":
                    content = lzma.decompress(content)
                target = into / "modules" / path.name.removesuffix(".xz")
            target.parent.mkdir(parents=True, exist_ok=True)
            target.write_bytes(content)
    if tar_stream.wait() != 0:
        raise Stop(f"dpkg-deb could not read {deb.name}")
