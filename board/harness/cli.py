# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 The msgs_iic authors

"""board/run from end to end: the options, then each board's run, then what
is printed and reported; with --board all, a table of verdicts."""

import shutil
import subprocess
import sys
import tempfile
from concurrent.futures import Future, ThreadPoolExecutor
from dataclasses import replace
from pathlib import Path

from . import bench, bus, cache, farm, qemu, submit
from .boards import Target
from .host import Stop, build_programs, locked, say
from .install import host_tools, qemu_version
from .options import BadInput, Options, parse
from .packages import Guest, fetch_guest
from .report import exit_status, guest_seconds, publish, show
from .results import Results, collect
from .usage import usage

GOOD_RUN = (b"hello,this is I2C_RDWR i2c test \n"
            + b"".join(b"rd_buf is :%d\n" % n for n in range(8)))
# --board all's second verdict: i2ctransfer reads the pattern back.
READ_BACK = "i2ctransfer -y 0 w1@0x50 0x10 r8"
PATTERN = " ".join(f"0x{n:02x}" for n in range(8))


def main(argv: list[str]) -> int:
    try:
        options = parse(argv)
    except BadInput as bad:
        say(str(bad))
        sys.stderr.write(usage())
        return 2
    if options is None:
        sys.stdout.write(usage())
        return 0
    try:
        return run(options)
    except Stop as stop:
        say(str(stop))
    except (OSError, subprocess.CalledProcessError) as error:
        say(f"stopped: {error}")
    except KeyboardInterrupt:
        say("stopped: interrupted")
    return 2


def run(options: Options) -> int:
    boards = [target.board for target in options.targets]
    arches = {target.arch for target in options.targets}
    lines = any(board.trace == "lines" for board in boards)
    server = submit.connect(options.lava_submit) if options.lava_submit else None
    folder = cache.ready(cache.root())
    builds: list[Future[None]] = []
    with cache.in_use(folder), tempfile.TemporaryDirectory() as scratch, \
            ThreadPoolExecutor() as pool:
        work = Path(scratch)
        # The guest's packages come through apt state of their own, so they
        # are fetched while the host installs; the build starts once the
        # cross compilers are there.
        fetching = pool.submit(fetch, folder, options)
        with host_tools(
                arches,
                emulator=options.lava_dispatch or not (
                    options.lava_dir or options.lava_submit),
                decoder=lines and bool(options.report or options.picture),
                plotter=options.picture is not None,
                compilers=lambda: builds.extend(
                    pool.submit(build, arch, work)
                    for arch in sorted(arches, reverse=True))):
            for building in builds:
                building.result()
            if server is not None:
                return farm.submitted(options, fetching.result(), work, server)
            return go_on(options, fetching.result(), work)


def go_on(options: Options, guest: Guest, work: Path) -> int:
    """What the run was asked to do, once the host, the guest's packages
    and the programs are ready."""
    if options.lava_dispatch:
        return farm.dispatched(options, guest, work)
    if options.lava_dir:
        return farm.written(options, guest, options.lava_dir, work)
    if options.bench:
        return timed(options, guest, work)
    if options.every_board:
        return every_board(options, guest, work)
    return one_board(options.targets[0], options, guest, work)


def fetch(folder: Path, options: Options) -> Guest:
    with locked(folder / "fetch.lock"):
        return fetch_guest(folder, {t.board.kernel for t in options.targets},
                           lava=options.lava_test, refresh=options.refresh,
                           templates=options.lava_dispatch)


def build(arch: str, work: Path) -> None:
    say(f"building msgs_iic for {arch}")
    build_programs(arch, work / arch)


def one_board(target: Target, options: Options, guest: Guest,
              work: Path) -> int:
    results = collect(qemu.boot(target, options, guest, work), options)
    if options.report:
        publish(results, options.report)
    show(results, qemu_version(target.board.qemu))
    if options.picture and results.vcd is not None:
        vcd = work / "bus.vcd"
        vcd.write_text(results.vcd)
        bus.draw(target.board.name, vcd, options.picture)
    return exit_status(results)


def verdict(results: Results) -> tuple[str, str]:
    """--board all's verdict on one board, and why it failed."""
    failed = (results.failed or b"").decode(errors="replace").split("\n")[0]
    if results.error is not None:
        return "FAIL (did not finish)", results.error
    if results.output is None:
        return "FAIL (guest command)", failed
    if results.output != GOOD_RUN or results.status != 0:
        return "FAIL (output)", "not the good run, or not exit status 0"
    read_back = results.after.decode(errors="replace").split("\n")[0]
    if read_back != PATTERN:
        return "FAIL (read-back)", f"i2ctransfer read {read_back}"
    if results.failed is not None:
        return "FAIL (guest command)", failed
    return "pass", ""


def timed(options: Options, guest: Guest, work: Path) -> int:
    """--bench: each board booted again and again; 0 only when every boot
    gave the good run."""
    runs = []
    for target in options.targets:
        boots, good = [], 0
        for _ in range(options.bench):
            shutil.rmtree(work / target.name, ignore_errors=True)
            results = collect(qemu.boot(target, options, guest, work), options)
            boots.append(results.boot)
            good += results.output == GOOD_RUN and results.status == 0
        runs.append((target.board.name, target.arch, boots, good))
    print("\n".join(bench.table(runs)))
    return 0 if all(good == len(boots) for *_, boots, good in runs) else 1


def row(*cells: str) -> str:
    return "{:<12} {:<8} {:<15} {:<14} {:<22} {:<7} {}".format(*cells)


def every_board(options: Options, guest: Guest, work: Path) -> int:
    """The good run on every board, a row each; 0 only when all pass."""
    options = replace(options, after=(READ_BACK, *options.after))
    rows = [row("board", "program", "kernel", "driver", "verdict", "guest",
                "wall")]
    passed = True
    for target in options.targets:
        results = collect(qemu.boot(target, options, guest, work), options)
        if options.report:
            publish(results, options.report / target.name)
        judged, why = verdict(results)
        if judged != "pass":
            passed = False
            say(f"{target.name}: {judged}: {why}")
        seconds = guest_seconds(results)
        rows.append(row(target.board.name, target.arch, results.boot.kernel,
                        target.board.module, judged,
                        seconds if seconds == "-" else f"{seconds} s",
                        f"{results.boot.wall} s"))
    print("\n".join(rows))
    return 0 if passed else 1
