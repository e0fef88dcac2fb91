# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 The msgs_iic authors

"""The emulated boards: each one record of named fields."""

from dataclasses import dataclass
from typing import Literal

# The program's architectures: armhf runs on every board, arm64 on a board
# with a 64-bit kernel.
ARCHES = ("armhf", "arm64")

# What QEMU's trace shows of a board's bus. "lines": the SDA and SCL lines
# that a bit-banged controller drives, decoded by QEMU into every condition
# and byte, the NACK of the last byte read too. The rest come from
# byte-level models of a controller: "bytes-stop" logs a finish at every
# message boundary, so a repeated START looks like a STOP and a START, and
# no NACK; "bytes-restart" logs a true repeated START, no NACK;
# "bytes-restart-nack" a true repeated START and the NACK.
Trace = Literal["lines", "bytes-stop", "bytes-restart", "bytes-restart-nack"]

# Kernel options that shorten a boot under emulation and leave the I2C path
# alone. rodata=off: no page permissions rewritten as modules load and
# init memory is freed, each rewrite a TLB flush that QEMU makes every
# emulated CPU wait on. cryptomgr.notests: no self-tests of crypto
# algorithms, which nothing here uses.
LEAN = ("rodata=off", "cryptomgr.notests")


@dataclass(frozen=True)
class Chip:
    """An EEPROM part that QEMU's at24c-eeprom stands in for at 0x50."""
    name: str
    size: int   # bytes
    word: int   # word-address bytes: 1 up to a 24C16, 2 from a 24C32


# The first is the default: the part the test is written for.
CHIPS = (Chip("24c02", 256, 1), Chip("24c32", 4096, 2), Chip("24c64", 8192, 2))


@dataclass(frozen=True)
class Board:
    name: str
    stands_for: str          # the real board it stands for, for the summary
    qemu: str                # the emulator
    machine: tuple[str, ...]  # the emulator's machine options
    cpu: str                 # the machine's CPU model, for -cpu
    # Its on-board NICs' QEMU models, one for each: a lab's QEMU gives them
    # the network, since a NIC the machine lacks is a warning.
    nic: tuple[str, ...]
    console_port: int        # the serial port (1, 2, ...) that is the console
    console: str             # the guest's name for that port
    module: str              # the I2C controller's kernel module
    # QEMU's names of the buses, by Linux's bus number (i2c-N); "" where
    # Linux has no such bus. The EEPROM goes on bus 0 unless asked.
    buses: tuple[str, ...]
    dtb: str                 # the device tree, as the kernel package names it
    kernel: str              # Debian's kernel flavour: armmp, or arm64 (64-bit)
    trace: Trace             # what QEMU's trace shows of the bus
    # Device-tree nodes QEMU does not model, by path or alias, disabled so
    # that their drivers do not wait on them.
    disable: tuple[str, ...] = ()
    # Device-tree nodes removed outright, where disabling is not enough.
    remove: tuple[str, ...] = ()
    # What else answers at 0x50, so that --no-eeprom cannot empty it.
    at_0x50: str | None = None
    # Its RAM in MiB, where the machine insists on a size (or the boot wants
    # one); else QEMU's, or a lab's, default.
    memory: int | None = None
    # Where the machine's RAM starts, for a tree without a memory node
    # (where there is one, board/run reads it there): QEMU loads an armhf
    # Image at the kernel's text offset above it.
    ram_base: int | None = None
    # Options for the kernel's command line beyond the console and /init.
    boot_options: tuple[str, ...] = LEAN
    # QEMU's TCG: "multi", a host thread for each emulated CPU, or "single",
    # one thread for all of them in turn.
    tcg: Literal["multi", "single"] = "multi"
    # Emulated CPUs that Linux is not given (their nodes go in remove),
    # halted from reset in a WFI loop at park_at, memory that Linux never
    # touches. Left in QEMU's boot code they spin: with one thread they keep
    # QEMU's timers waiting (a sleep(1) of up to 2 s), with many they take
    # the host's cores and slow every cross-CPU TLB flush.
    park: tuple[int, ...] = ()
    park_at: int = 0
    # Where a saved board (runs/snapshot.py) finds its run's files after
    # the restore: "virtio", a virtio-blk disk on one of the machine's
    # virtio-mmio transports; "sd", its SD card, or "sd,index=N" in the Nth
    # slot; "" where QEMU cannot save the board, which then boots afresh
    # each run. Then the modules that bring that disk up, in load order.
    run_disk: str = ""
    disk_modules: tuple[str, ...] = ()
    # Properties of the machine (-M) that a saved board needs on both sides.
    saved_with: tuple[str, ...] = ()


