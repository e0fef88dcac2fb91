# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 The msgs_iic authors

"""The host: progress lines, the log, locks, host tools and the armhf build."""

import fcntl
import os
import re
import shutil
import subprocess
import sys
import time
from collections.abc import Iterator, Sequence
from contextlib import contextmanager
from pathlib import Path

TOP = Path(__file__).resolve().parents[2]
LOG = TOP / "log" / "board.log"

NEEDS = ("board/run needs QEMU 8.0 or newer (qemu-system-arm, with "
         "at24c-eeprom's address-size), the armhf cross g++ "
         "(arm-linux-gnueabihf-g++), dtc, cpio, cmake and make; the arm64 "
         "cross g++ (aarch64-linux-gnu-g++) for an arm64 program, sigrok-cli "
         "for a report of vexpress's bus, gnuplot for a picture of it")
# The cross toolchain of each architecture the program is built for.
TRIPLETS = {"armhf": "arm-linux-gnueabihf", "arm64": "aarch64-linux-gnu"}


class Stop(Exception):
    """Ends board/run with exit status 2 and this one line."""


def say(line: str) -> None:
    print(f"board: {line}", file=sys.stderr, flush=True)


def shown(path: Path) -> str:
    """A path as a person in the project's folder would type it."""
    try:
        return str(path.relative_to(TOP))
    except ValueError:
        return str(path)


def log_line(text: str) -> None:
    LOG.parent.mkdir(parents=True, exist_ok=True)
    with LOG.open("a") as log:
        log.write(f"== {time.strftime('%F %T')} {text}\n")


def logged(what: str, command: Sequence[str | Path],
           cwd: Path | None = None, check: bool = True) -> bool:
    """Runs a command with its output in the log; on failure, its tail,
    and the run stops unless check is off."""
    log_line(what)
    with LOG.open("a+") as log:
        start = log.tell()
        done = subprocess.run(command, stdout=log, stderr=subprocess.STDOUT,
                              stdin=subprocess.DEVNULL, cwd=cwd)
        if done.returncode != 0 and check:
            log.seek(start)
            print("\n".join(log.read().splitlines()[-15:]), file=sys.stderr)
            raise Stop(f"{what} failed: see {shown(LOG)}")
    return done.returncode == 0


@contextmanager
def locked(path: Path) -> Iterator[None]:
    """What two runs share, one run at a time: a second run waits here."""
    path.parent.mkdir(parents=True, exist_ok=True)
    with path.open("w") as lock:
        try:
            fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            say(f"waiting for another board/run ({shown(path)})")
            fcntl.flock(lock, fcntl.LOCK_EX)
        yield


def output(command: Sequence[str]) -> str:
    done = subprocess.run(command, capture_output=True, text=True)
    return done.stdout + done.stderr


def qemu_version(qemu: str) -> str:
    found = re.search(r"version (\S+)", output([qemu, "--version"]))
    return found.group(1) if found else "(unknown)"


def qemu_fits() -> bool:
    """QEMU before 8.0 gives at24c-eeprom a two-byte word address whatever
    its size, so a 24C02-style write lands in the wrong place."""
    return (shutil.which("qemu-system-arm") is not None and "address-size"
            in output(["qemu-system-arm", "-device", "at24c-eeprom,help"]))


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
    if qemu_candidate() == 0:
        # An index that failed costs nothing while QEMU's came with others.
        logged("apt-get update", as_root(["apt-get", "-oAcquire::Retries=3",
                                          "update"]), check=False)
    if qemu_candidate() >= 8:
        return []
    codename = re.search(r"^VERSION_CODENAME=(\S+)",
                         Path("/etc/os-release").read_text(), re.M)
    if codename is None:
        raise Stop("/etc/os-release names no release to take QEMU from")
    add_backports(codename.group(1))
    return ["-t", f"{codename.group(1)}-backports"]


def install_host_tools(arches: set[str], emulator: bool, decoder: bool,
                       plotter: bool) -> None:
    """What the host lacks, through scripts/need: a cross compiler for each
    architecture, QEMU unless nothing boots, the sigrok decoder and gnuplot
    only when a report or a picture asks for them."""
    tools = ["cmake", "make",
             *(f"g++-{TRIPLETS[arch]}:{TRIPLETS[arch]}-g++"
               for arch in sorted(arches, reverse=True)),
             "device-tree-compiler:dtc", "cpio"]
    suite: list[str] = []
    if emulator and not qemu_fits() and shutil.which("qemu-system-arm") is None:
        tools.append("qemu-system-arm")
        suite = qemu_suite()
    if decoder:
        tools.append("sigrok-cli")
    if plotter:
        tools.append("gnuplot-nox:gnuplot")
    need = [str(TOP / "scripts" / "need"), "--log", str(LOG), "--for", NEEDS]
    if subprocess.run([*need, *suite, *tools]).returncode != 0:
        raise SystemExit(2)
    if emulator and not qemu_fits():
        raise Stop(f"QEMU {qemu_version('qemu-system-arm')}'s at24c-eeprom "
                   "has no address-size: install QEMU 8.0 or newer (on "
                   "Debian 12: apt-get install -t bookworm-backports "
                   "qemu-system-arm)")


def build_programs(arch: str, folder: Path) -> None:
    """The static msgs_iic and msgs_iic_on for one architecture, copied
    into the folder under the lock, so that a second run never takes a
    binary that is half written."""
    build = TOP / f"build-{arch}"
    with locked(build / ".lock"):
        if not (build / "CMakeCache.txt").exists():
            toolchain = TOP / "cmake" / f"{TRIPLETS[arch]}.cmake"
            logged(f"cmake ({arch})", ["cmake", "-S", TOP, "-B", build,
                                       "-DCMAKE_BUILD_TYPE=Release",
                                       f"-DCMAKE_TOOLCHAIN_FILE={toolchain}"])
        # All of it: a named target misses one that a changed CMakeLists
        # adds, as the build regenerates itself.
        logged(f"building msgs_iic for {arch}", ["cmake", "--build", build])
        folder.mkdir()
        for program in ("msgs_iic", "msgs_iic_on"):
            shutil.copy(build / program, folder / program)
