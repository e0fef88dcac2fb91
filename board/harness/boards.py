"""The emulated boards: each one record of named fields."""

from dataclasses import dataclass
from typing import Literal

# What QEMU's trace shows of a board's bus: the SDA and SCL lines that a
# bit-banged controller drives, or only bytes and conditions from a
# byte-level model of the controller.
Trace = Literal["lines", "bytes"]


@dataclass(frozen=True)
class Board:
    name: str
    stands_for: str          # the real board it stands for, for the summary
    qemu: str                # the emulator
    machine: tuple[str, ...]  # the emulator's machine options
    console_port: int        # the serial port (1, 2, ...) that is the console
    console: str             # the guest's name for that port
    module: str              # the I2C controller's kernel module
    bus: str                 # QEMU's name of the bus the guest sees as i2c-0
    dtb: str                 # the device tree, as the kernel package names it
    kernel: str              # Debian's kernel flavour: armmp or arm64
    trace: Trace             # what QEMU's trace shows of the bus
    # Device-tree nodes QEMU does not model, by path or alias, disabled so
    # that their drivers do not wait on them.
    disable: tuple[str, ...] = ()
    # What else answers at 0x50, so that --no-eeprom cannot empty it.
    at_0x50: str | None = None


BOARDS = (
    Board(
        name="vexpress",
        stands_for="Cortex-A9 Versatile Express",
        qemu="qemu-system-arm",
        machine=("-M", "vexpress-a9", "-m", "256M"),
        console_port=1,
        console="ttyAMA0",
        module="i2c-versatile",
        bus="i2c",
        dtb="vexpress-v2p-ca9.dtb",
        kernel="armmp",
        trace="lines",
        disable=("i2c1",),
        at_0x50="EDID",
    ),
    Board(
        name="sabrelite",
        stands_for="i.MX6Q SABRE Lite",
        qemu="qemu-system-arm",
        machine=("-M", "sabrelite", "-smp", "1"),
        console_port=2,
        console="ttymxc1",
        module="i2c-imx",
        bus="i2c-bus.0",
        dtb="imx6q-sabrelite.dtb",
        kernel="armmp",
        trace="bytes",
        # QEMU runs the TWD timer at another rate than the clock tree says.
        disable=("/soc/timer@a00600",),
    ),
    Board(
        name="raspi2b",
        stands_for="Raspberry Pi 2B",
        qemu="qemu-system-arm",
        machine=("-M", "raspi2b", "-m", "1G"),
        console_port=1,
        console="ttyAMA0",
        module="i2c-bcm2835",
        bus="i2c-bus.0",
        dtb="bcm2836-rpi-2-b.dtb",
        kernel="armmp",
        trace="bytes",
    ),
    Board(
        name="raspi3b",
        stands_for="Raspberry Pi 3B, 64-bit kernel",
        qemu="qemu-system-aarch64",
        # Single-threaded TCG boots in 5 s instead of 34.
        machine=("-M", "raspi3b", "-m", "1G", "-accel", "tcg,thread=single"),
        console_port=1,
        console="ttyAMA0",
        module="i2c-bcm2835",
        bus="i2c-bus.0",
        dtb="broadcom/bcm2837-rpi-3-b.dtb",
        kernel="arm64",
        trace="bytes",
    ),
)


def names() -> list[str]:
    return [board.name for board in BOARDS]


def find(name: str) -> Board | None:
    return next((board for board in BOARDS if board.name == name), None)
