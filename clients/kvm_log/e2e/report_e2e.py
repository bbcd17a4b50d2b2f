#!/usr/bin/env python3
"""A whole report checked against an independent count.

Generates a week of a site's access log (loggen.py), runs `kvm-log report`
over it with a template that lists every header value and every row of every
table family (fixture/template.var), in the text and the HTML format, and
holds every value of the report against what model.py counts from the same
records.

    report_e2e.py --program BUILD/bin --source SOURCE_TREE [--keep DIR] [--seed N]
"""

import argparse
import calendar
import html
import os
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import loggen  # noqa: E402
import model  # noqa: E402

START = calendar.timegm((2026, 11, 2, 0, 0, 0))  # a Monday
DAYS = 7
VISITS = 2200

# Ads: name, the words of a view, the words of a click (all in the request).
ADS = [("Widgets banner", "/img/banner.jpg", "products/widgets"), ("Gadget promo", "gadgets", "promo click"),
       ("Manual", "manual.pdf", ""), ("Never shown", "no-such-page", "")]

PROFILE = """[Profile]\r
Version=4\r
Description=End-to-end week\r
LogFilePath={log}\r
LogFileUsername=\r
LogFilePassword=\r
ReportSaveToPath=.\\reports\\e2e\\index.htm\r
LogOwner=Webmaster\r
HomePageName={home}\r
HomePageUsername=\r
HomePagePassword=\r
ODBCDataSource=\r
ODBCPellavar=\r
PellavarRepository=\r
DNSLookup=0\r
OverrideMultiHome=0\r
PellavarFlag=0\r
RealtimeAnalysis=0\r
IncrementalUpdate=0\r
RealtimeReportFrequency=0\r
RealtimeReportInterval=0\r
RealtimeReports=0\r
LogFileFormat=0\r
[[Filter1]]\r
Name=Include Everything\r
FilterType=include\r
DefaultOveride=0\r
ReturnCodes=*\r
ReturnCodesEnabled=0\r
Users=*\r
UsersEnabled=0\r
MultiHomeDomain=*\r
MultiHomeDomainEnabled=0\r
Directory=/\r
IncludeSubDirs=1\r
DirectoryCaseSensitive=0\r
DirectoryEnabled=0\r
Files=*.*\r
FilesCaseSensitive=0\r
IncludeDefaultPages=0\r
FilesEnabled=0\r
Referrer=*\r
ReferrerEnabled=0\r
AdClick=*\r
AdView=*\r
AdsEnabled=0\r
SearchKeywords=*\r
SearchKeywordsEnabled=0\r
Username=*\r
UsernameCaseSensitive=0\r
UsernameAll=0\r
UsernameEnabled=0\r
Browser=*\r
BrowserEnabled=0\r
Days=*\r
DaysEnabled=0\r
HourBegin=8\r
HourEnd=17\r
HourAll/None=1\r
HourEnabled=0\r
"""


class Report:
    """The values a report shows, read from its lines."""

    def __init__(self, text):
        self.headers = {}
        self.rows = {}      # family -> {rank: (desc, hits, users, bytes, percent)}
        self.times = {}     # family -> {desc: time}
        self.noncached = {}  # family -> {desc: (percent, bytes)}
        self.totals = {}    # family -> (hits, users, bytes, percent)
        self.details = {}   # family -> {(rank, column): (item, detail, hits, percent)}
        self.detail_users = {}  # family -> {(rank, column): (detail, users)}
        self.ads = {}       # rank -> (name, views, ..., click-through by users)
        self.ads_totals = None
        self.malformed = []
        self.fragments = 0
        for line in text.replace("\r", "").split("\n"):
            at = line.rfind("@@")
            if at < 0:
                continue
            if at > 0:
                self.fragments += 1  # text of a dropped line left before this one
            fields = line[at + 2:].split("|")
            if fields[-1] != "END":
                self.fragments += 1  # a dropped line's text left on a line of its own
                continue
            kind, family = fields[0], fields[1]
            f = fields[2:-1]
            try:
                if kind == "HDR":
                    self.headers[family] = f[0]
                elif kind == "ROW":
                    self.rows.setdefault(family, {})[int(f[0])] = tuple(f[1:6])
                elif kind == "PATH":
                    self.rows.setdefault(family, {})[int(f[0])] = (f[1], f[2], f[3], None, None)
                elif kind == "TIME":
                    self.times.setdefault(family, {})[f[1]] = f[2]
                elif kind == "NC":
                    self.noncached.setdefault(family, {})[f[1]] = (f[2], f[3])
                elif kind == "ADS":
                    self.ads[int(f[0])] = tuple(f[1:])
                elif kind == "ADSTOT":
                    self.ads_totals = tuple(f)
                elif kind == "TOT":
                    self.totals[family] = tuple(f[0:4])
                elif kind == "DET":
                    n, m = (int(x) for x in f[0].split(","))
                    self.details.setdefault(family, {})[(n, m)] = tuple(f[1:5])
                elif kind == "DETU":
                    n, m = (int(x) for x in f[0].split(","))
                    self.detail_users.setdefault(family, {})[(n, m)] = (f[1], f[2])
                else:
                    self.malformed.append(line)
            except (ValueError, IndexError):
                self.malformed.append(line)


