#!/usr/bin/env python3
"""Line coverage per folder from a gcovr JSON report (gcovr --json): the lines
gcov counts as executable, those run at least once, and the share.
Usage: tools/coverage-summary.py coverage.json"""
import json
import os
import sys
from collections import defaultdict

totals = defaultdict(lambda: [0, 0])
with open(sys.argv[1]) as f:
    for entry in json.load(f)["files"]:
        folder = os.path.dirname(entry["file"]) or "."
        for line in entry["lines"]:
            if not (line.get("gcovr/noncode") or line.get("gcovr/excluded")):
                for key in (folder, "all"):
                    totals[key][0] += 1
                    totals[key][1] += line["count"] > 0
print("%-20s %7s %7s %6s" % ("folder", "lines", "covered", "%"))
for folder in sorted(totals, key=lambda k: (k == "all", k)):
    lines, covered = totals[folder]
    print("%-20s %7d %7d %6.1f" % (folder, lines, covered, 100.0 * covered / lines if lines else 0))