BOARDS = (
    Board(
        name="vexpress",
        stands_for="Cortex-A9 Versatile Express",
        qemu="qemu-system-arm",
        machine=("-M", "vexpress-a9"),
        cpu="cortex-a9",
        nic=("lan9118",),
        console_port=1,
        console="ttyAMA0",
        module="i2c-versatile",
        buses=("i2c",),
        dtb="vexpress-v2p-ca9.dtb",
        kernel="armmp",
        trace="lines",
        disable=("i2c1",),
        at_0x50="EDID",
        memory=256,
        run_disk="virtio",
        disk_modules=("virtio_mmio", "virtio_blk"),
        # With TrustZone, the restored CPU loops in an abort at the high
        # vectors.
        saved_with=("secure=off",),
    ),
    Board(
        name="sabrelite",
        stands_for="i.MX6Q SABRE Lite",
        qemu="qemu-system-arm",
        machine=("-M", "sabrelite", "-smp", "1"),
        cpu="cortex-a9",
        nic=("imx.enet",),
        console_port=2,
        console="ttymxc1",
        module="i2c-imx",
        buses=("i2c-bus.0",),
        dtb="imx6q-sabrelite.dtb",
        kernel="armmp",
        trace="bytes-stop",
        # QEMU runs the TWD timer at another rate than the clock tree says.
        disable=("/soc/timer@a00600",),
        # Not saved: its machine takes no SD card in the slot the tree
        # enables (usdhc3), so the run's files have no way in.
    ),
    Board(
        name="raspi2b",
        stands_for="Raspberry Pi 2B",
        qemu="qemu-system-arm",
        machine=("-M", "raspi2b"),
        cpu="cortex-a7",
        nic=(),
        memory=1024,
        console_port=1,
        console="ttyAMA0",
        module="i2c-bcm2835",
        buses=("i2c-bus.0",),
        dtb="bcm2836-rpi-2-b.dtb",
        kernel="armmp",
        trace="bytes-stop",
        # Linux on one CPU, the others parked in the first page, which the
        # tree reserves from Linux and QEMU's boot code leaves free above
        # 0x500.
        remove=("/cpus/cpu@1", "/cpus/cpu@2", "/cpus/cpu@3"),
        tcg="single",
        park=(1, 2, 3),
        park_at=0xFF0,
        # Not saved: after a restore, its SD host's driver (bcm2835)
        # faults in its DMA completion, so the run's files cannot be read.
    ),
    Board(
        name="raspi3b",
        stands_for="Raspberry Pi 3B, 64-bit kernel",
        qemu="qemu-system-aarch64",
        machine=("-M", "raspi3b"),
        cpu="cortex-a53",
        nic=(),
        memory=1024,
        console_port=1,
        console="ttyAMA0",
        module="i2c-bcm2835",
        buses=("i2c-bus.0",),
        dtb="broadcom/bcm2837-rpi-3-b.dtb",
        kernel="arm64",
        trace="bytes-stop",
        # uart0's bluetooth child makes the console a serdev port, which a
        # shell on it cannot read.
        remove=("/soc/serial@7e201000/bluetooth",),
        # Single-threaded TCG boots in 5 s instead of 34.
        tcg="single",
        # Not saved: after a restore, its SD host's driver (bcm2835)
        # faults in its DMA completion, so the run's files cannot be read.
    ),
    Board(
        name="ast2600-evb",
        stands_for="ASPEED AST2600 BMC evaluation board",
        qemu="qemu-system-arm",
        machine=("-M", "ast2600-evb"),
        cpu="cortex-a7",
        nic=("ftgmac100",) * 4,
        console_port=1,
        console="ttyS4",
        module="i2c-aspeed",
        # The tree leaves buses 10 and 11 off, and 7 is off below.
        buses=tuple("" if n in (7, 10, 11) else f"aspeed.i2c.bus.{n}"
                    for n in range(16)),
        dtb="aspeed-ast2600-evb.dtb",
        kernel="armmp",
        trace="bytes-restart-nack",
        # QEMU's own EEPROM at 0x50 on bus 7, which the tree names for at24
        # to probe: the probe would land in the trace, which has no bus.
        disable=("i2c7",),
        # Linux on one CPU, the other parked in the SoC's SRAM, which the
        # tree does not name.
        remove=("/cpus/cpu@f01",),
        tcg="single",
        park=(1,),
        park_at=0x10000000,
        # Not saved: Linux finds no SD card on its SD controller, so the
        # run's files have no way in.
    ),
    Board(
        name="orangepi-pc",
        stands_for="Orange Pi PC, Allwinner H3",
        qemu="qemu-system-arm",
        machine=("-M", "orangepi-pc"),
        cpu="cortex-a7",
        nic=("allwinner-sun8i-emac",),
        memory=1024,
        console_port=1,
        console="ttyS0",
        module="i2c-mv64xxx",
        # The first bus of that name is r_twi: the one I2C node the tree
        # enables, Linux's i2c-0.
        buses=("i2c",),
        dtb="sun8i-h3-orangepi-pc.dtb",
        kernel="armmp",
        trace="bytes-restart",
        # The machine has four CPUs; on fewer host cores Linux's sleep
        # overruns, so it gets one. Disabled CPUs are brought up all the
        # same. QEMU holds the others off until Linux powers them on.
        remove=("/cpus/cpu@1", "/cpus/cpu@2", "/cpus/cpu@3"),
        # Its tree has no memory node: the boot loader adds one.
        ram_base=0x40000000,
        tcg="single",
        run_disk="sd",
        disk_modules=("sunxi-mmc",),
    ),
)


@dataclass(frozen=True)
class Target:
    """A board, and the architecture of the program it runs."""
    board: Board
    arch: str

    @property
    def name(self) -> str:
        """The run's name in reports: the board's, and the program's
        architecture where it is not armhf."""
        suffix = "" if self.arch == "armhf" else f"-{self.arch}"
        return self.board.name + suffix


def chip(name: str) -> Chip | None:
    return next((chip for chip in CHIPS if chip.name == name), None)


def names() -> list[str]:
    return [board.name for board in BOARDS]


def find(name: str) -> Board | None:
    return next((board for board in BOARDS if board.name == name), None)
