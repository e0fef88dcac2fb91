# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 The msgs_iic authors

"""board/run's command line: what a run is asked to do, read and checked
(with the rules of rules.py) before anything is installed, fetched or
booted, the folders and files it will write included."""

import argparse
import os
import re
from pathlib import Path
from typing import Literal, NoReturn

from .. import boards
from ..boards import ARCHES, Target
from ..options import LAVA_REPO, LAVA_URL, Options, Remote
from .rules import (BadInput, alone, check_chip, check_outputs, check_picture,
                    check_program_root, check_ssh, check_submit)

# [USER@]HOST[:PORT]: a name or an address, an IPv6 one in brackets; never
# anything ssh could take for an option.
REMOTE = re.compile(r"(?:(?P<user>[A-Za-z0-9_][A-Za-z0-9._-]*)@)?"
                    r"(?P<host>[A-Za-z0-9][A-Za-z0-9._-]*|\[[0-9A-Fa-f:.]+\])"
                    r"(?::(?P<port>[0-9]{1,5}))?")


# What each option's value is, as the usage names it.
VALUES = {"--board": "NAME", "--arch": "ARCH", "--eeprom-bus": "N",
          "--eeprom-image": "FILE", "--before": "CMD", "--after": "CMD",
          "--report": "DIR", "--picture": "FILE", "--timeout": "SEC",
          "--lava": "DIR", "--lava-url": "BASE", "--lava-repo": "URL",
          "--lava-submit": "URL", "--results": "FILE", "--junit": "FILE",
          "--ssh": "[USER@]HOST[:PORT]", "--ssh-config": "FILE",
          "--program-root": "ROOT"}


def no_value(option: str, argv: list[str]) -> str:
    """An option given without its value: at the end, or before what
    looks like another option."""
    spots = [n for n, arg in enumerate(argv) if arg == option]
    after = argv[spots[-1] + 1] if spots and spots[-1] + 1 < len(argv) else ""
    if after:
        return f"{option} takes {VALUES[option]}, not '{after}'"
    return f"{option} needs a value: {option} {VALUES[option]}"


class Parser(argparse.ArgumentParser):
    """argparse with board/run's own words for what it refuses."""

    argv: list[str] = []

    def error(self, message: str) -> NoReturn:
        missing = re.match(r"argument (\S+): expected one argument", message)
        unknown = re.match(r"unrecognized arguments: (\S+)", message)
        if missing:
            raise BadInput(no_value(missing.group(1), self.argv))
        if unknown and not unknown.group(1).startswith("-"):
            raise BadInput(f"unexpected argument '{unknown.group(1)}': "
                           "board/run takes options alone")
        if unknown:
            raise BadInput(f"unknown option '{unknown.group(1)}'")
        raise BadInput(message)


def parser() -> Parser:
    parse = Parser(prog="board/run", add_help=False, allow_abbrev=False)
    parse.add_argument("-h", "--help", action="store_true")
    parse.add_argument("--list", action="store_true")
    parse.add_argument("--version", action="store_true")
    parse.add_argument("--board", default=boards.BOARDS[0].name)
    parse.add_argument("--arch")
    parse.add_argument("--no-eeprom", dest="eeprom", action="store_false")
    parse.add_argument("--eeprom-bus", default="0")
    parse.add_argument("--eeprom-image")
    parse.add_argument("--eeprom-chip", default=boards.CHIPS[0].name)
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
    parse.add_argument("--cold", action="store_true")
    parse.add_argument("--bench", nargs="?", const="3")
    parse.add_argument("--results")
    parse.add_argument("--junit")
    parse.add_argument("--ssh", action="append", default=[])
    parse.add_argument("--ssh-config")
    parse.add_argument("-y", "--yes", action="store_true")
    parse.add_argument("--force", action="store_true")
    parse.add_argument("--program-root")
    return parse


def parse(argv: list[str]) -> Options | Literal["help", "list", "version"]:
    """The options, or what was asked instead of a run: --help, --list,
    --version."""
    reader = parser()
    reader.argv = argv
    given = reader.parse_args(argv)
    if given.help:
        return "help"
    if given.list:
        alone(argv, "--list", (), "lists the boards", shared=())
        return "list"
    if given.version:
        alone(argv, "--version", (), "prints board/run's version", shared=())
        return "version"
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
        refresh=given.refresh, cold=given.cold,
        bench=int(given.bench or 0),
        results=Path(given.results) if given.results else None,
        junit=Path(given.junit) if given.junit else None,
        keep=given.keep or bool(given.ssh), force=given.force,
        ssh=tuple(remote(text) for text in given.ssh),
        ssh_config=Path(given.ssh_config) if given.ssh_config else None,
        yes=given.yes,
        program_root=Path(given.program_root) if given.program_root else None,
        chip=part(given.eeprom_chip))
    if options.ssh:
        check_ssh(argv, options)
        check_outputs(options)
        return options
    if given.ssh_config or given.yes:
        raise BadInput(f"{'--ssh-config' if given.ssh_config else '--yes'} "
                       "is for a board reached with --ssh")
    check_chip(options)
    if options.program_root:
        check_program_root(options)
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
    check_modes(argv, options)
    check_outputs(options)
    return options


def check_modes(argv: list[str], options: Options) -> None:
    """The options of a mode that was not chosen: refused, as a mode
    refuses the options it has no use for."""
    for option, modes, present in (
            ("--lava-url", "--lava DIR or --lava-submit URL",
             options.lava_dir or options.lava_submit),
            ("--lava-repo", "--lava DIR, --lava-dispatch or --lava-submit URL",
             options.lava_dir or options.lava_submit or options.lava_dispatch),
            ("--force", "--keep or --ssh", options.keep)):
        if not present and any(arg.split("=")[0] == option for arg in argv):
            raise BadInput(f"{option} is for {modes}, and none was given")


def check_values(given: argparse.Namespace) -> None:
    for option in ("board", "arch", "eeprom_bus", "eeprom_image",
                   "eeprom_chip", "report",
                   "picture", "timeout", "lava", "lava_url", "lava_repo",
                   "lava_submit", "results", "junit", "ssh_config",
                   "program_root"):
        if getattr(given, option) == "":
            name = f"--{option.replace('_', '-')}"
            raise BadInput(f"{name} needs a value: {name} {VALUES[name]}")
    for option in ("before", "after", "ssh"):
        if "" in getattr(given, option):
            raise BadInput(f"--{option} needs a value: --{option} "
                           f"{VALUES['--' + option]}")
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


def part(name: str) -> boards.Chip:
    found = boards.chip(name)
    if found is None:
        raise BadInput(f"unknown --eeprom-chip '{name}' "
                       f"({' '.join(c.name for c in boards.CHIPS)})")
    return found


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


def remote(text: str) -> Remote:
    """[USER@]HOST[:PORT], checked: one line for anything else."""
    found = REMOTE.fullmatch(text)
    port = int(found["port"]) if found and found["port"] else None
    if found is None or (port is not None and not 0 < port < 65536):
        raise BadInput(f"--ssh takes [USER@]HOST[:PORT], not '{text}'")
    return Remote(text, found["host"].strip("[]"), found["user"], port)
