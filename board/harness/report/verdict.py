# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 The msgs_iic authors

"""The verdict on a run: its cases, as the LAVA test definition has them,
judged from what the program printed; a row for each board and program;
and board/run's exit status from its rows."""

import re
import time
from dataclasses import dataclass, field
from pathlib import Path

from ..options import Options
from ..runs.marks import Results, kept_bytes
from ..runs.marks import field as mark

HELLO = "hello,this is I2C_RDWR i2c test "
GOOD_LINES = (HELLO, *(f"rd_buf is :{n}" for n in range(8)))
GOOD_RUN = "".join(f"{line}\n" for line in GOOD_LINES).encode()
# --board all's check: i2ctransfer reads the pattern back.
READ_BACK = "i2ctransfer -y 0 w1@0x50 0x10 r8"
PATTERN = " ".join(f"0x{n:02x}" for n in range(8))
# The cases, as lava/msgs-iic.sh names them; a check of board/run's own
# adds one.
CASES = ("open", "transfers", "read-back", "exit-status", "run", "time")
CHECK = "i2ctransfer"
# board/run's exit status for each verdict; the worst row's is the run's.
STATUS = {"pass": 0, "fail": 1, "error": 2}


@dataclass(frozen=True)
class Command:
    """A guest command and what it printed: one of the --before or --after
    commands, or a check of board/run's own; its exit status, where it is
    known (a command after the one that failed did not run)."""
    step: str       # before, check or after
    command: str
    output: str
    status: int | None


@dataclass(frozen=True)
class Row:
    """One board and program: the verdict, and what a machine reads of it."""
    name: str       # the run's: vexpress, raspi3b-arm64
    board: str
    arch: str       # the program's
    kernel: str     # "" where it is not known, as for every text below
    driver: str     # the I2C controller's
    verdict: str    # pass, fail, or error (no verdict: it did not finish)
    why: str        # what failed or stopped it; "" for a pass
    cases: dict[str, str] = field(default_factory=dict)   # pass or fail
    seconds: float | None = None   # the program's time on the board
    wall: int = 0
    report: Path | None = None
    url: str = ""   # where a LAVA server shows the job
    # What a real board adds: its adapter's name, the eight bytes at 0x10
    # before the test and after the restore, and msgs_iic_on's line on them.
    adapter: str = ""
    eeprom_before: str = ""
    eeprom_after: str = ""
    restore: str = ""
    # What the program printed (None: it did not run), the guest's
    # commands, the console's last lines, and when the run began (UTC).
    output: str | None = None
    stderr: str | None = None
    commands: tuple[Command, ...] = ()
    console: str = ""
    started: str = ""


# The console lines a row keeps for whoever reads its results.
CONSOLE_TAIL = 20


def utc(seconds: float) -> str:
    """A moment as JUnit's timestamp has it: UTC, to the second."""
    return time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(seconds))


def lines(output: bytes) -> list[str]:
    text = output.decode(errors="replace")
    return text.removesuffix("\n").split("\n") if text else []


def program_cases(output: bytes, status: int | None) -> dict[str, str]:
    """The six cases, judged as lava/msgs-iic.sh judges them."""
    printed = lines(output)
    ran = printed[:1] == [HELLO]
    dump = [line for line in printed if line.startswith("rd_buf is :")]
    judged = {
        "open": ran and "open/dev/i2c-0failed " not in printed,
        "transfers": ran and not any(
            line == "I2C_RDWR err " or line.startswith("This function supports")
            for line in printed),
        "read-back": dump == list(GOOD_LINES[1:]),
        "exit-status": status == 0,
        "run": output == GOOD_RUN,
        "time": ran}
    return {case: "pass" if ok else "fail" for case, ok in judged.items()}


def signal_cases(signals: tuple[str, ...]) -> dict[str, str]:
    """The cases as LAVA's lava-test-case sent them from the guest."""
    found = {}
    for signal in signals:
        fields = dict(re.findall(r"(\w+)=(\S+?)(?= \w+=|>)", signal))
        found[fields.get("TEST_CASE_ID", "?")] = fields.get("RESULT", "?")
    return found


