# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 The msgs_iic authors
"""LAVA: jobs for a lab's QEMU workers, made from the board records, and
LAVA's own guest helpers, for running the test definition in the guest."""

import json
import re
import shutil
from pathlib import Path

from . import image
from .boards import Board, Target
from .host import TOP
from .options import Options
from .packages import Guest

DEFINITION = Path("lava") / "msgs-iic.yaml"
# lava-test-case and what it sources, from lava-dispatcher's test shell.
HELPERS = ("lava-test-case", "lava-common-functions")
PROMPT = "msgs-iic# "   # the ramdisk's shell, as /init sets it
IMAGES = {"kernel": "vmlinuz", "dtb": "board.dtb", "ramdisk": "ramdisk.cpio.gz"}


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


def qemu_context(board: Board, eeprom: str) -> dict[str, object]:
    """The qemu device type's context: the machine and memory from the
    record's machine options, the rest as extra options, and the EEPROM."""
    context: dict[str, object] = {
        "arch": "arm64" if board.qemu.endswith("aarch64") else "arm"}
    extra = []
    options = list(board.machine)
    for option, value in zip(options[::2], options[1::2]):
        if option == "-M":
            context["machine"] = value
        elif option == "-m":
            size = int(value[:-1])
            context["memory"] = size * 1024 if value.endswith("G") else size
        else:
            extra.append(f"{option} {value}")
    if board.console_port > 1:  # -nographic puts the first port on stdio
        extra += ["-serial null"] * (board.console_port - 1)
        extra.append("-serial mon:stdio")
    context["extra_options"] = [*extra, f"-device {eeprom}"]
    return context


def quoted(value: object) -> str:
    """A YAML scalar: JSON's strings and numbers are YAML's too."""
    return json.dumps(value)


def job(target: Target, base: str, repository: str) -> str:
    """A job for LAVA's qemu device type: deploy the three files from
    base, boot them, and run the test definition from the repository."""
    board = target.board
    context = qemu_context(board, image.eeprom_device(board.buses[0]))
    lines = [
        "# LAVA job for LAVA's qemu device type, written by board/run --lava.",
        f"job_name: {quoted(f'msgs_iic on {target.name} ({board.stands_for})')}",
        "device_type: qemu", "priority: medium", "visibility: public",
        "timeouts:", "  job: {minutes: 15}", "  action: {minutes: 5}",
        "  connection: {minutes: 2}", "context:",
        *(f"  {key}: {quoted(value)}" for key, value in context.items()),
        "  no_kvm: true", "actions:", "- deploy:", "    to: tmpfs",
        "    os: oe", "    timeout: {minutes: 5}", "    images:"]
    arguments = {"kernel": f"-kernel {{kernel}} -append "
                           f"\"console={board.console} rdinit=/init\"",
                 "dtb": "-dtb {dtb}", "ramdisk": "-initrd {ramdisk}"}
    for name, file in IMAGES.items():
        lines += [f"      {name}:", f"        url: {quoted(f'{base}/{file}')}",
                  f"        image_arg: {quoted(arguments[name])}"]
    # The ramdisk, last: LAVA unpacks it and adds its test shell.
    lines += ["        compression: gz", "        format: cpio.newc",
              "        overlays: {lava: true}",
              "- boot:", "    method: qemu", "    media: tmpfs",
              "    timeout: {minutes: 5}", f"    prompts: [{quoted(PROMPT)}]",
              "- test:", "    timeout: {minutes: 5}", "    definitions:",
              f"    - repository: {quoted(repository)}", "      from: git",
              f"      path: {DEFINITION}", "      name: msgs-iic"]
    return "\n".join(lines) + "\n"


def write_job(target: Target, options: Options, guest: Guest, work: Path,
              folder: Path) -> None:
    """The kernel, the device tree, a ramdisk with the programs and the
    I2C modules that gives LAVA a shell on the console, and job.yaml."""
    board = target.board
    root = work / target.name / "root"
    (root / "etc").mkdir(parents=True)
    image.make_root(board, options, guest, work / target.arch, root,
                    shell=True)
    folder.mkdir(parents=True, exist_ok=True)
    image.make_initramfs(root, folder / IMAGES["ramdisk"])
    image.make_dtb(board, guest, folder / IMAGES["dtb"])
    shutil.copy(guest.kernel(board.kernel) / "vmlinuz",
                folder / IMAGES["kernel"])
    base = options.lava_url
    if options.every_board:
        base += f"/{target.name}"
    (folder / "job.yaml").write_text(job(target, base, options.lava_repo))
