# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 The msgs_iic authors

"""board/run's command line: what a run is asked to do, checked before
anything is installed, fetched or booted, the folders and files it will
write included."""

import argparse
import os
import re
from pathlib import Path
from typing import Literal, NoReturn

from .. import boards
from ..boards import ARCHES, Target
from ..host.progress import unwritable
from ..options import LAVA_REPO, LAVA_URL, Options


class BadInput(Exception):
    """One line saying what is wrong with the command line."""


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
    parse.add_argument("--list", action="store_true")
    parse.add_argument("--board", default=boards.BOARDS[0].name)
    parse.add_argument("--arch")
    parse.add_argument("--no-eeprom", dest="eeprom", action="store_false")
    parse.add_argument("--eeprom-bus", default="0")
    parse.add_argument("--eeprom-image")
    parse.add_argument("--write-protect", action="store_true")
    parse.add_argument("--keep", action="store_true")
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
    parse.add_argument("--results")
    parse.add_argument("--junit")
    return parse


def parse(argv: list[str]) -> Options | Literal["help", "list"]:
    """The options, or what was asked instead of a run: --help, --list."""
    given = parser().parse_args(argv)
    if given.help:
        return "help"
    if given.list:
        alone(argv, "--list", (), "lists the boards", shared=())
        return "list"
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
        bench=int(given.bench or 0),
        results=Path(given.results) if given.results else None,
        junit=Path(given.junit) if given.junit else None, keep=given.keep)
    check_chip(options)
    if options.picture:
        check_picture(options)
    chip = ("--no-eeprom", "--no-i2c-dev")
    machine = ("--results", "--junit")
    if options.lava_submit:
        alone(argv, "--lava-submit", ("--lava", "--lava-url", "--lava-repo",
                                      "--timeout", *chip, *machine),
              "sends the jobs to a LAVA server")
        check_submit(options)
    elif options.lava_dispatch:
        alone(argv, "--lava-dispatch", ("--lava", "--lava-repo", "--report",
                                        "--timeout", *chip, *machine),
              "runs the jobs in LAVA's dispatcher on this machine")
    elif options.lava_dir:
        alone(argv, "--lava", ("--lava-url", "--lava-repo", *chip),
              "writes a job and boots nothing")
    if options.bench:
        alone(argv, "--bench", ("--timeout",),
              "times boots of the good run")
    check_outputs(options)
    return options


def check_values(given: argparse.Namespace) -> None:
    for option in ("board", "arch", "eeprom_bus", "eeprom_image", "report",
                   "picture", "timeout", "lava", "lava_url", "lava_repo",
                   "lava_submit", "results", "junit"):
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
    for given, option in ((options.image, "--eeprom-image"),
                          (options.write_protect, "--write-protect")):
        if given and not options.eeprom:
            raise BadInput(f"{option} needs the EEPROM that --no-eeprom "
                           "removes")


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


def alone(argv: list[str], mode: str, own: tuple[str, ...], does: str,
          shared: tuple[str, ...] = ("--board", "--arch", "--refresh")) -> None:
    """A mode that does one thing with the board and program chosen
    refuses the options it has no use for."""
    for arg in argv:
        option = arg.split("=")[0]
        if option.startswith("--") and option not in (mode, *own, *shared):
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


def writable_folder(folder: Path, option: str) -> None:
    """A folder that is there, or can be made, and can be written."""
    why = unwritable(folder)
    if why is not None:
        raise BadInput(f"{option} {folder}: cannot write a report there "
                       f"({why})")


def writable_file(path: Path, option: str) -> None:
    """A file that can be written, in a folder that is there; a file that
    was not there is not left behind."""
    if path.is_dir():
        raise BadInput(f"{option} {path}: a folder, not a file")
    there = path.exists()
    try:
        with path.open("a"):
            pass
    except OSError as error:
        raise BadInput(f"{option} {path}: cannot write it ({error.strerror})") \
            from None
    if not there:
        path.unlink()


def check_outputs(options: Options) -> None:
    if options.report is not None:
        writable_folder(options.report, "--report")
    for path, option in ((options.results, "--results"),
                         (options.junit, "--junit"),
                         (options.picture, "--picture")):
        if path is not None:
            writable_file(path, option)
