# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 The msgs_iic authors

"""The guest's image: its initramfs, the kernel's command line, QEMU's
threading and parked CPUs, and the EEPROM that QEMU puts at 0x50."""

import gzip
import hashlib
import os
import shutil
import subprocess
import zlib
from dataclasses import dataclass
from pathlib import Path

from ..boards import Board, Chip
from ..host.progress import TOP
from ..options import Options
from .elf import interpreter
from .packages import Guest

# A virtio NIC's modules, in the order they load.
NIC_MODULES = ("virtio_mmio", "failover", "net_failover", "virtio_net")


@dataclass(frozen=True)
class Sshd:
    """A board that serves SSH instead of running the test: dropbear with
    this host key (OpenSSH's format, converted on the board), and these
    keys let in as root and as a user who may not open the bus."""
    host_key: Path
    authorized_keys: str
    user: str = "tester"


GUEST_LIBS = ("lib/ld-linux-armhf.so.3",
              "lib/arm-linux-gnueabihf/ld-linux-armhf.so.3",
              "lib/arm-linux-gnueabihf/libc.so.6")


def copy(source: Path, target: Path) -> None:
    target.parent.mkdir(parents=True, exist_ok=True)
    shutil.copy2(source, target, follow_symlinks=False)


def write_commands(folder: Path, commands: tuple[str, ...]) -> None:
    """A step's guest commands, a file each, numbered in order; /init runs
    them one by one, as they are."""
    folder.mkdir(parents=True)
    for number, command in enumerate(commands, 1):
        (folder / f"{number:03d}").write_text(command + "\n")


def chip_image(options: Options) -> bytes:
    """The chip's bytes: the image file's (of the chip's size), or all 0xff
    as a part ships."""
    if options.image:
        return options.image.read_bytes()
    return b"\xff" * options.chip.size


def eeprom_device(bus: str, chip: Chip, size: int | None = None) -> str:
    """QEMU's EEPROM at 0x50 on the bus, with the part's word address."""
    return (f"at24c-eeprom,bus={bus},address=0x50,address-size={chip.word},"
            f"rom-size={size or chip.size}")


def loaded_over_bus(options: Options) -> bool:
    """Whether /init writes the chip's first bytes (a writable 24C02)."""
    return options.eeprom and not options.write_protect and options.chip.word == 1


def eeprom_devices(board: Board, options: Options, run: Path) -> list[str]:
    """QEMU's at24c-eeprom sets its pointer to (old pointer << 8 | word
    address) modulo rom-size, a 24C02's pointer only at rom-size 256. So a
    writable 24C02 has no backing file (whose size would be a whole 512-byte
    sector): /init loads its bytes over the bus. A write-protected one is
    never written, so it is 512 bytes backed by the image twice: whichever
    half a stale pointer bit selects, the bytes are the same. A two-byte
    part's pointer is sound at its own size, whole sectors: a copy of the
    image backs it."""
    if not options.eeprom:
        return []
    bus, chip = board.buses[options.eeprom_bus], options.chip
    if loaded_over_bus(options):
        (run / "root" / "etc" / "eeprom.img").write_bytes(chip_image(options))
        return ["-device", eeprom_device(bus, chip)]
    backing = run / "eeprom.img"
    copies = 2 if chip.word == 1 else 1
    backing.write_bytes(chip_image(options) * copies)
    protect = ",writable=off" if options.write_protect else ""
    return ["-drive", f"if=none,id=ee,file={backing},format=raw",
            "-device", f"{eeprom_device(bus, chip, copies * chip.size)},"
            f"drive=ee{protect}"]


def kernel_line(board: Board, *more: str) -> str:
    """The kernel's command line: the console, /init, and the record's
    options."""
    return " ".join([f"console={board.console}", "rdinit=/init", *more,
                     *board.boot_options])


def threading(board: Board) -> list[str]:
    return ["-accel", "tcg,thread=single"] if board.tcg == "single" else []


