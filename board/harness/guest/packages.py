# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 The msgs_iic authors

"""Debian's packages for the guest, fetched into the cache once (or again
with --refresh) and unpacked: the userland, a kernel for each flavour, and
LAVA's test shell helpers."""

import fnmatch
import lzma
import shutil
import subprocess
import tarfile
from collections.abc import Callable, Iterable
from dataclasses import dataclass, field
from functools import partial
from pathlib import Path, PurePosixPath

from . import archive, cache, kernel
from ..host.progress import Stop, say
from .cache import Part

# What a kernel package gives the guest: the kernel and its config, the
# device trees, and the modules the boards load (I2C controllers, i2c-dev,
# at24).
KERNEL_FILES = ("./boot/vmlinuz-*", "./boot/config-*", "*.dtb",
                "*/drivers/i2c/*.ko*", "*/misc/eeprom/at24.ko*",
                # A virtio NIC, for a board reached over SSH.
                "*/drivers/virtio/virtio_mmio.ko*", "*/net/core/failover.ko*",
                "*/drivers/net/net_failover.ko*", "*/drivers/net/virtio_net.ko*",
                # The disk a saved board reads its run's files from.
                "*/drivers/block/virtio_blk.ko*", "*/drivers/mmc/host/*.ko*")
USERLAND = ("busybox-static", "i2c-tools", "libi2c0", "libc6")
# Debian's dropbear and what it needs, for a board reached over SSH.
SSHD = ("dropbear-bin", "libtomcrypt1", "libtommath1", "libgmp10", "zlib1g",
        "libcrypt1")


def kernel_arch(flavour: str) -> str:
    return "armhf" if flavour == "armmp" else flavour


@dataclass(frozen=True)
class Guest:
    """The parts of the cache one run uses, resolved once, so that a
    refresh meanwhile changes nothing under it."""
    userland: Part
    kernels: dict[str, Part]   # by flavour
    lava: Part | None
    templates: Part | None     # lava-server's device-type templates
    sshd: Part | None = None   # dropbear, for a board that serves SSH

    def kernel(self, flavour: str) -> Path:
        return self.kernels[flavour].folder

    def packages(self, flavour: str) -> str:
        """NAME VERSION of each package a boot of the flavour uses."""
        used = (self.kernels[flavour], self.userland, self.lava)
        return "".join(part.packages for part in used if part is not None)


@dataclass
class Fetch:
    """One run's dealings with the archive: each architecture's lists
    brought up to date once, and what failed said once."""
    folder: Path
    refresh: bool
    failed: dict[str, list[archive.Failed]] = field(default_factory=dict)

    def resolve(self, arch: str, *wanted: str) -> dict[str, dict[str, str]]:
        told = arch in self.failed
        if not told:
            self.failed[arch] = archive.update(self.folder, arch)
        found = archive.show(self.folder, arch, *wanted)
        lines = archive.check_wanted(arch, self.failed[arch], wanted, found)
        for line in [] if told else lines:
            say(line)
        return found


Unpack = Callable[[list[Path], Path], None]


def cached_part(fetch: Fetch, name: str, arch: str,
                packages: tuple[str, ...], unpack: Unpack, what: str) -> Part:
    """The part as the cache holds it; fetched where it is missing, or
    with --refresh where the archive has newer packages."""
    held = cache.current(fetch.folder, name)
    if held is not None and not fetch.refresh:
        return held
    found = fetch.resolve(arch, *packages)
    listed = "".join(f"{name} {found[name]['Version']}\n" for name in packages)
    folder = fetch.folder / f"{name}.{cache.digest(listed)}"
    if held is not None and held.folder == folder:
        say(f"{what}: the cache holds the newest")
        return held
    if not folder.is_dir():
        megabytes = sum(int(found[name].get("Size", 0)) for name in packages)
        size = f"about {max(1, megabytes // 1000000)} MB"
        say(f"fetching {what} ({size}, once)" if held is None else
            f"fetching {what} ({size}), newer than the cache's")
        new = cache.fresh(fetch.folder / f"{name}.new")
        unpack(archive.download(fetch.folder, arch, new / "debs", *packages), new)
        shutil.rmtree(new / "debs")
        (new / "packages").write_text(listed)
        new.rename(folder)
    fetched = Part(name, listed, folder)
    cache.link(fetch.folder, fetched)
    return fetched


