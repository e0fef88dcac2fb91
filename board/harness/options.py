# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 The msgs_iic authors

"""board/run's command line: what a run is asked to do, checked before
anything is installed, fetched or booted."""

import argparse
import os
import re
from dataclasses import dataclass
from pathlib import Path
from typing import NoReturn

from . import boards
from .boards import ARCHES, Target
from .usage import LAVA_REPO, LAVA_URL


class BadInput(Exception):
    """One line saying what is wrong with the command line."""


@dataclass(frozen=True)
class Options:
    targets: tuple[Target, ...]   # one, or every board for --board all
    every_board: bool
    eeprom: bool
    eeprom_bus: int
    image: Path | None
    write_protect: bool
    i2c_dev: bool
    before: tuple[str, ...]
    after: tuple[str, ...]
    report: Path | None
    picture: Path | None
    timeout: int
    lava_test: bool
    lava_dir: Path | None
    lava_url: str
    lava_repo: str
    lava_dispatch: bool
    lava_submit: str | None   # the LAVA server's URL
    refresh: bool
    bench: int   # boots of each board for --bench; 0 without it


class Parser(argparse.ArgumentParser):
    """argparse with board/run's own words for what it refuses."""

    def error(self, message: str) -> NoReturn:
        missing = re.match(r"argument (\S+): expected one argument", message)
        unknown = re.match(r"unrecognized arguments: (\S+)", message)
        if missing:
            raise BadInput(f"{missing.group(1)} needs a value")
        if unknown:
            raise BadInput(f"unknown option '{unknown.group(1)}'")
        raise BadInput(message)


def parser() -> Parser:
    parse = Parser(prog="board/run", add_help=False, allow_abbrev=False)
    parse.add_argument("-h", "--help", action="store_true")
    parse.add_argument("--board", default=boards.BOARDS[0].name)
    parse.add_argument("--arch")
    parse.add_argument("--no-eeprom", dest="eeprom", action="store_false")
    parse.add_argument("--eeprom-bus", default="0")
    parse.add_argument("--eeprom-image")
    parse.add_argument("--write-protect", action="store_true")
    parse.add_argument("--no-i2c-dev", dest="i2c_dev", action="store_false")
    parse.add_argument("--before", action="append", default=[])
    parse.add_argument("--after", action="append", default=[])
    parse.add_argument("--report")
    parse.add_argument("--picture")
    parse.add_argument("--timeout", default="180")
    parse.add_argument("--lava-test", action="store_true")
    parse.add_argument("--lava")
    parse.add_argument("--lava-url", default=LAVA_URL)
    parse.add_argument("--lava-repo", default=LAVA_REPO)
    parse.add_argument("--lava-dispatch", action="store_true")
    parse.add_argument("--lava-submit")
    parse.add_argument("--refresh", action="store_true")
    parse.add_argument("--bench", nargs="?", const="3")
    return parse


def parse(argv: list[str]) -> Options | None:
    """The options, or None where --help was asked for."""
    given = parser().parse_args(argv)
    if given.help:
        return None
    check_values(given)
    options = Options(
        targets=targets(given.board, given.arch),
        every_board=given.board == "all", eeprom=given.eeprom,
        eeprom_bus=int(given.eeprom_bus),
        image=Path(given.eeprom_image) if given.eeprom_image else None,
        write_protect=given.write_protect, i2c_dev=given.i2c_dev,
        before=tuple(given.before), after=tuple(given.after),
        report=Path(given.report) if given.report else None,
        picture=Path(given.picture) if given.picture else None,
        timeout=int(given.timeout), lava_test=given.lava_test,
        lava_dir=Path(given.lava) if given.lava else None,
        lava_url=given.lava_url.rstrip("/"), lava_repo=given.lava_repo,
        lava_dispatch=given.lava_dispatch, lava_submit=given.lava_submit,
        refresh=given.refresh,
        bench=int(given.bench or 0))
    check_chip(options)
    if options.picture:
        check_picture(options)
    chip = ("--no-eeprom", "--no-i2c-dev")
    if options.lava_submit:
        alone(argv, "--lava-submit", ("--lava", "--lava-url", "--lava-repo",
                                      "--timeout", *chip),
              "sends the jobs to a LAVA server")
        check_submit(options)
    elif options.lava_dispatch:
        alone(argv, "--lava-dispatch", ("--lava", "--lava-repo", "--report",
                                        "--timeout", *chip),
              "runs the jobs in LAVA's dispatcher on this machine")
    elif options.lava_dir:
        alone(argv, "--lava", ("--lava-url", "--lava-repo", *chip),
              "writes a job and boots nothing")
    if options.bench:
        alone(argv, "--bench", ("--timeout",),
              "times boots of the good run")
    return options


