#!/usr/bin/env python3
"""Reads the JUnit files that CTest writes (--output-junit).

  ctest-report.py skipped RESULTS.xml [--must-run LIST]
      prints each skipped test with the reason the test gave, so that the
      CI log says what did not run and why: whole tests that CTest saw
      skipped, and the parts that a test skipped inside itself (a
      "skipped: REASON" line of the shell tests, a Python unittest skip),
      named "TEST: PART". With --must-run, fails when any skip's name
      matches one of LIST's regular expressions (one a line, matched
      against whole names): tests this machine is expected to run;
  ctest-report.py compare RELEASE.xml WINE.xml LINUX_ONLY
      fails unless the Wine run ran every test of the release run but the
      Linux-only ones (LINUX_ONLY: one regular expression a line, matched
      against whole test names), and no fewer tests than that. A skipped
      test did not run.
"""

import re
import sys
import xml.etree.ElementTree as ElementTree

# unittest -v: "test_name (module.Class) ... skipped 'why'"; Python 3.11
# writes "(module.Class.test_name)".
PYTHON_SKIP = re.compile(r"^(\w+) \(([\w.]+)\) \.\.\. skipped '(.*)'$")
SHELL_SKIP = re.compile(r"^skipped: (.*)$")


def test_cases(path):
    return ElementTree.parse(path).getroot().iter("testcase")


def is_skipped(case):
    return case.find("skipped") is not None or case.get("status") == "notrun"


def skip_reason(case):
    """The line after GoogleTest's "Skipped" (the GTEST_SKIP message)."""
    output = case.findtext("system-out") or ""
    lines = output.splitlines()
    for index, line in enumerate(lines):
        if line.endswith(": Skipped"):
            reason = lines[index + 1].strip() if index + 1 < len(lines) else ""
            return reason or "(no reason given)"
    skipped = case.find("skipped")
    return skipped.get("message", "") if skipped is not None else "(no reason given)"


def inner_skips(case):
    """(name, reason) of each part a test that ran skipped inside itself."""
    found = []
    for line in (case.findtext("system-out") or "").splitlines():
        line = line.rstrip("\r")
        python = PYTHON_SKIP.match(line)
        if python:
            test, where, reason = python.groups()
            where = where.split(".")
            if where[-1] == test:
                where = where[:-1]
            found.append((f"{case.get('name')}: {where[-1]}.{test}", reason))
            continue
        shell = SHELL_SKIP.match(line)
        if shell:
            part, _, reason = shell.group(1).partition(" (")
            found.append((f"{case.get('name')}: {part}", reason.rstrip(")") or "(no reason given)"))
    return found


def read_patterns(path):
    with open(path, encoding="utf-8") as file:
        return [re.compile(line.strip()) for line in file
                if line.strip() and not line.startswith("#")]


def report_skipped(path, must_run_path=None):
    skips = []
    for case in test_cases(path):
        if is_skipped(case):
            skips.append((case.get("name"), skip_reason(case)))
        else:
            skips.extend(inner_skips(case))
    for name, reason in skips:
        print(f"skipped: {name}: {reason}")
    print(f"{len(skips)} test(s) or parts of tests skipped")
    if must_run_path is None:
        return 0
    patterns = read_patterns(must_run_path)
    expected = [name for name, _ in skips if any(pattern.fullmatch(name) for pattern in patterns)]
    for name in expected:
        print(f"expected to run on this machine ({must_run_path}), but skipped: {name}")
    return 1 if expected else 0


def compare(release_path, wine_path, linux_only_path):
    patterns = read_patterns(linux_only_path)
    release = [case.get("name") for case in test_cases(release_path)]
    cases = list(test_cases(wine_path))
    wine = {case.get("name") for case in cases if not is_skipped(case)}
    skipped = len(cases) - len(wine)
    expected = [name for name in release
                if not any(pattern.fullmatch(name) for pattern in patterns)]
    missing = [name for name in expected if name not in wine]
    print(f"release ran {len(release)} tests, {len(release) - len(expected)} of them "
          f"Linux-only; Wine ran {len(wine)} ({skipped} more skipped), {len(expected)} expected")
    for name in missing:
        print(f"not run under Wine: {name}")
    return 1 if missing or len(wine) < len(expected) else 0


def main(arguments):
    if len(arguments) == 2 and arguments[0] == "skipped":
        return report_skipped(arguments[1])
    if len(arguments) == 4 and arguments[0] == "skipped" and arguments[2] == "--must-run":
        return report_skipped(arguments[1], arguments[3])
    if len(arguments) == 4 and arguments[0] == "compare":
        return compare(*arguments[1:])
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