def unpack_all(debs: list[Path], into: Path) -> None:
    for deb in debs:
        subprocess.run(["dpkg-deb", "-x", deb, into / "root"], check=True)


def unpack_only(kept: str, name: str, debs: list[Path], into: Path) -> None:
    """One folder of the packages, as name: unpacked, never installed, for
    what the package holds rather than what it does."""
    unpack_all(debs, into)
    (into / "root" / kept).rename(into / name)
    shutil.rmtree(into / "root")


# lava-server's device-type templates, to render a device dictionary as a
# lab's server does.
unpack_templates = partial(unpack_only, "usr/share/lava-server/device-types",
                           "device-types")
# LAVA's test shell helpers from lava-dispatcher (installing it brings some
# 150 packages).
unpack_lava = partial(unpack_only, "usr/lib/python3/dist-packages/"
                      "lava_dispatcher/lava_test_shell", "lava_test_shell")


def kernel_part(fetch: Fetch, flavour: str) -> Part:
    """The newest kernel of the flavour: the meta package names it."""
    arch, name = kernel_arch(flavour), f"kernel-{flavour}"
    held = cache.current(fetch.folder, name)
    if held is not None and not fetch.refresh:
        return held
    meta = fetch.resolve(arch, f"linux-image-{flavour}")[f"linux-image-{flavour}"]
    image = meta.get("Depends", "").split(" ")[0]
    if not image.startswith("linux-image-"):
        raise Stop(f"linux-image-{flavour} ({arch}) names no kernel package")
    release = image.removeprefix("linux-image-")
    return cached_part(fetch, name, arch, (image,),
                       partial(unpack_kernel, arch),
                       f"Debian's {arch} kernel {release}")


def unpack_kernel(arch: str, debs: list[Path], into: Path) -> None:
    """The kernel's files; an armhf zImage's Image too, unpacked once."""
    unpack_kernel_files(debs, into)
    if arch == "armhf":
        kernel.unpack(into)


def fetch_guest(folder: Path, flavours: Iterable[str], lava: bool,
                refresh: bool, templates: bool = False,
                sshd: bool = False) -> Guest:
    """The parts the run needs, and with --refresh every part the cache
    holds, fetched where missing or older than the archive's."""
    fetch = Fetch(folder, refresh)
    held = {path.name for path in folder.iterdir() if path.is_symlink()}
    wanted = set(flavours) | ({name.removeprefix("kernel-") for name in held
                               if name.startswith("kernel-")} if refresh else set())
    userland = cached_part(fetch, "userland", "armhf", USERLAND, unpack_all,
                           "Debian's armhf busybox and i2c-tools")
    kernels = {flavour: kernel_part(fetch, flavour) for flavour in sorted(wanted)}
    helpers = None
    if lava or (refresh and "lava" in held):
        helpers = cached_part(
            fetch, "lava", "armhf", ("lava-dispatcher",), unpack_lava,
            "LAVA's test shell helpers from Debian's lava-dispatcher")
    server = None
    if templates or (refresh and "lava-server" in held):
        server = cached_part(fetch, "lava-server", "armhf", ("lava-server",),
                             unpack_templates,
                             "lava-server's device-type templates")
    dropbear = None
    if sshd or (refresh and "sshd" in held):
        dropbear = cached_part(fetch, "sshd", "armhf", SSHD, unpack_all,
                               "Debian's armhf dropbear")
    return Guest(userland, kernels, helpers if lava else None,
                 server if templates else None, dropbear if sshd else None)


def unpack_kernel_files(debs: list[Path], into: Path) -> None:
    """The kernel as vmlinuz and its config as config, the device trees
    under dtbs/ as the package names them, the modules flat and
    uncompressed under modules/."""
    (deb,) = debs
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
                (into / "release").write_text(
                    path.name.removeprefix("vmlinuz-") + "\n")
            elif path.name.startswith("config-"):
                target = into / "config"
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
