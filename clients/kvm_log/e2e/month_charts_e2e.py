#!/usr/bin/env python3
"""Charts over a window of more than a year count calendar months.

Logs of fourteen and a half months and of three years and a quarter are
generated here, the traffic changing from month to month. `kvm-log report`
draws them from the log and `kvm-log update` + `kvm-log realtime` from the
stored days, over windows that are no calendar year; the chart module writes
the values it draws to KV_CHART_VALUES. Checked against a count per calendar
month made here:

- the bandwidth timeline: one slot per calendar month (two months a slot
  when the window is longer than the 24 slots of the month scale), named by
  its first month, each slot holding those months' kilobytes;
- the timeline of the most requested pages: the single page's hits per slot;
- the summary and the realtime report draw the same;
- the header's hits count every hit of the window.

    month_charts_e2e.py --program BUILD/bin --source SOURCE_TREE [--keep DIR]
"""

import argparse
import calendar
import collections
import os
import random
import shutil
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from report_formats_e2e import AGENTS, Checker, Site, number, parse  # noqa: E402

# (first day, last day, --from, --to, months a slot): windows longer than the
# year scale with months of 28, 30 and 31 days; the second is longer than the
# 24 slots of 31 days of the month scale.
WINDOWS = [
    ((2025, 1, 15), (2026, 3, 31), 1),
    ((2023, 1, 15), (2026, 3, 31), 2),
]
SHORT_MONTHS = ["Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"]


def day(ymd):
    return calendar.timegm(tuple(ymd) + (0, 0, 0))


def generate(seed, first, last):
    """Records (time, host, path, status, bytes, referrer, agent): one page,
    a number of hits a day that changes with the month, so that a slot that
    takes days of two months shows."""
    rnd = random.Random(seed)
    out = []
    t = first
    while t <= last:
        month = time.gmtime(t).tm_mon
        for n in range(1 + month % 4):
            host = "198.51.100.%d" % rnd.randint(1, 200)
            size = rnd.randint(200, 90000)
            out.append((t + 3600 + n * 2400, host, "/index.html", 200, size, "-", AGENTS[n % len(AGENTS)]))
        t += 86400
    return out


def per_slot(records, months_a_slot):
    """(label "%b %y" of the slot's first month, hits, bytes) of each slot of
    `months_a_slot` calendar months from the first record's month, in order."""
    first = None
    slots = collections.OrderedDict()
    for t, _, _, _, size, _, _ in records:
        g = time.gmtime(t)
        month = g.tm_year * 12 + g.tm_mon - 1
        if first is None:
            first = month
        start = first + (month - first) // months_a_slot * months_a_slot
        key = "%s %02d" % (SHORT_MONTHS[start % 12], start // 12 % 100)
        hits, nbytes = slots.get(key, (0, 0))
        slots[key] = (hits + 1, nbytes + size)
    return [(k, h, b) for k, (h, b) in slots.items()]


def timeline(charts, title_part):
    for ch in charts:
        if title_part.lower() in ch["title"].lower() and ch["style"] not in (1, 2):
            return ch
    return None


def check(c, label, charts, months):
    labels = [m for m, _, _ in months]
    band = timeline(charts, "bandwidth")
    if c.check(band is not None, "%s: no bandwidth timeline among %s" % (label, [ch["title"] for ch in charts])):
        c.equal(band["labels"], labels, "%s bandwidth slots" % label)
        per = band["perGroup"]
        got = [round(band["values"][g * per], 3) for g in range(band["groups"])]
        c.equal(got, [round(b / 1024.0, 3) for _, _, b in months], "%s kilobytes per month" % label)
    pages = timeline(charts, "pages over time")
    if c.check(pages is not None, "%s: no pages timeline among %s" % (label, [ch["title"] for ch in charts])):
        c.equal(pages["labels"], labels, "%s pages timeline slots" % label)
        per = pages["perGroup"]
        got = [pages["values"][g * per] for g in range(pages["groups"])]
        c.equal(got, [h for _, h, _ in months], "%s page hits per month" % label)
    return band, pages


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--program", required=True)
    ap.add_argument("--source", required=True)
    ap.add_argument("--keep")
    ap.add_argument("--seed", type=int, default=11)
    args = ap.parse_args()
    args.program = os.path.abspath(args.program)
    args.source = os.path.abspath(args.source)
    work = os.path.abspath(args.keep) if args.keep else tempfile.mkdtemp(prefix="kv_months_")
    if args.keep:
        shutil.rmtree(work, ignore_errors=True)
        os.makedirs(work)
    c = Checker()
    try:
        for n, (first, last, per) in enumerate(WINDOWS):
            records = generate(args.seed + n, day(first), day(last))
            months = per_slot(records, per)
            window = ("%04d-%02d-%02d" % first, "%04d-%02d-%02d" % last)
            site = Site(args, os.path.join(work, "w%d" % n), records, window)
            label = "%s to %s" % window
            text, summary = site.report("report", "html")
            header = dict(r for r in parse(text).tables.get("GeneralStats-NOEDITTABLE", []) if len(r) == 2)
            c.equal(number(header.get("Hits (all)", "")), len(records), label + " header hits")
            s_band, s_pages = check(c, label + " summary", summary, months)
            site.run("update", "00000001")
            _, realtime = site.report("realtime", "html")
            r_band, r_pages = check(c, label + " realtime", realtime, months)
            for a, b, what in ((s_band, r_band, "bandwidth"), (s_pages, r_pages, "pages")):
                if a and b:
                    for key in ("groups", "perGroup", "values", "labels"):
                        c.equal(b[key], a[key], "%s %s timeline %s: realtime against summary" % (label, what, key))
    except RuntimeError as e:
        c.failures.append(str(e))
    finally:
        if not args.keep:
            shutil.rmtree(work, ignore_errors=True)
    for f in c.failures[:40]:
        print("FAIL", f)
    print("%d failures" % len(c.failures))
    return 1 if c.failures else 0


if __name__ == "__main__":
    sys.exit(main())
