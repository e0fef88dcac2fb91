# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 The msgs_iic authors

"""board/run and a board farm: LAVA jobs written for a lab (--lava), run in
LAVA's own dispatcher here (--lava-dispatch), or sent to a LAVA server and
judged by its own results (--lava-submit)."""

import shutil
import urllib.parse
from contextlib import nullcontext
from dataclasses import replace
from pathlib import Path

from . import dispatch, lava, submit
from .host import TOP, Stop, say
from .install import install_dispatcher
from .options import Options
from .packages import Guest
from .usage import LAVA_REPO, LAVA_URL


def written(options: Options, guest: Guest, folder: Path, work: Path) -> int:
    for target in options.targets:
        into, base = folder, options.lava_url
        if options.every_board:
            into, base = folder / target.name, f"{base}/{target.name}"
        lava.write_job(target, options, guest, work, into, base)
        say(f"wrote {into / 'job.yaml'} and the files it deploys")
    return 0


def this_repository(options: Options, mode: str) -> Options:
    """The test definition from this checkout's git, unless another
    repository is given."""
    if options.lava_repo != LAVA_REPO:
        return options
    if not (TOP / ".git").exists():
        raise Stop(f"{mode} takes the test definition from git, and {TOP} is "
                   "no git checkout: give --lava-repo URL")
    return replace(options, lava_repo=str(TOP))


def submitted(options: Options, guest: Guest, work: Path,
              server: submit.Server) -> int:
    """Each job sent to the server, and the server's own verdict on each
    case read back; 0 only when every case of every job passed."""
    options = this_repository(options, "--lava-submit")
    folder = options.lava_dir or work / "lava"
    published = options.lava_dir and options.lava_url != LAVA_URL
    where = urllib.parse.urlsplit(options.lava_url)
    address = (where.hostname or "", where.port or 0) \
        if options.lava_url != LAVA_URL else ("127.0.0.1", 0)
    folder.mkdir(parents=True, exist_ok=True)
    with nullcontext(options.lava_url) if published else \
            dispatch.served(folder, address) as base:
        jobs = []
        for target in options.targets:
            into = folder / target.name
            lava.write_job(target, options, guest, work, into,
                           f"{base}/{target.name}")
            number = submit.send(server, (into / "job.yaml").read_text())
            say(f"submitted {target.name}'s job: "
                f"{server.url}/scheduler/job/{number}")
            jobs.append((target, number))
        seconds = submit.wait(server, [number for _, number in jobs],
                              options.timeout)
    rows = [(target.board.name, target.arch,
             submit.results(server, number, seconds[number]))
            for target, number in jobs]
    print("\n".join(dispatch.table(rows)))
    return 0 if all(dispatch.passed(found) for *_, found in rows) else 1


def dispatched(options: Options, guest: Guest, work: Path) -> int:
    """Each job in LAVA's dispatcher, a table of LAVA's verdicts; 0 only
    when every case of every job passed."""
    install_dispatcher()
    options = this_repository(options, "--lava-dispatch")
    assert guest.templates is not None
    templates = guest.templates.folder / "device-types"
    folder = options.lava_dir or work / "lava"
    (work / "dispatch").mkdir()
    rows = []
    with dispatch.served(folder) as base:
        for target in options.targets:
            into = folder / target.name
            lava.write_job(target, options, guest, work, into,
                           f"{base}/{target.name}")
            device = dispatch.device(
                templates, lava.qemu_context(target.board, options), into)
            say(f"running {target.name}'s job in LAVA's dispatcher")
            log, seconds = dispatch.run(into / "job.yaml", device,
                                        options.timeout, work / "dispatch")
            found = dispatch.verdict(log, seconds)
            if found.job != "pass":
                say(f"{target.name}: LAVA: {found.error}")
            if options.report:
                kept = options.report / (target.name if options.every_board
                                         else "")
                kept.mkdir(parents=True, exist_ok=True)
                (kept / "lava.log").write_text(log)
                for name in ("job.yaml", "device.yaml"):
                    shutil.copy(into / name, kept / name)
            rows.append((target.board.name, target.arch, found))
    print("\n".join(dispatch.table(rows)))
    return 0 if all(dispatch.passed(found) for *_, found in rows) else 1
