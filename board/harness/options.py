# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 The msgs_iic authors

"""What a run of board/run is asked to do: one record, made by the command
line and read by every part below it."""

from dataclasses import dataclass
from pathlib import Path

from .boards import CHIPS, Chip, Target


@dataclass(frozen=True)
class Remote:
    """A board reached over SSH, as given: [USER@]HOST[:PORT]."""
    given: str
    host: str
    user: str | None = None
    port: int | None = None


# Placeholders for where a lab publishes a job's files and keeps this
# repository.
LAVA_URL = "https://lava.example.invalid/msgs-iic"
LAVA_REPO = "https://git.example.invalid/msgs_iic.git"


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
    results: Path | None = None   # --results: the rows as JSON
    junit: Path | None = None     # --junit: the rows as JUnit XML
    # The test through msgs_iic_on -y BUS, which keeps the chip's eight
    # bytes and puts them back, instead of msgs_iic alone.
    keep: bool = False
    force: bool = False   # msgs_iic_on's --force: a PC's SMBus is written too
    # Boards reached over SSH, each a row, instead of the emulated ones.
    ssh: tuple[Remote, ...] = ()
    ssh_config: Path | None = None   # ssh -F
    yes: bool = False     # write without asking
    # A target folder (Buildroot's output/target) whose msgs_iic runs
    # instead of board/run's own static build, with its own libraries.
    program_root: Path | None = None
    # Guest commands of board/run's own, run after the program and before
    # the --after ones: --board all's read-back by i2ctransfer.
    checks: tuple[str, ...] = ()
    chip: Chip = CHIPS[0]   # the EEPROM's part, --eeprom-chip
    # Each board booted afresh, never restored from its saved state.
    cold: bool = False
