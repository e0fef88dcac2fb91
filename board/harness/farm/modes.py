# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 The msgs_iic authors

"""board/run and a board farm: LAVA jobs written for a lab (--lava), run in
LAVA's own dispatcher here (--lava-dispatch), or sent to a LAVA server and
judged by its own results (--lava-submit); the last two give a row each."""

import shutil
from time import time as now
import urllib.parse
from contextlib import nullcontext
from dataclasses import replace
from pathlib import Path

from ..boards import Target
from ..guest.packages import Guest
from ..host.apt import install_dispatcher
from ..host.progress import TOP, Stop, say
from ..options import LAVA_REPO, LAVA_URL, Options
from ..report.verdict import CASES, Row, utc
from . import dispatch, jobs, submit


def write_jobs(options: Options, guest: Guest, folder: Path, work: Path) -> None:
    for target in options.targets:
        into, base = folder, options.lava_url
        if options.every_board:
            into, base = folder / target.name, f"{base}/{target.name}"
        jobs.write_job(target, options, guest, work, into, base)
        say(f"wrote {into / 'job.yaml'} and the files it deploys")


def this_repository(options: Options, mode: str) -> Options:
    """The test definition from this checkout's git, unless another
    repository is given."""
    if options.lava_repo != LAVA_REPO:
        return options
    if not (TOP / ".git").exists():
        raise Stop(f"{mode} takes the test definition from git, and {TOP} is "
                   "no git checkout: give --lava-repo URL")
    return replace(options, lava_repo=str(TOP))


def lava_row(target: Target, found: dispatch.Verdict, kernel: str,
             report: Path | None = None) -> Row:
    """LAVA's verdict as a row: an error where the job failed, a failure
    where a case did not pass."""
    cases = {case: result.split()[0] for case, result in found.cases.items()}
    time = found.cases.get("time", "").split()
    seconds = float(time[1]) if len(time) > 1 else None
    missing = [case for case in CASES if case not in cases]
    failed = [case for case, result in cases.items() if result != "pass"]
    if found.job != "pass":
        verdict, why = "error", f"LAVA's job: {found.job}: {found.error}"
    elif missing:
        verdict, why = "error", f"LAVA gave no result for {', '.join(missing)}"
    elif failed:
        verdict, why = "fail", f"LAVA's case {', '.join(failed)} failed"
    else:
        verdict, why = "pass", ""
    return Row(target.name, target.board.name, target.arch, kernel,
               target.board.module, verdict, why, cases, seconds,
               found.seconds, report, found.link,
               started=utc(now() - found.seconds))


def release(guest: Guest, target: Target) -> str:
    """The release of the kernel the board's job deploys."""
    return (guest.kernel(target.board.kernel) / "release").read_text().strip()


def submitted(options: Options, guest: Guest, work: Path,
              server: submit.Server) -> list[Row]:
    """Each job sent to the server, and the server's own verdict on each
    case read back."""
    options = this_repository(options, "--lava-submit")
    folder = options.lava_dir or work / "lava"
    published = options.lava_dir and options.lava_url != LAVA_URL
    where = urllib.parse.urlsplit(options.lava_url)
    address = (where.hostname or "", where.port or 0) \
        if options.lava_url != LAVA_URL else ("127.0.0.1", 0)
    folder.mkdir(parents=True, exist_ok=True)
    with nullcontext(options.lava_url) if published else \
            dispatch.served(folder, address) as base:
        sent = []
        for target in options.targets:
            into = folder / target.name
            jobs.write_job(target, options, guest, work, into,
                           f"{base}/{target.name}")
            number = submit.send(server, (into / "job.yaml").read_text())
            say(f"submitted {target.name}'s job: "
                f"{server.url}/scheduler/job/{number}")
            sent.append((target, number))
        seconds = submit.wait(server, [number for _, number in sent],
                              options.timeout)
    found = [(target, submit.results(server, number, seconds[number]))
             for target, number in sent]
    print("\n".join(dispatch.table([(target.board.name, target.arch, verdict)
                                    for target, verdict in found])))
    return [lava_row(target, verdict, release(guest, target))
            for target, verdict in found]


def dispatched(options: Options, guest: Guest, work: Path) -> list[Row]:
    """Each job in LAVA's dispatcher, a table of LAVA's verdicts."""
    install_dispatcher()
    options = this_repository(options, "--lava-dispatch")
    assert guest.templates is not None
    templates = guest.templates.folder / "device-types"
    folder = options.lava_dir or work / "lava"
    (work / "dispatch").mkdir()
    found = []
    with dispatch.served(folder) as base:
        for target in options.targets:
            into = folder / target.name
            jobs.write_job(target, options, guest, work, into,
                           f"{base}/{target.name}")
            device = dispatch.device(
                templates, jobs.qemu_context(target.board, options), into)
            say(f"running {target.name}'s job in LAVA's dispatcher")
            log, seconds = dispatch.run(into / "job.yaml", device,
                                        options.timeout, work / "dispatch")
            verdict = dispatch.verdict(log, seconds)
            if verdict.job != "pass":
                say(f"{target.name}: LAVA: {verdict.error}")
            kept = None
            if options.report:
                kept = options.report / (target.name if options.every_board
                                         else "")
                kept.mkdir(parents=True, exist_ok=True)
                (kept / "lava.log").write_text(log)
                for name in ("job.yaml", "device.yaml"):
                    shutil.copy(into / name, kept / name)
            found.append((target, verdict, kept))
    print("\n".join(dispatch.table([(target.board.name, target.arch, verdict)
                                    for target, verdict, _ in found])))
    return [lava_row(target, verdict, release(guest, target), kept)
            for target, verdict, kept in found]
