# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 The msgs_iic authors

"""LAVA's own test shell helpers in the guest, for --lava-test: the test
definition's steps run there as a lab's test shell runs them."""

import re
import shutil
from pathlib import Path

from ..host.progress import TOP
from .packages import Guest

DEFINITION = Path("lava") / "msgs-iic.yaml"
# lava-test-case and what it sources, from lava-dispatcher's test shell.
HELPERS = ("lava-test-case", "lava-common-functions")


def steps() -> list[str]:
    """The test definition's run steps: the items of run: steps: (a list
    of plain strings, as LAVA's schema has it)."""
    text = (TOP / DEFINITION).read_text()
    block = re.search(r"^run:\n  steps:\n((?:    - .*\n)+)", text, re.M)
    if block is None:
        raise ValueError(f"{DEFINITION} has no run: steps: list")
    return [line[len("    - "):] for line in block.group(1).splitlines()]


def add_test_shell(guest: Guest, root: Path) -> None:
    """LAVA's helpers on /lava/bin (with the interpreter line that LAVA
    itself writes in), this repository's lava/ under /lava/repo, and the
    definition's steps as /lava/steps, for /init to run."""
    assert guest.lava is not None
    helpers = guest.lava.folder / "lava_test_shell"
    (root / "lava" / "bin").mkdir(parents=True)
    for helper in HELPERS:
        script = root / "lava" / "bin" / helper
        script.write_text("#!/bin/sh\n" + (helpers / helper).read_text())
        script.chmod(0o755)
    shutil.copytree(TOP / "lava", root / "lava" / "repo" / "lava")
    (root / "lava" / "steps").write_text("\n".join(steps()) + "\n")
