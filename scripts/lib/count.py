#!/usr/bin/env python3
"""Sums the JUnit XML reports that the test steps leave behind.

Every runner we use writes JUnit XML (GoogleTest with --gtest_output=xml,
pytest with --junitxml, and scripts/test's own one-line steps), so one
reader gives the final 'N passed, N failed' line.
"""
import sys
import xml.etree.ElementTree as ET


def count(path):
    root = ET.parse(path).getroot()
    suites = [root] if root.tag == "testsuite" else root.iter("testsuite")
    passed = failed = skipped = 0
    for suite in suites:
        for case in suite.iter("testcase"):
            if case.find("failure") is not None or case.find("error") is not None:
                failed += 1
            elif case.find("skipped") is not None or case.get("result") == "skipped" \
                    or case.get("status") == "notrun":
                skipped += 1
            else:
                passed += 1
    return passed, failed, skipped


def main(paths):
    total = [0, 0, 0]
    for path in paths:
        try:
            p, f, s = count(path)
        except (ET.ParseError, OSError) as e:
            print(f"unreadable report {path}: {e}", file=sys.stderr)
            p, f, s = 0, 1, 0
        total[0] += p
        total[1] += f
        total[2] += s
    print(*total)


if __name__ == "__main__":
    main(sys.argv[1:])
