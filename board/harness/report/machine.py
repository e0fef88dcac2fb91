# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 The msgs_iic authors

"""The rows for machines: --results writes JSON, an object a row, as
tuxrun writes its results; --junit writes JUnit XML, a testsuite a row and
a testcase a case, as GitLab, Jenkins and GitHub read it."""

import json
import xml.etree.ElementTree as ElementTree
from pathlib import Path

from .verdict import CASES, Row


def as_json(rows: list[Row]) -> str:
    return json.dumps([{
        "name": row.name, "board": row.board, "program": row.arch,
        "kernel": row.kernel, "driver": row.driver, "verdict": row.verdict,
        "why": row.why, "cases": row.cases, "seconds": row.seconds,
        "wall": row.wall,
        "report": str(row.report) if row.report is not None else None,
        "url": row.url or None, "adapter": row.adapter or None,
        "before": row.before or None, "after": row.after or None,
        "restore": row.restore or None} for row in rows], indent=2) + "\n"


def as_junit(rows: list[Row]) -> str:
    """A testcase for each case a row has, failed where it failed; a row
    that gave no verdict has one testcase more, "board", in error."""
    suites = ElementTree.Element("testsuites", name="board/run")
    totals: dict[str, int] = {"tests": 0, "failures": 0, "errors": 0}
    for row in rows:
        suite = ElementTree.SubElement(suites, "testsuite", name=row.name,
                                       time=str(row.wall))
        properties = ElementTree.SubElement(suite, "properties")
        for name, value in (("board", row.board), ("program", row.arch),
                            ("kernel", row.kernel), ("driver", row.driver),
                            ("verdict", row.verdict), ("url", row.url),
                            ("adapter", row.adapter), ("before", row.before),
                            ("after", row.after), ("restore", row.restore)):
            if value:
                ElementTree.SubElement(properties, "property", name=name,
                                       value=value)
        counts: dict[str, int] = {"tests": 0, "failures": 0, "errors": 0}
        ordered = [case for case in CASES if case in row.cases] + [
            case for case in row.cases if case not in CASES]
        for case in ordered:
            seconds = row.seconds if case == "time" and row.seconds else 0
            test = ElementTree.SubElement(suite, "testcase", classname=row.name,
                                          name=case, time=f"{seconds:.2f}")
            counts["tests"] += 1
            if row.cases[case] != "pass":
                counts["failures"] += 1
                ElementTree.SubElement(test, "failure", message=row.why
                                       or f"{case} failed", type="fail")
        if row.verdict == "error":
            test = ElementTree.SubElement(suite, "testcase", classname=row.name,
                                          name="board", time="0")
            ElementTree.SubElement(test, "error", message=row.why, type="error")
            counts["tests"] += 1
            counts["errors"] += 1
        for key, count in counts.items():
            suite.set(key, str(count))
            totals[key] += count
    for key, total in totals.items():
        suites.set(key, str(total))
    ElementTree.indent(suites)
    return ElementTree.tostring(suites, encoding="unicode",
                                xml_declaration=True) + "\n"


def write(rows: list[Row], results: Path | None, junit: Path | None) -> None:
    if results is not None:
        results.write_text(as_json(rows))
    if junit is not None:
        junit.write_text(as_junit(rows))