def difference(output: bytes) -> str:
    """The first line where the output is not the good run."""
    printed, good = lines(output), list(GOOD_LINES)
    for n, (seen, wanted) in enumerate(zip(printed, good), 1):
        if seen != wanted:
            return f"line {n} is '{seen}', where the good run has '{wanted}'"
    if len(printed) < len(good):
        return f"line {len(printed) + 1} is missing, the good run's " \
               f"'{good[len(printed)]}'"
    return f"line {len(good) + 1}, '{printed[len(good)]}', is past the good " \
           "run's end"


def judge(results: Results, options: Options) -> tuple[str, str, dict[str, str]]:
    """The verdict, why, and the cases: error where the run did not finish
    or a guest command failed, fail where a case failed, else pass."""
    failed = (results.failed or b"").decode(errors="replace").split("\n")[0]
    check_failed = results.failed_at is not None and results.failed_at[0] == "check"
    if results.error is not None:
        return "error", results.error, {}
    if results.output is None:
        return "error", failed, {}
    cases = (signal_cases(results.lava) if options.lava_test
             else program_cases(results.output, results.status))
    read_back = ""
    if options.checks:
        read_back = results.after_each[0].decode(errors="replace").split(
            "\n")[0] if results.after_each else ""
        cases[CHECK] = "pass" if read_back == PATTERN and not check_failed \
            else "fail"
    # Through msgs_iic_on, its last line says what went wrong: the bytes
    # not kept, or not put back.
    said = [line.removeprefix("msgs_iic_on: ") for line in lines(results.stderr)
            if line.startswith("msgs_iic_on: ")] if options.keep else []
    why = ""
    if said and results.status != 0:
        why = said[-1]
    elif results.output != GOOD_RUN:
        why = difference(results.output)
    elif results.status != 0:
        why = f"exit status {results.status}, not 0"
    elif check_failed:
        why = failed
    elif cases.get(CHECK) == "fail":
        why = f"i2ctransfer read '{read_back}', not {PATTERN}"
    elif any(result != "pass" for result in cases.values()):
        why = "LAVA's case " + ", ".join(
            case for case, result in cases.items() if result != "pass") + \
            " failed"
    if results.failed is not None and not check_failed:
        return "error", failed, cases
    if said and results.status == 2:
        return "error", why, cases   # msgs_iic_on refused: nothing written
    return ("fail" if why else "pass"), why, cases


def console_tail(console: str) -> str:
    """The console's last lines as a person reads them: without the base64
    sections that carry the run's files."""
    text = re.sub(r"^@@begin (\S+)\n.*?^@@end \1\n?", "", console,
                  flags=re.M | re.S)
    return "\n".join(text.splitlines()[-CONSOLE_TAIL:])


def commands(results: Results, options: Options) -> tuple[Command, ...]:
    """Each guest command that ran, in order, with what it printed."""
    failed = mark(results.run.console, "failed")
    status = int(failed.split()[1]) if failed else None
    ran = []
    for step, given, printed in (
            ("before", options.before, results.before_each),
            ("check", options.checks, results.after_each),
            ("after", options.after, results.after_each[len(options.checks):])):
        for n, (command, text) in enumerate(zip(given, printed), 1):
            ran.append(Command(step, command, text.decode(errors="replace"),
                               status if results.failed_at == (step, n) else 0))
    return tuple(ran)


def row(results: Results, options: Options, report: Path | None) -> Row:
    verdict, why, cases = judge(results, options)
    cs, run = results.centiseconds, results.run
    kept = kept_bytes(results.stderr)
    output = results.output
    ran = output is not None
    return Row(run.name, run.board, run.arch, run.kernel, run.driver, verdict,
               why, cases, None if cs is None else cs / 100, run.wall, report,
               adapter=run.facts.get("adapter", ""), eeprom_before=kept.before,
               eeprom_after=kept.after, restore=kept.line,
               output=None if output is None else output.decode(errors="replace"),
               stderr=results.stderr.decode(errors="replace") if ran else None,
               commands=commands(results, options),
               console=console_tail(run.console),
               started=utc(time.time() - run.seconds))


def unfinished(name: str, board: str, arch: str, driver: str, why: str,
               began: float) -> Row:
    """A row that gave no verdict: what it was to run, and why not."""
    return Row(name, board, arch, "", driver, "error", why, started=utc(began))


def exit_status(rows: list[Row]) -> int:
    """0 when every row passed; 1 when a board ran and a test failed; 2
    where a board gave no verdict."""
    return max((STATUS[row.verdict] for row in rows), default=0)