# A parked CPU's loop, in A32: wfi; b (back to the wfi).
PARKED = (0xE320F003, 0xEAFFFFFD)


def parking(board: Board) -> list[str]:
    """QEMU's generic loader writes the loop and points the parked CPUs'
    PC at it, after QEMU's own reset has set them to its boot code."""
    devices = [f"loader,addr={board.park_at + 4 * n:#x},data={word:#x},"
               "data-len=4" for n, word in enumerate(PARKED) if board.park]
    devices += [f"loader,addr={board.park_at:#x},cpu-num={cpu}"
                for cpu in board.park]
    return [arg for device in devices for arg in ("-device", device)]


def add_program_root(root: Path, given: Path) -> None:
    """Another build's msgs_iic with the shared libraries of its root,
    under PROGRAM_ROOT."""
    into = root / PROGRAM_ROOT.lstrip("/")
    copy(given / "usr/bin/msgs_iic", into / "usr/bin/msgs_iic")
    for folder in ("lib", "usr/lib"):
        for library in sorted((given / folder).glob("*.so*")):
            copy(library, into / folder / library.name)


def add_sshd(root: Path, guest: Guest, board: Board, sshd: Sshd) -> None:
    """Dropbear and its libraries, the NIC's modules, the host key, and the
    two logins."""
    assert guest.sshd is not None
    shutil.copytree(guest.sshd.folder / "root", root, dirs_exist_ok=True,
                    symlinks=True, ignore=shutil.ignore_patterns("share"))
    modules = guest.kernel(board.kernel) / "modules"
    for module in NIC_MODULES:
        copy(modules / f"{module}.ko", root / "lib" / "modules" / f"{module}.ko")
    (root / "etc" / "dropbear").mkdir(parents=True)
    shutil.copy(sshd.host_key, root / "etc" / "dropbear" / "host_key.openssh")
    (root / "etc" / "passwd").write_text(
        "root:x:0:0:root:/root:/bin/sh\n"
        f"{sshd.user}:x:1000:1000:{sshd.user}:/home/{sshd.user}:/bin/sh\n")
    (root / "etc" / "group").write_text(f"root:x:0:\n{sshd.user}:x:1000:\n")
    for home in (root / "root", root / "home" / sshd.user):
        (home / ".ssh").mkdir(parents=True, mode=0o700)
        (home / ".ssh" / "authorized_keys").write_text(sshd.authorized_keys)


def make_root(board: Board, options: Options, guest: Guest, programs: Path,
              root: Path, shell: bool = False, sshd: Sshd | None = None) -> None:
    """The armhf userland whatever the kernel, the board's modules,
    msgs_iic and msgs_iic_on from the programs' folder, and /init, which
    runs the program, or with shell gives a shell on the console."""
    userland = guest.userland.folder / "root"
    modules = guest.kernel(board.kernel) / "modules"
    for folder in ("bin", "dev", "etc", "proc", "sys", "tmp", "lib/modules",
                   "usr/sbin"):
        (root / folder).mkdir(parents=True, exist_ok=True)
    copy(userland / "bin" / "busybox", root / "bin" / "busybox")
    (root / "bin" / "sh").symlink_to("busybox")
    for tool in (userland / "usr" / "sbin").glob("i2c*"):
        copy(tool, root / "usr" / "sbin" / tool.name)
    for library in GUEST_LIBS:
        copy(userland / library, root / library)
    for libi2c in (userland / "usr/lib/arm-linux-gnueabihf").glob("libi2c.so.0*"):
        copy(libi2c, root / "usr/lib/arm-linux-gnueabihf" / libi2c.name)
    for module in (board.module, "i2c-dev", "at24"):
        copy(modules / f"{module}.ko", root / "lib" / "modules" / f"{module}.ko")
    for program in ("msgs_iic", "msgs_iic_on"):
        copy(programs / program, root / "bin" / program)
    copy(TOP / "board" / "init", root / "init")
    copy(TOP / "board" / "test-run", root / "bin" / "test-run")
    flag = {True: "yes", False: "no"}
    (root / "etc" / "board.conf").write_text(
        f"bus_module={board.module}\ni2c_dev={flag[options.i2c_dev]}\n"
        f"eeprom={flag[options.eeprom]}\neeprom_bus={options.eeprom_bus}\n"
        f"eeprom_size={options.chip.size}\neeprom_word={options.chip.word}\n"
        f"shell={flag[shell]}\nsshd={flag[sshd is not None]}\n")
    test_folder(root / "test", options, "/bin", options.eeprom_bus)
    if sshd is not None:
        add_sshd(root, guest, board, sshd)
    if options.program_root is not None:
        add_program_root(root, options.program_root)


