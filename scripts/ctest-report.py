#!/usr/bin/env python3
"""Reads the JUnit files that CTest writes (--output-junit).

  ctest-report.py skipped RESULTS.xml
      prints each skipped test with the reason the test gave, so that the
      CI log says what did not run and why;
  ctest-report.py compare RELEASE.xml WINE.xml LINUX_ONLY
      fails unless the Wine run ran every test of the release run but the
      Linux-only ones (LINUX_ONLY: one regular expression a line, matched
      against whole test names), and no fewer tests than that.
"""

import re
import sys
import xml.etree.ElementTree as ElementTree


def test_cases(path):
    return ElementTree.parse(path).getroot().iter("testcase")


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


def report_skipped(path):
    skipped = [case for case in test_cases(path) if case.find("skipped") is not None]
    for case in skipped:
        print(f"skipped: {case.get('name')}: {skip_reason(case)}")
    print(f"{len(skipped)} test(s) skipped")
    return 0


def compare(release_path, wine_path, linux_only_path):
    with open(linux_only_path, encoding="utf-8") as file:
        patterns = [re.compile(line.strip()) for line in file
                    if line.strip() and not line.startswith("#")]
    release = [case.get("name") for case in test_cases(release_path)]
    wine = {case.get("name") for case in test_cases(wine_path)}
    expected = [name for name in release
                if not any(pattern.fullmatch(name) for pattern in patterns)]
    missing = [name for name in expected if name not in wine]
    print(f"release ran {len(release)} tests, {len(release) - len(expected)} of them "
          f"Linux-only; Wine ran {len(wine)}, {len(expected)} expected")
    for name in missing:
        print(f"not run under Wine: {name}")
    return 1 if missing or len(wine) < len(expected) else 0


def main(arguments):
    if len(arguments) == 2 and arguments[0] == "skipped":
        return report_skipped(arguments[1])
    if len(arguments) == 4 and arguments[0] == "compare":
        return compare(*arguments[1:])
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