class Checker:
    def __init__(self, label):
        self.label = label
        self.failures = []

    def fail(self, key, message):
        self.failures.append("%s: %s" % (self.label, message))

    def equal(self, key, what, got, want):
        if got != want:
            self.fail(key, "%s: report says %r, the count says %r" % (what, got, want))


def template_families(path):
    families = []
    with open(path, encoding="latin-1") as f:
        for line in f:
            if line.startswith("@@ROW|") or line.startswith("@@PATH|"):
                families.append(line.split("|")[1])
    return families


def template_rows(path):
    rows = {}
    fam = None
    with open(path, encoding="latin-1") as f:
        for line in f:
            if line.startswith("@@ROW|") or line.startswith("@@PATH|"):
                fam = line.split("|")[1]
            if line.startswith("%%%EndRepeat[") and fam is not None and fam not in rows:
                rows[fam] = int(line[len("%%%EndRepeat["):].split("]")[0].split(",")[1])
    return rows


def compare(report, analysis, families, capacity, check):
    c = check
    for name, want in model.expected_headers(analysis, DAYS).items():
        c.equal(("HDR", name), "header %s" % name, report.headers.get(name), want)

    for family in families:
        want_rows = model.expected_rows(analysis, family)
        if len(want_rows) >= capacity[family]:
            c.fail(None, "%s: %d rows do not fit the template's %d" % (family, len(want_rows), capacity[family]))
        got = report.rows.get(family, {})
        ranks = sorted(got)
        if ranks != list(range(len(ranks))):
            c.fail(("RANKS", family), "%s: rows shown at ranks %s" % (family, ranks[:20]))
        got_by_name = {}
        for rank in ranks:
            got_by_name.setdefault(got[rank][0], []).append(rank)
        want_by_name = {r["desc"]: r for r in want_rows}
        missing = [n for n in want_by_name if n not in got_by_name]
        extra = [n for n in got_by_name if n not in want_by_name]
        if missing or extra or len(ranks) != len(want_rows):
            c.fail(("ROWS", family), "%s: %d rows, the count has %d; missing %s; not counted %s" % (
                family, len(ranks), len(want_rows), missing[:5], extra[:5]))
        for name, row in want_by_name.items():
            for rank in got_by_name.get(name, [])[:1]:
                desc, hits, users, nbytes, percent = got[rank]
                c.equal(("HITS", family), "%s %r hits" % (family, name), hits, row["hits"])
                c.equal(("USERS", family), "%s %r users" % (family, name), users, row["users"])
                if nbytes is not None:
                    c.equal(("BYTES", family), "%s %r kilobytes" % (family, name), nbytes, row["bytes"])
                    c.equal(("PCT", family), "%s %r percent" % (family, name), percent, row["percent"])
        # Report order: most first (fewest first from the bottom), fixed
        # lists in their own order, the catch-all row on top.
        shown = [got[r] for r in ranks]
        if family in ("TopWeekdays", "TopHours", "TopBandwidth"):
            c.equal(("ORDER", family), "%s order" % family, [s[0] for s in shown], [r["desc"] for r in want_rows])
        else:
            body = shown[1:] if family in model.WITH_OTHERS else shown
            if family in model.WITH_OTHERS and shown:
                c.equal(("ORDER", family), "%s first row" % family, shown[0][0], want_rows[0]["desc"])
            keys = [want_by_name[s[0]]["sort"] for s in body if s[0] in want_by_name]
            wanted = sorted(keys, reverse=family != "TopBottom")
            if keys != wanted:
                c.fail(("ORDER", family), "%s rows out of order: %s" % (family, keys[:30]))

        if want_rows:
            want_total = model.expected_totals(analysis, family, want_rows)
            got_total = report.totals.get(family)
            if got_total is None:
                c.fail(("TOT", family), "%s: no totals line" % family)
            else:
                for i, k in enumerate(("hits", "users", "bytes", "percent")):
                    c.equal(("TOT", family), "%s total %s" % (family, k), got_total[i], want_total[k])
        elif family in report.totals:
            c.fail(("EMPTY", family), "%s: a section without rows is shown" % family)

        if family in ("TopDocuments", "TopForms"):
            want_times = {r["desc"]: r["time"] for r in want_rows if r["time"] is not None}
            c.equal(("TIME", family), "%s average times" % family, report.times.get(family, {}), want_times)
        if family == "TopDirectory":
            want_nc = {r["desc"]: (r["noncached"], r["bytes"]) for r in want_rows}
            c.equal(("NC", family), "%s non-cached" % family, report.noncached.get(family, {}), want_nc)
        if family in ("TopSearchEngines", "TopSearchKeywords"):
            names = {rank: got[rank][0] for rank in ranks}
            got_details, got_users = {}, {}
            for (n, m), (item, detail, hits, percent) in report.details.get(family, {}).items():
                if m == 0 and item != names.get(n):
                    c.fail(("DET", family), "%s detail block %d is headed %r, row %d is %r" % (
                        family, n, item, n, names.get(n)))
                got_details.setdefault(names.get(n), {})[detail] = (hits, percent)
            for (n, m), (detail, users) in report.detail_users.get(family, {}).items():
                got_users.setdefault(names.get(n), {})[detail] = users
            want_details, want_users = {}, {}
            for r in want_rows:
                for d, (hits, visits, percent) in (r.get("details") or {}).items():
                    want_details.setdefault(r["desc"], {})[d] = (str(hits), percent)
                    if visits:
                        want_users.setdefault(r["desc"], {})[d] = str(visits)
            c.equal(("DET", family), "%s cross tally" % family, got_details, want_details)
            c.equal(("DETU", family), "%s cross tally visits" % family, got_users, want_users)

    want_ads, want_ads_totals, ad_hits = model.expected_ads(analysis)
    got_ads = [report.ads[r] for r in sorted(report.ads)]
    c.equal(("ADS", None), "ads with their views and clicks", sorted(got_ads), sorted(want_ads))
    hits_of = dict(zip((r[0] for r in want_ads), ad_hits))
    shown = [hits_of.get(r[0]) for r in got_ads]
    if shown != sorted(shown, key=lambda x: -(x or 0)):
        c.fail(("ORDER", "TopAds"), "ads out of order: %s" % shown)
    if want_ads:
        c.equal(("ADSTOT", None), "ads totals", report.ads_totals, want_ads_totals)
    elif report.ads_totals is not None:
        c.fail(("EMPTY", "TopAds"), "the ads section without ads is shown")

    if report.fragments:
        c.fail(("LEAK", None), "%d pieces of dropped lines are left in the report" % report.fragments)
    if report.malformed:
        c.fail(("MALFORMED", None), "%d malformed lines, first %r" % (len(report.malformed), report.malformed[0]))


