# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 The msgs_iic authors
"""LAVA jobs for a lab's QEMU workers, made from the board records: each
deploys the board's kernel, device tree and a ramdisk that gives a shell."""

import json
import shutil
from pathlib import Path

from ..boards import Board, Target
from ..guest import devicetree, image
from ..guest.lava_shell import DEFINITION
from ..guest.packages import Guest
from ..options import Options
# The ramdisk's shell, as /init sets it: LAVA takes a prompt with a ':'
# in it for one, and warns of any other.
PROMPT = "msgs-iic:/# "
# The template gives the first NIC 52:54:00:12:34:58; the others follow.
MAC = "52:54:00:12:34:{:02x}"
IMAGES = {"kernel": "vmlinuz", "dtb": "board.dtb", "ramdisk": "ramdisk.cpio.gz"}


def qemu_context(board: Board, options: Options) -> dict[str, object]:
    """The qemu device type's context, from the record: what the template
    takes (the machine, its CPU, its memory, the first NIC's model) and the
    rest as extra options."""
    context: dict[str, object] = {
        "arch": "arm64" if board.qemu.endswith("aarch64") else "arm",
        "machine": board.machine[1], "cpu": board.cpu}
    if board.memory:
        context["memory"] = board.memory
    if board.nic:
        context["model"] = f"model={board.nic[0]}"
    # The record's other QEMU options, an option and its value a line.
    others = [*board.machine[2:], "-audio", "none", *image.threading(board),
              *image.parking(board)]
    extra = [" ".join(others[n:n + 2]) for n in range(0, len(others), 2)]
    # The template's NIC takes the first; the others get one each, so that
    # none is left without a peer.
    extra += [f"-net nic,model={nic},macaddr={MAC.format(0x58 + n)}"
              for n, nic in enumerate(board.nic[1:], 1)]
    if board.console_port > 1:  # -nographic puts the first port on stdio
        extra += ["-serial null"] * (board.console_port - 1)
        extra.append("-serial mon:stdio")
    if options.eeprom:
        extra.append(f"-device {image.eeprom_device(board.buses[0], options.chip)}")
    context["extra_options"] = extra
    context["no_kvm"] = True
    return context


def quoted(value: object) -> str:
    """A YAML scalar: JSON's strings and numbers are YAML's too."""
    return json.dumps(value)


def job(target: Target, options: Options, base: str) -> str:
    """A job for LAVA's qemu device type: deploy the three files from
    base, boot them, and run the test definition from the repository."""
    board = target.board
    context = qemu_context(board, options)
    lines = [
        "# LAVA job for LAVA's qemu device type, written by board/run --lava.",
        f"job_name: {quoted(f'msgs_iic on {target.name} ({board.stands_for})')}",
        "device_type: qemu", "priority: medium", "visibility: public",
        "timeouts:", "  job: {minutes: 15}", "  action: {minutes: 5}",
        "  connection: {minutes: 2}", "context:",
        *(f"  {key}: {quoted(value)}" for key, value in context.items()),
        "actions:", "- deploy:", "    to: tmpfs",
        "    os: oe", "    timeout: {minutes: 5}", "    images:"]
    arguments = {"kernel": f"-kernel {{kernel}} -append "
                           f"\"{image.kernel_line(board)}\"",
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
              f"    - repository: {quoted(options.lava_repo)}", "      from: git",
              f"      path: {DEFINITION}", "      name: msgs-iic"]
    return "\n".join(lines) + "\n"


def write_job(target: Target, options: Options, guest: Guest, work: Path,
              folder: Path, base: str) -> None:
    """The kernel, the device tree, a ramdisk with the programs and the
    I2C modules that gives LAVA a shell on the console, and job.yaml."""
    board = target.board
    root = work / target.name / "root"
    (root / "etc").mkdir(parents=True)
    image.make_root(board, options, guest, work / target.arch, root,
                    shell=True)
    folder.mkdir(parents=True, exist_ok=True)
    image.make_initramfs(root, folder / IMAGES["ramdisk"])
    devicetree.make_dtb(board, guest, folder / IMAGES["dtb"])
    shutil.copy(guest.kernel(board.kernel) / "vmlinuz",
                folder / IMAGES["kernel"])
    (folder / "job.yaml").write_text(job(target, options, base))
