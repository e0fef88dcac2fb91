# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 The msgs_iic authors

"""board/run from end to end: the options; then, side by side, the host's
tools, the guest's packages and the builds; then the run asked for, and its
verdict as the exit status and, where asked, as results for machines."""

import re
import shutil
import subprocess
import sys
import tempfile
import time
from concurrent.futures import Future, ThreadPoolExecutor
from pathlib import Path

from ..guest import cache
from ..guest.packages import Guest, fetch_guest
from ..host.build import build_programs
from ..host.progress import TOP, Ended, Stop, ended_by_signals, \
    ignore_endings, locked, say
from ..host.tools import host_tools, qemu_version
from ..options import Options
from ..report import machine
from ..report.verdict import Row, exit_status, unfinished
from . import listing, modes
from .parse import parse
from .rules import BadInput
from .usage import usage


def main(argv: list[str]) -> int:
    try:
        options = parse(argv)
    except BadInput as bad:
        say(f"{bad}; see board/run --help")
        return 2
    if options == "help":
        sys.stdout.write(usage())
        return 0
    if options == "list":
        print("\n".join(listing.table()))
        return 0
    if options == "version":
        print(f"board/run (msgs_iic) {version()}")
        return 0
    done: list[Row] = []
    began = time.time()
    with ended_by_signals():
        try:
            return run(options, done)
        except Stop as stop:
            line = str(stop)
        except (OSError, subprocess.CalledProcessError) as error:
            line = f"stopped: {error}"
        except Ended as ended:
            line = f"stopped: {ended}"
        ignore_endings()
        stopped(options, done, line, began)
        say(line)
        return 2


def version() -> str:
    """The project's version, where CMake has it."""
    found = re.search(r"^project\(msgs_iic VERSION (\S+)",
                      (TOP / "CMakeLists.txt").read_text(), re.M)
    return found.group(1) if found else "unknown"


def stopped(options: Options, done: list[Row], line: str, began: float) -> None:
    """The results of a run that ended early: the rows it finished, and
    the others in error with the line that ended it."""
    if options.results is None and options.junit is None:
        return
    names = {row.name for row in done}
    planned = ([(remote.given, remote.given, "", "") for remote in options.ssh]
               if options.ssh else
               [(target.name, target.board.name, target.arch,
                 target.board.module) for target in options.targets])
    rows = done + [unfinished(*row, line, began) for row in planned
                   if row[0] not in names]
    try:
        machine.write(rows, options.results, options.junit, line)
    except OSError as error:
        say(f"could not write the results: {error}")


def run(options: Options, done: list[Row]) -> int:
    if options.ssh:
        with tempfile.TemporaryDirectory() as scratch:
            return verdicts(modes.ssh_boards(options, Path(scratch), done),
                            options)
    boards = [target.board for target in options.targets]
    arches = {target.arch for target in options.targets}
    lines = any(board.trace == "lines" for board in boards)
    server = None
    if options.lava_submit:
        # LAVA's modules only for LAVA's runs: the others start sooner.
        from ..farm import submit
        server = submit.connect(options.lava_submit)
    folder = cache.ready(cache.root())
    builds: list[Future[None]] = []
    with cache.in_use(folder), tempfile.TemporaryDirectory() as scratch, \
            ThreadPoolExecutor() as pool:
        work = Path(scratch)
        # The guest's packages come through apt state of their own, so they
        # are fetched while the host installs; the build starts once the
        # cross compilers are there.
        fetching = pool.submit(fetch, folder, options)
        emulator = options.lava_dispatch or not (options.lava_dir
                                                 or options.lava_submit)
        if emulator and shutil.which("qemu-system-arm"):
            # Asked for meanwhile: a saved board's key names it.
            for qemu in {board.qemu for board in boards}:
                pool.submit(qemu_version, qemu)
        with host_tools(
                arches,
                emulator=emulator,
                decoder=lines and bool(options.report or options.picture),
                plotter=options.picture is not None,
                compilers=lambda: builds.extend(
                    pool.submit(build_programs, arch, work / arch)
                    for arch in sorted(arches, reverse=True))):
            for building in builds:
                building.result()
            guest = fetching.result()
            if server is not None:
                from ..farm import modes as farm
                done.extend(farm.submitted(options, guest, work, server))
                return verdicts(done, options)
            return run_asked(options, guest, work, done)


def run_asked(options: Options, guest: Guest, work: Path,
              done: list[Row]) -> int:
    """The run the options ask for, once the host, the guest's packages
    and the programs are ready; its exit status. Each row goes into DONE
    as it ends."""
    if options.lava_dispatch:
        from ..farm import modes as farm
        done.extend(farm.dispatched(options, guest, work))
        return verdicts(done, options)
    if options.lava_dir:
        from ..farm import modes as farm
        farm.write_jobs(options, guest, options.lava_dir, work)
        return 0
    if options.bench:
        return modes.bench_boards(options, guest, work)
    if options.every_board:
        return verdicts(modes.every_board(options, guest, work, done), options)
    return verdicts(modes.one_board(options.targets[0], options, guest, work,
                                    done), options)


def verdicts(rows: list[Row], options: Options) -> int:
    """The rows for machines, where asked, and the exit status they give."""
    machine.write(rows, options.results, options.junit)
    return exit_status(rows)


def fetch(folder: Path, options: Options) -> Guest:
    with locked(folder / "fetch.lock"):
        return fetch_guest(folder, {t.board.kernel for t in options.targets},
                           lava=options.lava_test, refresh=options.refresh,
                           templates=options.lava_dispatch)