def run_report(program, engine_folder, work, fmt, tz="UTC"):
    folder = os.path.join(work, "out-" + fmt)
    env = dict(os.environ, TZ=tz, KV_PROGRAM_DIR=engine_folder)
    proc = subprocess.run([os.path.join(program, "kvm-log"), "--profiles", os.path.join(work, "kvm_log", "profiles"),
                           "--from", "2026-11-02", "--to", "2026-11-08", "report", "00000001", "--format", fmt,
                           "--report-dir", folder], capture_output=True, text=True, env=env, timeout=120)
    if proc.returncode != 0:
        raise RuntimeError("kvm-log report --format %s failed (%d): %s" % (fmt, proc.returncode, proc.stderr.strip()))
    path = proc.stdout.strip()
    with open(path, encoding="latin-1") as f:
        return f.read()


def engine_folder(program, work, settings, files=None):
    """A program folder of its own: the client and the engine copied (the
    engine finds its settings beside itself), the build's other modules and
    data linked, and its own engine settings, changed as given."""
    folder = os.path.join(work, "program")
    os.makedirs(folder)
    for name in os.listdir(program):
        if name in ("kvm-log", "libVornic.so"):
            shutil.copy2(os.path.join(program, name), os.path.join(folder, name))
        elif name != "kvm_log":
            os.symlink(os.path.join(program, name), os.path.join(folder, name))
    os.makedirs(os.path.join(folder, "kvm_log"))
    ini = os.path.join(folder, "kvm_log", "kvm_log.ini")
    shutil.copy(os.path.join(program, "kvm_log", "kvm_log.ini"), ini)
    for name, text in (files or {}).items():
        with open(os.path.join(folder, name), "w", newline="") as f:
            f.write(text)
    if settings:
        with open(ini, encoding="latin-1") as f:
            text = f.read()
        text = text.replace("[Defaults]\n", "[Defaults]\n" + "".join("%s=%s\n" % kv for kv in settings.items()), 1)
        with open(ini, "w", encoding="latin-1") as f:
            f.write(text)
    return folder


