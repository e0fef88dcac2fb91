# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 The msgs_iic authors

"""board/run's usage text, with the boards' names as the records have them."""

import textwrap

from .. import boards
from ..options import LAVA_REPO, LAVA_URL

USAGE = """\
usage: board/run [OPTION]...
Runs msgs_iic on an emulated ARM board, or on a real one over SSH, and
gives a verdict: exit status 0 for a pass, 1 for a failed test, 2 for bad
input or a run that did not finish.
  --list               the boards: what each stands for, its I2C driver and buses
  --version            board/run's version, the project's
  --board NAME         {boards}
  --arch ARCH          the program's: armhf (the default), or arm64 on a board
                       with a 64-bit kernel ({wide})
  --eeprom-bus N       the EEPROM on the board's bus N (Linux's i2c-N), not bus 0,
                       on a board with more than one ({several})
  --no-eeprom          no EEPROM at 0x50 (not on vexpress, where the
                       monitor's EDID ROM answers there too)
  --eeprom-chip PART   {chips}
  --eeprom-image FILE  the EEPROM starts with FILE's bytes, as many as the part
                       holds (default: all 0xff, as a part ships); FILE is not
                       changed
  --write-protect      the EEPROM acknowledges writes and ignores them
  --no-i2c-dev         do not load i2c-dev, so there is no /dev/i2c-0
  --keep               run the test through msgs_iic_on -y BUS (bus 0, or
                       --eeprom-bus), which keeps the chip's 8 bytes at 0x10
                       and puts them back, as on a real board
  --program-root ROOT  run ROOT/usr/bin/msgs_iic (a target folder, as Buildroot's
                       output/target) instead of board/run's own build, under
                       its own loader, with ROOT's libraries
  --ssh [USER@]HOST[:PORT]
                       the test on a real board over SSH instead (repeatable, a
                       row each), through msgs_iic_on 0, which puts the chip's
                       8 bytes back; with the host's ssh, your keys and agent,
                       never a password
  --ssh-config FILE    ssh's configuration from FILE (ssh -F)
  -y, --yes            with --ssh: write without asking first
  --force              msgs_iic_on's --force: write even to a bus whose adapter
                       says it is a PC's SMBus or a display's channel
  --before CMD         guest shell command to run before the program (repeatable),
                       e.g. "i2ctransfer -y 0 w9@0x50 0x10 0xaa 0xab 0xac 0xad 0xae 0xaf 0xb0 0xb1"
  --after CMD          guest shell command to run after the program (repeatable);
                       at24.ko is loaded, so "echo 24c02 0x50 >/sys/bus/i2c/devices/i2c-0/new_device"
                       binds the kernel's EEPROM driver
  --report DIR         also write output, stderr, status, centiseconds, before,
                       after, console, trace (QEMU's I2C events), eeprom (the
                       chip's bytes after the run), packages (the guest's Debian
                       packages and their versions), and on vexpress bus.vcd (SCL
                       and SDA) and bus.txt (sigrok's decoding) into DIR;
                       DIR/BOARD with --board all
  --picture FILE       draw the program's two transactions on vexpress's bus
                       into a PNG: SCL, SDA and the decoded bytes
  --results FILE       also write each row's verdict, cases and output as JSON
                       (doc/boards.md has its fields)
  --junit FILE         also write them as JUnit XML, a testsuite a row; both are
                       written however the run ends (a time-out, Ctrl-C, SIGTERM)
  --timeout SEC        give up on a board after SEC seconds (default 180)
  --bench [N]          boot each board N times (default 3) and print where the
                       time goes: the minimum and median from QEMU's start to the
                       first console line, to /init, to msgs_iic, to the end;
                       cold, and restored where the board is saved, and
                       what msgs_iic_on's keep adds to msgs_iic's own time
  --refresh            fetch Debian's newest guest packages again (a kernel point
                       release, say); other runs go on with the cache they have
                       until the new one is complete; and save each board anew
  --cold               boot the board from its kernel, as a board without a
                       saved state boots, instead of restoring it (--list says
                       which boards are saved)
  --lava-test          also run the LAVA test definition lava/msgs-iic.yaml in the
                       guest, with LAVA's own lava-test-case; its results go to
                       stderr and, with --report, to DIR/lava
  --lava DIR           boot nothing: write a LAVA job for the board (DIR/BOARD with
                       --board all): kernel, device tree, ramdisk and job.yaml
  --lava-url BASE      where the lab publishes DIR (default {url})
  --lava-repo URL      the git repository the job takes the test definition from
                       (default {repo})
  --lava-submit URL    send the jobs to the LAVA server at URL (the token from
                       LAVA_TOKEN or a lavacli identity), wait, and print the
                       server's own verdict on every case; the files are served
                       from here at --lava-url (default 127.0.0.1), or with
                       --lava DIR and --lava-url BASE published there by you
  --lava-dispatch      run the jobs in LAVA's own dispatcher here, as a lab's worker
                       would: files served on 127.0.0.1, the test definition from
                       this repository's git (its committed tree), and a table of
                       LAVA's verdicts; with --report DIR, LAVA's log of each job
"""  # noqa: E501  (lines as wide as the examples they quote)


def chips() -> str:
    """The parts, from their records."""
    first, *others = boards.CHIPS
    text = ("the EEPROM's part: " + ", ".join(
        [f"{first.name} ({first.size} bytes, the default)",
         *(f"{c.name} ({c.size})" for c in others)])
        + "; from a 24c32 on, a two-byte word address")
    return "\n".join(textwrap.wrap(text, width=80, initial_indent=" " * 23,
                                   subsequent_indent=" " * 23)).lstrip()


def usage() -> str:
    first, *others = boards.names()
    listed = textwrap.wrap(f"{first} (the default), {', '.join(others)}, or "
                           "all: the good run on every board, and a table",
                           width=80, initial_indent=" " * 23,
                           subsequent_indent=" " * 23)
    wide = " ".join(b.name for b in boards.BOARDS if b.kernel == "arm64")
    several = " ".join(b.name for b in boards.BOARDS if len(b.buses) > 1)
    return USAGE.format(boards="\n".join(listed).lstrip(), wide=wide,
                        several=several, url=LAVA_URL, repo=LAVA_REPO,
                        chips=chips())
