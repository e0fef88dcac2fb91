# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 The msgs_iic authors

"""The runs: on emulated boards, one board as a person reads it, every
board as a table, and --bench's boots; on real boards over SSH, the same.
Each gives its rows a verdict."""

import shutil
import sys
import time
from dataclasses import replace
from pathlib import Path

from ..boards import Target
from ..guest.packages import Guest
from ..host.apt import need
from ..host.build import TRIPLETS, build_programs
from ..host.progress import LOG, Stop, say
from ..options import Options, Remote
from ..report import files, terminal, verdict
from ..report.verdict import GOOD_RUN, READ_BACK, Row
from ..runs import bench, bus, qemu, snapshot, ssh
from ..runs.marks import Results, collect


def boot(target: Target, options: Options, guest: Guest, work: Path) -> Results:
    reach = snapshot.boot if snapshot.wanted(target.board, options) else qemu.boot
    return collect(reach(target, options, guest, work), options)


def told(results: Results, options: Options, report: Path | None,
         among: str | None = None) -> Row:
    """A run's row: shown whole where it is the only one, or among several
    (after the board's name) its commands and the reason it did not pass;
    then reported, so that a report that cannot be written takes nothing
    of what was shown."""
    row = verdict.row(results, options, report)
    if among is None:
        terminal.show(results, row, options)
    else:
        terminal.show_commands(results, options, f"{among}: ")
        if row.verdict != "pass":
            say(f"{among}: {row.verdict}: {row.why}")
    if report:
        files.publish(results, report)
    return row


def one_board(target: Target, options: Options, guest: Guest,
              work: Path, done: list[Row]) -> list[Row]:
    """The run on one board; its row goes into DONE as soon as there is
    one, so that a run stopped later still reports it."""
    results = boot(target, options, guest, work)
    row = told(results, options, options.report)
    done.append(row)
    if options.picture and results.vcd is not None:
        vcd = work / "bus.vcd"
        vcd.write_text(results.vcd)
        bus.draw(target.board.name, vcd, options.picture)
    return [row]


def every_board(options: Options, guest: Guest, work: Path,
                done: list[Row]) -> list[Row]:
    """The good run on every board, a row each into DONE as it ends, with
    i2ctransfer's read back as one more case."""
    options = replace(options, checks=(READ_BACK,))
    rows = done
    for target in options.targets:
        results = boot(target, options, guest, work)
        report = options.report / target.name if options.report else None
        rows.append(told(results, options, report, target.name))
    print("\n".join(terminal.table(rows)))
    return rows


def bench_boards(options: Options, guest: Guest, work: Path) -> int:
    """--bench: each board booted again and again, cold, and restored from
    its saved state where it has one (saved first, where need be, by a
    boot not counted), with what msgs_iic_on's keep adds; 0 only when
    every boot gave the good run."""
    runs: list[bench.Bench] = []
    options = replace(options, checks=(bench.KEEP,))
    for target in options.targets:
        kinds = [("cold", replace(options, cold=True))]
        if snapshot.wanted(target.board, options):
            kinds.append(("restored", options))
        for kind, asked in kinds:
            boots, good, keeps = [], 0, []
            for n in range(asked.bench + (kind == "restored")):
                shutil.rmtree(work / target.name, ignore_errors=True)
                results = boot(target, asked, guest, work)
                if kind == "restored" and n == 0:
                    continue
                boots.append(results.run)
                good += results.output == GOOD_RUN and results.status == 0
                keeps.append(bench.keep_cost(results))
            runs.append((target.board.name, target.arch, kind, boots, good, keeps))
    print("\n".join(bench.table(runs)))
    return 0 if all(good == len(boots) for _, _, _, boots, good, _ in runs) else 1


def programs(arch: str, work: Path) -> Path:
    """The static programs for the board's architecture, built once a run,
    with the cross compiler installed where it is missing."""
    folder = work / arch
    if not folder.exists():
        triplet = TRIPLETS[arch]
        need(["cmake", "make", f"g++-{triplet}:{triplet}-g++"], [],
             f"board/run --ssh needs cmake, make and the {arch} cross g++ "
             f"({triplet}-g++) for an {arch} board")
        build_programs(arch, folder)
    return folder


def ask(remote: Remote, board: dict[str, str], options: Options) -> None:
    """As msgs_iic_on asks, before anything is written: on the terminal,
    or not at all with --yes; with neither, nothing is written."""
    if options.yes:
        return
    sys.stderr.write(f"Write 8 bytes at 0x10 of 0x50 on {remote.given}'s bus 0 "
                     f"('{board['adapter']}'), then put them back? [y/N] ")
    sys.stderr.flush()
    if sys.stdin.readline().strip().lower() not in ("y", "yes"):
        raise Stop(f"{remote.given}: nothing written")


def ssh_board(remote: Remote, options: Options, work: Path,
              report: Path | None, alone: bool) -> Row:
    """The test on a real board over SSH, through msgs_iic_on 0: facts,
    programs, checks and the question first; the run, read and reported as
    an emulated board's."""
    with ssh.connected(remote, options.ssh_config) as link:
        board = ssh.facts(link)
        if not options.yes and not sys.stdin.isatty():
            raise Stop(f"{remote.given}: no terminal to ask on, and no --yes: "
                       "nothing written")
        say(f"{remote.given}: {board['machine']}, Linux {board['kernel']}, bus 0 "
            f"'{board['adapter']}' ({board['driver']}), as {board['user']}")
        on_board = ssh.copy_in(link, programs(board["arch"], work), options)
        try:
            for line in ssh.check(link, on_board, options.force):
                say(f"{remote.given}: {line}")
            ask(remote, board, options)
        except BaseException:
            ssh.remove(link, on_board)
            raise
        # From here the board removes the folder itself, once the test has
        # ended, whether or not this end is still there.
        say(f"running the test on {remote.given} through msgs_iic_on 0")
        run = ssh.run(link, on_board, board, options.timeout,
                      LOG.parent / f"{remote.given}.console")
    return told(collect(run, options), options, report,
                None if alone else remote.given)


def ssh_boards(options: Options, work: Path, done: list[Row]) -> list[Row]:
    """Each board given with --ssh, a row each into DONE as it ends; a
    board that cannot be reached or is refused is a row in error, and the
    others go on."""
    rows = done
    alone = len(options.ssh) == 1
    for remote in options.ssh:
        began = time.time()
        report = options.report and (options.report if alone
                                     else options.report / remote.given)
        try:
            rows.append(ssh_board(remote, options, work, report, alone))
        except Stop as stop:
            say(str(stop))
            rows.append(verdict.unfinished(remote.given, remote.given, "", "",
                                           str(stop), began))
    if not alone:
        print("\n".join(terminal.table(rows)))
    return rows