def check_values(given: argparse.Namespace) -> None:
    for option in ("board", "arch", "eeprom_bus", "eeprom_image", "report",
                   "picture", "timeout", "lava", "lava_url", "lava_repo",
                   "lava_submit"):
        if getattr(given, option) == "":
            raise BadInput(f"--{option.replace('_', '-')} needs a value")
    for option in ("before", "after"):
        if "" in getattr(given, option):
            raise BadInput(f"--{option} needs a value")
    if not re.fullmatch(r"[1-9][0-9]*", given.timeout):
        raise BadInput("--timeout takes a positive whole number of seconds, "
                       f"not '{given.timeout}'")
    if given.bench is not None and not re.fullmatch(r"[1-9][0-9]*",
                                                    given.bench):
        raise BadInput("--bench takes a positive whole number of boots, "
                       f"not '{given.bench}'")
    if not re.fullmatch(r"[0-9]+", given.eeprom_bus):
        raise BadInput("--eeprom-bus takes a bus number, not "
                       f"'{given.eeprom_bus}'")
    image = given.eeprom_image
    if image and not (os.path.isfile(image) and os.access(image, os.R_OK)):
        raise BadInput(f"--eeprom-image: no readable file '{image}'")


def targets(name: str, arch: str | None) -> tuple[Target, ...]:
    """The board asked for, or for --board all every board with an armhf
    program, and with an arm64 one too where its kernel is 64-bit."""
    if arch is not None and arch not in ARCHES:
        raise BadInput(f"unknown --arch '{arch}' ({' or '.join(ARCHES)})")
    if name == "all":
        if arch is not None:
            raise BadInput("--board all runs each board's programs, so "
                           "--arch has nothing to choose")
        return tuple(Target(board, arch) for board in boards.BOARDS
                     for arch in ARCHES
                     if arch == "armhf" or board.kernel == "arm64")
    found = boards.find(name)
    if found is None:
        raise BadInput(f"unknown board '{name}' "
                       f"({' '.join(boards.names())} or all)")
    if arch == "arm64" and found.kernel != "arm64":
        raise BadInput(f"--arch arm64: {name}'s kernel is 32-bit; the "
                       "arm64 program needs a 64-bit one")
    return (Target(found, arch or "armhf"),)


def check_chip(options: Options) -> None:
    """What the chip at 0x50 can be, on the boards chosen."""
    if options.every_board:
        for ruled_out, option in ((not options.eeprom, "--no-eeprom"),
                                  (options.write_protect, "--write-protect"),
                                  (not options.i2c_dev, "--no-i2c-dev")):
            if ruled_out:
                raise BadInput(f"--board all runs the good run, which "
                               f"{option} rules out")
    board, n = options.targets[0].board, options.eeprom_bus
    if options.every_board and n != 0:
        raise BadInput("--board all runs the good run, which --eeprom-bus "
                       "rules out")
    if n != 0 and not options.eeprom:
        raise BadInput("--eeprom-bus needs the EEPROM that --no-eeprom "
                       "removes")
    if n >= len(board.buses) or not board.buses[n]:
        has = " ".join(str(n) for n, bus in enumerate(board.buses) if bus)
        raise BadInput(f"--eeprom-bus {n}: {board.name} has no bus {n} "
                       f"(it has {has})")
    if not options.eeprom and board.at_0x50:
        raise BadInput(f"--no-eeprom: on {board.name} the monitor's "
                       f"{board.at_0x50} ROM answers at 0x50 too")
    if not options.eeprom and (options.image or options.write_protect):
        raise BadInput("--eeprom-image and --write-protect need the EEPROM "
                       "that --no-eeprom removes")


def check_picture(options: Options) -> None:
    board = options.targets[0].board
    if options.every_board:
        raise BadInput("--picture draws one board's bus, not --board all's")
    if board.trace != "lines":
        raise BadInput(f"--picture: QEMU traces {board.name}'s bus byte by "
                       "byte; vexpress has its SDA and SCL lines")
    if options.before:
        raise BadInput("--picture draws the first transactions, which "
                       "--before would take")
    if not options.i2c_dev:
        raise BadInput("--picture draws the program's transactions, which "
                       "--no-i2c-dev rules out")


def alone(argv: list[str], mode: str, own: tuple[str, ...],
          does: str) -> None:
    """A mode that does one thing with the board and program chosen
    refuses the options it has no use for."""
    for arg in argv:
        option = arg.split("=")[0]
        if option.startswith("--") and option not in (
                mode, *own, "--board", "--arch", "--refresh"):
            raise BadInput(f"{mode} {does}, which {option} has no part in")


def check_submit(options: Options) -> None:
    """The server's address, and where its workers find the files: served
    from here at --lava-url (http://HOST:PORT), or published from --lava DIR
    at --lava-url BASE."""
    assert options.lava_submit is not None
    if not re.fullmatch(r"https?://[^/\s]+/?", options.lava_submit):
        raise BadInput("--lava-submit takes the LAVA server's address, "
                       f"http://HOST[:PORT], not '{options.lava_submit}'")
    given = options.lava_url != LAVA_URL
    if given and not options.lava_dir and not re.fullmatch(
            r"http://[^/:\s]+:[0-9]+", options.lava_url):
        raise BadInput("--lava-url for files served from here is "
                       f"http://HOST:PORT, not '{options.lava_url}'")
