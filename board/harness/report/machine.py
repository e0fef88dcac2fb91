# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 The msgs_iic authors

"""The rows for machines: --results writes JSON of board/run's own schema
(doc/boards.md has it field by field); --junit writes JUnit XML, a
testsuite a row and a testcase a case, as GitLab, Jenkins and GitHub read
it. Each is written whole or not at all."""

import json
import re
import socket
import xml.etree.ElementTree as ElementTree
from pathlib import Path
from typing import Any

from ..host.progress import write_whole
from .verdict import CASES, Row

# The JSON's schema: a field changed or taken away makes it 2; a field
# added does not.
SCHEMA = 1


def none(text: str) -> str | None:
    return text or None


def xml_text(text: str) -> str:
    """Text XML 1.0 can carry: a program's output may hold any byte."""
    return re.sub("[^\t\n\r\x20-\ud7ff\ue000-\ufffd\U00010000-\U0010ffff]",
                  "\ufffd", text)


def as_dict(row: Row) -> dict[str, Any]:
    return {
        "name": row.name, "board": row.board, "program": none(row.arch),
        "kernel": none(row.kernel), "driver": none(row.driver),
        "verdict": row.verdict, "why": none(row.why), "cases": row.cases,
        "started": none(row.started), "seconds": row.seconds, "wall": row.wall,
        "report": str(row.report) if row.report is not None else None,
        "url": none(row.url), "adapter": none(row.adapter),
        "eeprom_before": none(row.eeprom_before),
        "eeprom_after": none(row.eeprom_after), "restore": none(row.restore),
        "output": row.output, "stderr": row.stderr,
        "commands": [{"step": c.step, "command": c.command, "output": c.output,
                      "status": c.status} for c in row.commands],
        "console": none(row.console)}


def as_json(rows: list[Row], stopped: str = "") -> str:
    """The run as one object: the schema's number, where it ran, why it
    stopped early (null: it did not), and a row for each board and program."""
    return json.dumps({"schema": SCHEMA, "hostname": socket.gethostname(),
                       "stopped": none(stopped),
                       "rows": [as_dict(row) for row in rows]},
                      indent=2) + "\n"


def system_err(row: Row) -> str:
    """What a person would have read on standard error of this row: the
    program's own, the guest commands', board/run's verdict line and the
    console's last lines."""
    parts = [row.stderr or ""]
    for command in row.commands:
        if command.output or command.status:
            parts.append(f"board: --{command.step} command: {command.command} "
                         f"(exit status {command.status})\n{command.output}")
    parts.append(f"board: {row.verdict}: {row.why or 'the good run'}\n")
    if row.console:
        parts.append(f"==> the console's last lines <==\n{row.console}\n")
    return "".join(part if part.endswith("\n") or not part else part + "\n"
                   for part in parts)


def properties(suite: ElementTree.Element, row: Row) -> None:
    found = ElementTree.SubElement(suite, "properties")
    for name, value in (("board", row.board), ("program", row.arch),
                        ("kernel", row.kernel), ("driver", row.driver),
                        ("verdict", row.verdict), ("url", row.url),
                        ("adapter", row.adapter),
                        ("eeprom_before", row.eeprom_before),
                        ("eeprom_after", row.eeprom_after),
                        ("restore", row.restore)):
        if value:
            ElementTree.SubElement(found, "property", name=name,
                                   value=xml_text(value))


def outputs(element: ElementTree.Element, row: Row) -> None:
    ElementTree.SubElement(element, "system-out").text = xml_text(
        row.output or "")
    ElementTree.SubElement(element, "system-err").text = xml_text(
        system_err(row))


def testcase(suite: ElementTree.Element, row: Row, name: str, seconds: float,
             outcome: str = "", why: str = "") -> None:
    """A testcase; where it did not pass, its failure or error with the
    reason as both the message and the text, and the row's output beside
    it: GitLab shows a testcase's, Jenkins a testsuite's too."""
    test = ElementTree.SubElement(suite, "testcase", classname=row.name,
                                  name=name, time=f"{seconds:.2f}")
    if outcome:
        ElementTree.SubElement(test, outcome, message=xml_text(why),
                               type="fail" if outcome == "failure"
                               else "error").text = xml_text(why)
        outputs(test, row)


def as_junit(rows: list[Row]) -> str:
    """A testcase for each case a row has, failed where it failed; a row
    that gave no verdict has one testcase more, "board", in error."""
    suites = ElementTree.Element("testsuites", name="board/run")
    totals: dict[str, float] = {"tests": 0, "failures": 0, "errors": 0, "time": 0}
    host = socket.gethostname()
    for row in rows:
        suite = ElementTree.SubElement(suites, "testsuite", name=row.name)
        properties(suite, row)
        counts: dict[str, float] = {"tests": 0, "failures": 0, "errors": 0,
                                    "skipped": 0, "time": row.wall}
        ordered = [case for case in CASES if case in row.cases] + [
            case for case in row.cases if case not in CASES]
        for case in ordered:
            failed = row.cases[case] != "pass"
            testcase(suite, row, case,
                     row.seconds if case == "time" and row.seconds else 0,
                     "failure" if failed else "", row.why or f"{case} failed")
            counts["tests"] += 1
            counts["failures"] += failed
        if row.verdict == "error":
            testcase(suite, row, "board", 0, "error", row.why)
            counts["tests"] += 1
            counts["errors"] += 1
        outputs(suite, row)
        for key, count in counts.items():
            suite.set(key, str(count) if key == "time" else str(int(count)))
            if key in totals:
                totals[key] += count
        if row.started:
            suite.set("timestamp", row.started)
        suite.set("hostname", host)
    for key, total in totals.items():
        suites.set(key, str(total) if key == "time" else str(int(total)))
    ElementTree.indent(suites)
    return ElementTree.tostring(suites, encoding="unicode",
                                xml_declaration=True) + "\n"


def write(rows: list[Row], results: Path | None, junit: Path | None,
          stopped: str = "") -> None:
    if results is not None:
        write_whole(results, as_json(rows, stopped))
    if junit is not None:
        write_whole(junit, as_junit(rows))
