# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 The msgs_iic authors

"""Which of board/run's options go together, and which the host can meet:
each refusal one line that names only what was given."""

import os
import re
from pathlib import Path

from ..boards import CHIPS
from ..guest.elf import MACHINES, machine
from ..host.progress import beside, unwritable
from ..options import LAVA_URL, Options

# What only a board under QEMU has.
QEMU_ONLY = ("--no-eeprom", "--eeprom-image", "--eeprom-chip", "--write-protect",
             "--eeprom-bus", "--picture", "--bench", "--cold")


class BadInput(Exception):
    """One line saying what is wrong with the command line."""


def check_chip(options: Options) -> None:
    """What the chip at 0x50 can be, on the boards chosen."""
    other_chip = options.chip != CHIPS[0]
    if options.every_board:
        for ruled_out, option in ((not options.eeprom, "--no-eeprom"),
                                  (options.write_protect, "--write-protect"),
                                  (not options.i2c_dev, "--no-i2c-dev"),
                                  (other_chip, "--eeprom-chip")):
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
                          (options.write_protect, "--write-protect"),
                          (other_chip, "--eeprom-chip")):
        if given and not options.eeprom:
            raise BadInput(f"{option} needs the EEPROM that --no-eeprom "
                           "removes")
    size = options.image.stat().st_size if options.image else None
    if size is not None and size != options.chip.size:
        raise BadInput(f"--eeprom-image {options.image}: {size} bytes, where "
                       f"a {options.chip.name} holds {options.chip.size}")


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
    """A file that can be written whole: a regular file or none, in a
    folder that is there and takes the temporary file it is written to
    first; nothing is left behind."""
    if path.is_dir():
        raise BadInput(f"{option} {path}: a folder, where a file is wanted")
    if path.exists() and not path.is_file():
        raise BadInput(f"{option} {path}: a device or other special file, "
                       "where a regular file is wanted")
    if path.exists() and not os.access(path, os.W_OK):
        raise BadInput(f"{option} {path}: cannot write it (Permission denied)")
    try:
        with beside(path).open("x"):
            pass
    except OSError as error:
        raise BadInput(f"{option} {path}: cannot write it ({error.strerror})") \
            from None
    beside(path).unlink()


def check_outputs(options: Options) -> None:
    """No two outputs name one path, and each can be written."""
    named: dict[Path, str] = {}
    outputs = ((options.report, "--report"), (options.results, "--results"),
               (options.junit, "--junit"), (options.picture, "--picture"))
    for path, option in outputs:
        real = Path(os.path.realpath(path)) if path is not None else None
        if real in named:
            raise BadInput(f"{named[real]} and {option} both name {path}: "
                           "each output wants a path of its own")
        if real is not None:
            named[real] = option
    if options.report is not None:
        writable_folder(options.report, "--report")
    for path, option in outputs[1:]:
        if path is not None:
            writable_file(path, option)


def check_ssh(argv: list[str], options: Options) -> None:
    """What a board over SSH takes: the options of a run on any board; one
    line for each that only a board under QEMU, or a farm, has."""
    for arg in argv:
        option = arg.split("=")[0]
        if option in QEMU_ONLY:
            raise BadInput(f"{option} is for a board under QEMU, not one reached "
                           "with --ssh")
    alone(argv, "--ssh", ("--ssh-config", "--yes", "--force", "--before",
                          "--after", "--report", "--results", "--junit",
                          "--timeout", "--keep"),
          "runs the test on a real board", shared=())
    config = options.ssh_config
    if config is not None and not (config.is_file() and os.access(config, os.R_OK)):
        raise BadInput(f"--ssh-config: no readable file '{config}'")


def check_program_root(options: Options) -> None:
    """A target folder whose msgs_iic is an ELF program for the board's
    architecture; run as it is, beside nothing of board/run's own."""
    root = options.program_root
    assert root is not None
    program = root / "usr" / "bin" / "msgs_iic"
    if options.every_board:
        raise BadInput("--program-root runs one build's programs on one board, "
                       "not --board all's")
    if options.keep:
        raise BadInput("--program-root runs its msgs_iic alone, which --keep "
                       "would run through msgs_iic_on")
    found = machine(program)
    if found is None:
        raise BadInput(f"--program-root: no ELF program {program}")
    arch = options.targets[0].arch
    if found != MACHINES[arch]:
        raise BadInput(f"--program-root: {program} is not an {arch} program")