def run_case(args, work, name, visits, home, settings, formats, zone="+0000", tz="UTC", ads=()):
    """Failures of one report of a generated log."""
    work = os.path.join(work, name)
    profiles = os.path.join(work, "kvm_log", "profiles")
    os.makedirs(profiles)
    os.makedirs(os.path.join(work, "logs"))
    templates = os.path.join(work, "kvm_log", "Template")
    os.makedirs(templates)
    template = os.path.join(HERE, "fixture", "template.var")
    shutil.copy(template, templates)
    shutil.copy(os.path.join(args.source, "data", "kvm_log", "Template", "ENGLISH.RPL"), templates)
    report_ini = os.path.join(args.source, "data", "kvm_log", "REPORT.INI")
    keywords_ini = os.path.join(args.source, "data", "keywords.ini")
    shutil.copy(report_ini, os.path.join(work, "kvm_log"))
    shutil.copy(keywords_ini, work)
    shutil.copytree(os.path.join(args.source, "data", "Base"), os.path.join(work, "Base"))
    ad_file = "".join('"%s","%s","%s"\r\n' % ad for ad in ads)
    program = engine_folder(args.program, work, settings, {"ADVIEWS.TXT": ad_file} if ads else None)

    records = loggen.generate(args.seed, START, DAYS, visits)
    log = os.path.join(work, "logs", "access.log")
    with open(log, "w", encoding="latin-1", newline="\n") as f:
        for r in records:
            f.write(loggen.line_of(r, zone) + "\n")
    with open(os.path.join(profiles, "00000001.wlp"), "w", newline="") as f:
        f.write(PROFILE.format(log=log, home=home))

    with open(os.path.join(args.source, "resources", "engine_en", "countries.txt"), encoding="latin-1") as f:
        codes = {line.strip().rsplit(",", 1)[1].lower() for line in f if "," in line}
    analysis = model.Analysis(os.path.join(program, "kvm_log", "kvm_log.ini"), report_ini, keywords_ini,
                              START, START + DAYS * 86400 - 1, home, os.path.join(program, "KELVARON.INI"),
                              codes, ads).run(records)
    families = template_families(template)
    capacity = template_rows(template)
    failures = []
    for fmt in formats:
        check = Checker("%s %s" % (name, fmt))
        try:
            text = run_report(program, program, work, fmt, tz)
        except RuntimeError as e:
            failures.append("%s: %s" % (check.label, e))
            continue
        # Every format is an HTML document: log text is written escaped.
        text = html.unescape(text)
        compare(Report(text), analysis, families, capacity, check)
        failures += check.failures
    print("%s: %d log lines, %d visits counted, %d table families, %d header values" % (
        name, len(records), analysis.t["users"], len(families), len(model.expected_headers(analysis, DAYS))))
    return failures


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--program", required=True)
    ap.add_argument("--source", required=True)
    ap.add_argument("--keep")
    ap.add_argument("--seed", type=int, default=13)
    args = ap.parse_args()
    args.program = os.path.abspath(args.program)
    args.source = os.path.abspath(args.source)

    work = os.path.abspath(args.keep) if args.keep else tempfile.mkdtemp(prefix="kv_e2e_")
    if args.keep:
        shutil.rmtree(work, ignore_errors=True)
        os.makedirs(work)
    try:
        failures = []
        cases = [
            # The standard settings, text and HTML.
            ("week", VISITS, "http://www.example.com/index.html", {}, ("text", "html"), "+0000", "UTC", ADS),
            # No home page (pages are request paths, directories come from
            # them) and no top list for the organisations that expire; times
            # written with a zone other than UTC are wall-clock times as they
            # stand, whatever the time zone of the analysing machine.
            ("bare", VISITS // 5, "", {"MaxTopCount": "1", "CachedTime": "900"}, ("text",), "-0500",
             "America/New_York"),
        ]
        for case in cases:
            failures += run_case(args, work, *case)
        for f in failures:
            print("FAIL " + f)
        return 1 if failures else 0
    finally:
        if not args.keep:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
