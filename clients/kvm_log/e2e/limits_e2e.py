#!/usr/bin/env python3
"""Pages beyond the 65,536th of a table still count for their visits.

A log of one day requests 65,600 different pages before the page under test,
so that its item number no longer fits 16 bits (and the filler visits hold
item numbers around 65,535 in their lists). Then 30 new visitors each request
that page twice and nothing else: it must show 60 hits and 30 users among the
pages, and 30 visits as entry, exit and single page.

    limits_e2e.py --program BUILD/bin --source SOURCE_TREE [--keep DIR]
"""

import argparse
import calendar
import os
import shutil
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import loggen  # noqa: E402
import report_e2e  # noqa: E402

START = calendar.timegm((2026, 11, 2, 0, 0, 0))
FILLER = 65600
VISITORS = 30
PAGE = "/special.html"


def records():
    out = []
    agent = "Mozilla/5.0 (X11; Linux x86_64; rv:120.0) Gecko/20100101 Firefox/120.0"
    for n in range(FILLER):
        host = "10.0.%d.%d" % (n % 500 // 250, n % 250 + 1)
        out.append(loggen.record(START + n, host, "GET", "/f/%05d.html" % n, "200", "100", "-", agent))
    t = START + FILLER + 100
    for v in range(VISITORS):
        host = "172.16.0.%d" % (v + 1)
        for _ in range(2):
            out.append(loggen.record(t, host, "GET", PAGE, "200", "100", "-", agent))
            t += 5
    return out


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--program", required=True)
    ap.add_argument("--source", required=True)
    ap.add_argument("--keep")
    args = ap.parse_args()
    work = os.path.abspath(args.keep) if args.keep else tempfile.mkdtemp(prefix="kv_limits_")
    if args.keep:
        shutil.rmtree(work, ignore_errors=True)
        os.makedirs(work)
    try:
        profiles = os.path.join(work, "kvm_log", "profiles")
        templates = os.path.join(work, "kvm_log", "Template")
        os.makedirs(profiles)
        os.makedirs(templates)
        os.makedirs(os.path.join(work, "logs"))
        shutil.copy(os.path.join(HERE, "fixture", "limits.var"), os.path.join(templates, "template.var"))
        shutil.copy(os.path.join(args.source, "data", "kvm_log", "REPORT.INI"), os.path.join(work, "kvm_log"))
        log = os.path.join(work, "logs", "access.log")
        with open(log, "w", encoding="latin-1", newline="\n") as f:
            for r in records():
                f.write(loggen.line_of(r) + "\n")
        with open(os.path.join(profiles, "00000001.wlp"), "w", newline="") as f:
            f.write(report_e2e.PROFILE.format(log=log, home="http://www.example.com/index.html"))
        program = report_e2e.engine_folder(os.path.abspath(args.program), work, {})
        report = report_e2e.Report(report_e2e.run_report(program, program, work, "text"))

        page = "http://www.example.com" + PAGE
        want = {"TopDocuments": (page, str(2 * VISITORS), str(VISITORS)),
                "TopEntry": (page, str(VISITORS), str(VISITORS)),
                "TopExit": (page, str(VISITORS), str(VISITORS)),
                "TopSinglePage": (page, str(VISITORS), str(VISITORS))}
        failures = []
        for family, row in want.items():
            got = report.rows.get(family, {}).get(0)
            if got is None or got[:3] != row:
                failures.append("%s first row: report says %r, the count says %r" % (family, got, row))
        print("%d log lines" % (FILLER + 2 * VISITORS))
        for f in failures:
            print("FAIL " + f)
        return 1 if failures else 0
    finally:
        if not args.keep:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