# Where a --program-root goes in the guest, apart from its own libraries.
PROGRAM_ROOT = "/opt/root"


def program(options: Options, programs: str, bus: int) -> str:
    """The test's command line on the board: msgs_iic, or msgs_iic_on on
    the bus, which keeps the chip's bytes; or another build's msgs_iic
    under its own dynamic loader, with its own libraries."""
    if options.program_root is not None:
        loader = interpreter(options.program_root / "usr/bin/msgs_iic")
        libraries = f"{PROGRAM_ROOT}/lib:{PROGRAM_ROOT}/usr/lib"
        return (f"{PROGRAM_ROOT}{loader} --library-path {libraries} "
                if loader else "") + f"{PROGRAM_ROOT}/usr/bin/msgs_iic"
    if not options.keep:
        return f"{programs}/msgs_iic"
    # The msgs_iic copied beside it, named: never another one on PATH. An
    # emulated chip with no image is blank, which reads cannot tell apart:
    # the part is the one QEMU stands in for, so it is named.
    force = " --force" if options.force else ""
    chip = f" --chip {options.chip.name}" if options.image is None else ""
    return (f"{programs}/msgs_iic_on -y{force}{chip} "
            f"--program {programs}/msgs_iic {bus}")


def test_folder(folder: Path, options: Options, programs: str, bus: int) -> None:
    """What board/test-run reads: the program's command line, and the guest
    commands of each step."""
    folder.mkdir(parents=True, exist_ok=True)
    (folder / "program").write_text(program(options, programs, bus) + "\n")
    write_commands(folder / "before", options.before)
    write_commands(folder / "after", options.checks + options.after)


def make_initramfs(root: Path, output: Path, kept: Path | None = None) -> None:
    """The folder's archive, compressed; where KEPT is given (a folder and
    a name), a copy kept there under the archive's digest saves compressing
    it again, used only where it holds the very same archive."""
    if kept is not None:
        # The same files give the same archive: no times, no inode numbers.
        for path in [root, *root.rglob("*")]:
            os.utime(path, ns=(0, 0), follow_symlinks=False)
    archive = cpio(root, "--reproducible") if kept else cpio(root)
    if kept is not None:
        kept = kept.with_name(
            f"{kept.name}.{hashlib.sha256(archive).hexdigest()[:16]}.gz")
        try:
            packed = kept.read_bytes()
            if gzip.decompress(packed) == archive:
                output.write_bytes(packed)
                return
        except (OSError, EOFError, zlib.error, gzip.BadGzipFile):
            pass   # none yet, or damaged: made anew
    packed = gzip.compress(archive, compresslevel=1, mtime=0)
    output.write_bytes(packed)
    if kept is not None:
        new = kept.with_name(f"{kept.name}.{os.getpid()}")
        new.write_bytes(packed)
        new.replace(kept)


def cpio(root: Path, *more: str) -> bytes:
    """The folder as a newc archive, its names in a fixed order."""
    names = ["."]
    for folder, subfolders, files in os.walk(root):
        subfolders.sort()
        here = Path(folder).relative_to(root)
        names += [str(here / name) for name in sorted(subfolders + files)]
    return subprocess.run(["cpio", "-o", "-H", "newc", "--quiet", *more],
                          cwd=root, input="\n".join(names).encode(),
                          stdout=subprocess.PIPE, check=True).stdout
