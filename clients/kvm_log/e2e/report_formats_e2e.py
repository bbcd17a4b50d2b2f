#!/usr/bin/env python3
"""The shipped template's report in every output format, as a site owner reads it.

A week of a site's access log is generated here, with a few hostile lines
(markup in a path, a referrer and an agent, a comment opener in a path) and
the https referrers of today's web. `kvm-log report` writes it as HTML, text,
doc and xls, and `kvm-log update` + `kvm-log realtime` write it from the
stored days. The chart module writes the values of every chart it draws to
KV_CHART_VALUES. Checked:

- no output carries markup from the log: every format parses to the same
  sections, tables and texts as the HTML, and no element or comment comes
  from a log line;
- every table's totals row is the sum of its rows, and the most and least
  requested pages match an independent count;
- no stacked chart carries a total of its own parts; each chart of the
  template is drawn as the template asks (the second chart of a section
  too); the summary and the realtime reports draw the same charts;
- referring sites are named by host whatever the scheme.

    report_formats_e2e.py --program BUILD/bin --source SOURCE_TREE [--keep DIR]
"""

import argparse
import calendar
import collections
import html
import html.parser
import json
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
START = calendar.timegm((2026, 3, 2, 0, 0, 0))  # a Monday
DAYS = 7
MONTHS = ["Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"]

PAGES = ["/", "/index.html", "/about.html", "/contact.html", "/products/", "/products/widgets.html",
         "/products/gadgets.html", "/support/faq.html", "/news/launch.html", "/news/archive.html",
         "/blog/post-1.html", "/blog/post-2.html", "/blog/post-3.html", "/team.html", "/jobs.html",
         "/legal/terms.html", "/legal/privacy.html", "/search.html", "/docs/guide.html", "/docs/api.html",
         "/docs/faq.html", "/events.html", "/partners.html", "/press.html"]
FILES = ["/img/logo.png", "/css/site.css", "/js/app.js", "/files/manual.pdf", "/files/big.zip"]
REFERRERS = ["-", "-", "-", "https://www.google.com/search?q=blue+widgets", "https://www.bing.com/search?q=gadgets",
             "https://duckduckgo.com/", "https://t.co/Abc123", "https://news.ycombinator.com/item?id=42",
             "http://partner.example.org/links.html", "https://www.facebook.com/"]
AGENTS = ["Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/120.0 Safari/537.36",
          "Mozilla/5.0 (X11; Linux x86_64; rv:121.0) Gecko/20100101 Firefox/121.0",
          "Mozilla/5.0 (iPhone; CPU iPhone OS 17_1 like Mac OS X) AppleWebKit/605.1.15 Mobile/15E148 Safari/604.1"]
STATUSES = [200] * 14 + [304, 304, 206, 301, 404, 500]

# Lines whose values carry markup: each must be text in every output.
SCRIPT = "<script>alert(1)</script>"
HOSTILE = [
    ("/a%s.html" % SCRIPT, "-", AGENTS[0]),
    ("/x<!--y.html", "-", AGENTS[1]),
    ("/b.html", "https://evil.example/%s" % SCRIPT, AGENTS[1]),
    ("/c.html", "-", "Evil/1.0 %s" % SCRIPT),
    ("/d.html", "-", "Long/" + "A" * 5000),
    ("/caf%E9.html", "-", AGENTS[2]),  # a Latin-1 letter, percent-encoded
]


def stamp(t):
    y, mo, d, h, mi, s = __import__("time").gmtime(t)[:6]
    return "%02d/%s/%04d:%02d:%02d:%02d +0000" % (d, MONTHS[mo - 1], y, h, mi, s)


def generate(seed):
    """Records (time, host, path, status, bytes, referrer, agent) in time order."""
    rnd = random.Random(seed)
    weights = [1.0 / (i + 1) ** 1.2 for i in range(len(PAGES))]
    out = []
    for day in range(DAYS):
        t = START + day * 86400 + 3600
        end = START + day * 86400 + 22 * 3600
        while t < end:
            host = "192.0.2.%d" % rnd.randint(1, 60)
            referrer = rnd.choice(REFERRERS)
            agent = rnd.choice(AGENTS)
            for _ in range(rnd.randint(1, 4)):
                path = rnd.choices(PAGES, weights)[0] if rnd.random() < 0.8 else rnd.choice(FILES)
                status = rnd.choice(STATUSES)
                size = 0 if status in (304,) else rnd.randint(200, 90000)
                out.append((t, host, path, status, size, referrer, agent))
                referrer = "-"
                t += rnd.randint(5, 60)
            t += rnd.randint(60, 900)
    # The hostile lines, on the first day, from hosts of their own.
    for i, (path, referrer, agent) in enumerate(HOSTILE):
        out.append((START + 23 * 3600 + i * 60, "203.0.113.%d" % (i + 1), path, 200, 1000 + i, referrer, agent))
    # One failed answer or a few of each status the error counts name.
    for i, status in enumerate((400, 401, 402, 402, 403, 501, 502, 503, 503, 503)):
        out.append((START + (DAYS - 1) * 86400 + 23 * 3600 + i * 60, "203.0.113.%d" % (200 + i), "/gone-%d.html" % i,
                    status, 300, "-", AGENTS[1]))
    # A visit to a page and then to the same page with a query (a form):
    # two steps of its path.
    for day in range(DAYS):
        for n in range(12):
            for i, path in enumerate(("/", "/?q=form")):
                out.append((START + day * 86400 + 22 * 3600 + n * 120 + i * 30, "203.0.113.%d" % (100 + n), path, 200,
                            700, "-", AGENTS[0]))
    out.sort(key=lambda r: r[0])
    return out


def line_of(r):
    t, host, path, status, size, referrer, agent = r
    return '%s - - [%s] "GET %s HTTP/1.1" %d %d "%s" "%s"' % (host, stamp(t), path, status, size, referrer, agent)


# ---- the independent count -----------------------------------------------------------------

def page_hits(records):
    """Hits of each page request (a page: a path that is no file of FILES),
    successful requests only."""
    hits = collections.Counter()
    for _, _, path, status, _, _, _ in records:
        # A request with a query submits a form: no page of its own.
        if status < 400 and path not in FILES and "?" not in path:
            hits[path] += 1
    return hits


def kilobytes_by(records, key):
    """Kilobytes (rounded up) of the successful hits of each key of a path."""
    sums = collections.Counter()
    for _, _, path, status, size, _, _ in records:
        if status < 400:
            sums[key(path)] += size
    return sums


def extension_of(path):
    name = path.split("?")[0].rsplit("/", 1)[1]
    return name.rsplit(".", 1)[1].lower() if "." in name else "*."


def directory_of(path):
    return "http://www.example.com" + path.split("?")[0].rsplit("/", 1)[0] + "/"


def referring_sites(records):
    """Hits of each referring site, by scheme and host (the first hit of each
    visit carries the referrer here)."""
    sites = collections.Counter()
    for _, _, _, status, _, referrer, _ in records:
        if referrer == "-" or status >= 400:
            continue
        m = re.match(r"(https?://[^/:]+)", referrer)
        sites[m.group(1) + "/"] += 1
    return sites


# ---- reading a report -------------------------------------------------------------------------

class Page(html.parser.HTMLParser):
    """Sections (by their H3 ids), tables as rows of cell texts, elements
    met and the comments of a report."""

    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.sections = []
        self.tables = {}
        self.elements = collections.Counter()
        self.comments = []
        self.images = []
        self._section = None
        self._row = None
        self._cell = None
        self._table = None

    def handle_starttag(self, tag, attrs):
        a = dict(attrs)
        self.elements[tag] += 1
        if tag == "h3":
            self._section = a.get("id")
            self.sections.append(self._section)
        elif tag == "table" and self._section is not None:
            self._table = self.tables.setdefault(self._section, [])
        elif tag == "tr" and self._table is not None:
            self._row = []
        elif tag in ("td", "th") and self._row is not None:
            self._cell = []
        elif tag == "img":
            self.images.append(a.get("src"))
        elif tag == "br" and self._cell is not None:
            self._cell.append("\n")

    def handle_endtag(self, tag):
        if tag in ("td", "th") and self._cell is not None and self._row is not None:
            self._row.append("".join(self._cell).strip())
            self._cell = None
        elif tag == "tr" and self._row is not None and self._table is not None:
            self._table.append(self._row)
            self._row = None
        elif tag == "table":
            self._table = None

    def handle_data(self, data):
        if self._cell is not None:
            self._cell.append(data)

    def handle_comment(self, data):
        self.comments.append(data)


def parse(text):
    p = Page()
    p.feed(text)
    p.close()
    return p


def number(text):
    text = text.replace(",", "").strip()
    return int(text) if re.fullmatch(r"\d+", text) else None


class Checker:
    def __init__(self):
        self.failures = []

    def check(self, ok, message):
        if not ok:
            self.failures.append(message)
        return ok

    def equal(self, got, want, what):
        return self.check(got == want, "%s: report %r, count %r" % (what, got, want))


def check_markup(c, label, page, text):
    """No element or comment of the report comes from a log line."""
    c.equal(page.elements.get("script", 0), 0, "%s: script elements" % label)
    for comment in page.comments:
        c.check("y.html" not in comment and "alert" not in comment,
                "%s: a comment holds log text: %r" % (label, comment[:80]))
    c.check(SCRIPT not in text, "%s: the log's markup is written as it stands" % label)


def check_totals(c, label, page):
    """Every table with a totals row: the row sums the rows shown."""
    for section, rows in page.tables.items():
        if not section or not section.endswith("-TABLE") or len(rows) < 3:
            continue
        # The rows shown carry their rank; the totals row follows them.
        head = rows[0]
        body = [r for r in rows[1:] if r and number(r[0]) is not None]
        after = rows[1 + len(body):]
        if not body or not after or rows[1:1 + len(body)] != body:
            continue
        total = after[0]
        if len(total) != len(head) or total[0] != "" or not total[1]:
            continue
        for col in range(2, len(head)):
            if "%" in head[col] or "%" in total[col]:
                continue
            want = total[col]
            values = [number(r[col]) for r in body if len(r) == len(head)]
            if number(want) is None or None in values:
                continue
            if head[col].lower().startswith("k") or "byte" in head[col].lower():
                # Kilobytes rounded up per row: the sum of the rows may
                # exceed the rounded total by less than one per row.
                c.check(0 <= sum(values) - number(want) <= len(values),
                        "%s %s %s: total %s, rows sum to %d" % (label, section, head[col], want, sum(values)))
            else:
                c.equal(number(want), sum(values), "%s %s %s total" % (label, section, head[col]))


def table_rows(page, section):
    rows = page.tables.get(section, [])
    return [(r[1], number(r[2])) for r in rows[1:] if len(r) > 2 and number(r[0]) is not None]


# ---- running the client -----------------------------------------------------------------------

class Site:
    def __init__(self, args, work, records, window=("2026-03-02", "2026-03-08")):
        """A site of its own with the given records (or log lines)."""
        self.args = args
        self.work = work
        self.window = window
        self.profiles = os.path.join(work, "kvm_log", "profiles")
        os.makedirs(self.profiles)
        os.makedirs(os.path.join(work, "logs"))
        shutil.copytree(os.path.join(args.source, "data", "kvm_log", "Template"),
                        os.path.join(work, "kvm_log", "Template"))
        shutil.copy(os.path.join(args.source, "data", "kvm_log", "REPORT.INI"), os.path.join(work, "kvm_log"))
        shutil.copy(os.path.join(args.source, "data", "keywords.ini"), work)
        shutil.copytree(os.path.join(args.source, "data", "Base"), os.path.join(work, "Base"))
        log = os.path.join(work, "logs", "access.log")
        with open(log, "w", encoding="latin-1", newline="\n") as f:
            for r in records:
                f.write((r if isinstance(r, str) else line_of(r)) + "\n")
        with open(os.path.join(args.source, "data", "kvm_log", "profiles", "00000001.wlp"), encoding="latin-1") as f:
            profile = f.read()
        values = {"LogFilePath": log, "PellavarFlag": "1", "RealtimeAnalysis": "1",
                  "PellavarRepository": os.path.join(work, "days"), "Description": "Week <b>of</b> & co"}
        for key, value in values.items():
            profile = re.sub(r"(?m)^%s=.*$" % key, lambda m: "%s=%s\r" % (key, value), profile, count=1)
        with open(os.path.join(self.profiles, "00000001.wlp"), "w", encoding="latin-1", newline="") as f:
            f.write(profile)

    def run(self, *command, charts=None):
        env = dict(os.environ, TZ="UTC", KV_PROGRAM_DIR=self.args.program)
        env.pop("KV_CHART_VALUES", None)
        if charts:
            env["KV_CHART_VALUES"] = charts
        proc = subprocess.run([os.path.join(self.args.program, "kvm-log"), "--profiles", self.profiles] + list(command),
                              capture_output=True, text=True, env=env, timeout=120, cwd=self.work)
        if proc.returncode != 0:
            raise RuntimeError("kvm-log %s failed (%d): %s" % (" ".join(command), proc.returncode, proc.stderr.strip()))
        return proc.stdout.strip()

    def report(self, kind, fmt):
        charts = os.path.join(self.work, "charts-%s-%s.json" % (kind, fmt))
        window = ["--from", self.window[0], "--to", self.window[1]]
        path = self.run(kind, "00000001", "--format", fmt, "--report-dir", os.path.join(self.work, kind + "-" + fmt),
                        *window, charts=charts)
        with open(path, "rb") as f:
            raw = f.read()
        try:
            text = raw.decode("utf-8")  # the pages declare UTF-8
        except UnicodeDecodeError as e:
            raise RuntimeError("%s %s: not UTF-8: %s" % (kind, fmt, e))
        drawn = []
        if os.path.exists(charts):
            with open(charts, encoding="utf-8") as f:
                drawn = [json.loads(line) for line in f]
        return text, drawn


def drawn_charts(page, charts):
    """The template's charts that the report shows (a section without data
    is left out with its chart), in order: by the GRAPH sections of the page
    and, for a section charted twice, the n-th chart of its name."""
    met = collections.Counter()
    out = []
    for section in page.sections:
        if not section or not section.endswith("-GRAPH"):
            continue
        name = section[:-len("-GRAPH")]
        mine = [ch for ch in charts if ch[0] == name]
        if met[name] < len(mine):
            out.append(mine[met[name]])
        met[name] += 1
    return out


def template_charts(source):
    """(section, type word, first row, last row) of each chart of the template, in order."""
    with open(os.path.join(source, "data", "kvm_log", "Template", "template.var"), encoding="latin-1") as f:
        text = f.read()
    out = []
    for m in re.finditer(r"%%(\w+?)Graph\[(\w+)[^,]*,.*?,\s*(\d+)-(\d+)", text):
        out.append((m.group(1), m.group(2).upper(), int(m.group(3)), int(m.group(4))))
    return out


STACKED = 0x2000


def check_drawing(c, name, chart):
    """Where the chart module put what: labels on their points, whole and
    once each; round ticks, whole for counts; legends never cut at the
    picture's edge."""
    style = chart["style"]
    if style in (1, 2):
        for given, shown in zip(chart["legends"], chart["legendsDrawn"]):
            c.check(shown == given or (shown.endswith("..") and given.startswith(shown[:-2])),
                    "%s: legend %r drawn as %r" % (name, given, shown))
        return
    points = chart["points"]
    c.equal(len(points), chart["groups"], "%s: points drawn" % name)
    texts = [t for _, t in chart["labelsDrawn"]]
    c.check(all(t in chart["labels"] for t in texts), "%s: labels cut: %s" % (name, texts))
    c.check(len(set(texts)) == len(texts), "%s: a label drawn twice: %s" % (name, texts))
    c.check(all(x in points for x, _ in chart["labelsDrawn"]), "%s: labels off their points" % name)
    if chart["labels"] and chart["groups"]:
        c.check(len(texts) > 0, "%s: no label drawn" % name)
    if all(float(v).is_integer() for v in chart["values"]):
        c.check(all("." not in t for t in chart["ticks"]), "%s: count ticks %s" % (name, chart["ticks"]))
    left = chart["plot"][0]
    c.check(left > 6 * max(len(t) for t in chart["ticks"]), "%s: plot starts at %d, left of its ticks" % (name, left))


def check_charts(c, label, drawn, wanted, page_hits_top):
    c.equal(len(drawn), len(wanted), "%s: charts drawn" % label)
    for chart, (section, word, first, last) in zip(drawn, wanted):
        name = "%s %s chart %s" % (label, section, word)
        style, flags, groups, per = chart["style"], chart["flags"], chart["groups"], chart["perGroup"]
        values = chart["values"]
        pie = style in (1, 2)
        c.check(pie == word.startswith("PIE"), "%s: drawn with style %d" % (name, style))
        bars = style in (3, 4)
        if bars and flags & STACKED and per > 1:
            # No series of a stacked chart is the sum of the others.
            for s in range(per):
                col = [values[g * per + s] for g in range(groups)]
                rest = [sum(values[g * per + t] for t in range(per) if t != s) for g in range(groups)]
                c.check(not (any(col) and col == rest), "%s: series %d stacks the total of its parts" % (name, s))
        check_drawing(c, name, chart)
        if section == "TopHours":
            c.equal(chart["labels"], ["%02d:00" % h for h in range(24)], "%s: bars named by their hour" % name)
            c.equal(chart["legends"], [], "%s: a legend beside named bars" % name)
        if section == "TopDocuments" and word.startswith("PIE"):
            # The pie of the most requested pages: its slices are their shares.
            c.equal(groups, min(last - first + 1, len(page_hits_top)), "%s slices" % name)
            whole = sum(page_hits_top.values())
            top = sorted(page_hits_top.values(), reverse=True)[:groups]
            c.equal([round(v, 6) for v in values], [round(h * 100.0 / whole, 6) for h in top], "%s shares" % name)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--program", required=True)
    ap.add_argument("--source", required=True)
    ap.add_argument("--keep")
    ap.add_argument("--seed", type=int, default=7)
    args = ap.parse_args()
    args.program = os.path.abspath(args.program)
    args.source = os.path.abspath(args.source)
    work = os.path.abspath(args.keep) if args.keep else tempfile.mkdtemp(prefix="kv_formats_")
    if args.keep:
        shutil.rmtree(work, ignore_errors=True)
        os.makedirs(work)
    c = Checker()
    try:
        records = generate(args.seed)
        site = Site(args, work, records)
        hits = page_hits(records)

        reports = {}
        for fmt in ("html", "text", "doc", "xls"):
            text, drawn = site.report("report", fmt)
            reports[fmt] = (text, parse(text), drawn)
        html_text, html_page, html_charts = reports["html"]
        c.check(len(html_page.sections) > 30, "html: %d sections" % len(html_page.sections))

        # Every format: text, never markup, from the log; the same sections
        # and tables as the HTML report.
        for fmt, (text, page, _) in reports.items():
            check_markup(c, fmt, page, text)
            check_totals(c, fmt, page)
            c.equal(page.sections, html_page.sections, "%s: sections" % fmt)
            for section, rows in html_page.tables.items():
                if "Graph" in section or section.startswith("GeneralStats"):
                    continue  # header texts and chart pictures differ by format
                c.equal(page.tables.get(section), rows, "%s: table %s" % (fmt, section))
            c.check("Week <b>of</b> & co" not in text and "Week &lt;b&gt;of&lt;/b&gt; &amp; co" in text,
                    "%s: the profile's description is not written as text" % fmt)

        # The hostile values are shown as text.
        shown = "\n".join(cell for rows in html_page.tables.values() for row in rows for cell in row)
        c.check("/a%s.html" % SCRIPT in shown, "the page with markup in its path is not shown as text")
        c.check("/caf\u00e9.html" in shown, "the page with a Latin-1 letter is not shown with its letter")

        # The most and least requested pages against the count.
        top = table_rows(html_page, "TopDocuments-TABLE")
        ranked = sorted(hits.items(), key=lambda kv: -kv[1])
        c.equal([h for _, h in top], [h for _, h in ranked[:len(top)]], "most requested pages' hits")
        bottom = table_rows(html_page, "TopBottom-TABLE")
        c.equal([h for _, h in bottom], sorted(hits.values())[:len(bottom)], "least requested pages' hits")

        # A form in a visit path reads as a form, not as its page again.
        paths = [r[1] for r in html_page.tables.get("TopPaths-TABLE", [])[1:]]
        c.check(any("1. http://www.example.com/\n2. http://www.example.com/?" in p.replace(" \n", "\n") for p in paths),
                "the path of a page and then its form is not shown as such: %s" % paths[:3])

        # Kilobytes by file type and by directory, and their totals.
        for section, key in (("TopExtensions-TABLE", extension_of), ("TopDirectory-TABLE", directory_of)):
            rows = html_page.tables.get(section)
            if not c.check(rows is not None, "%s is not shown" % section):
                continue
            head = rows[0]
            if not c.check("Kilobytes" in head, "%s has no kilobytes column: %s" % (section, head)):
                continue
            col = head.index("Kilobytes")
            sums = kilobytes_by(records, key)
            body = [r for r in rows[1:] if r and number(r[0]) is not None]
            shown = 0
            for r in body:
                want = sums.get(r[1])
                shown += want or 0
                if want is not None:
                    c.equal(number(r[col]), (want + 1023) // 1024, "%s %s kilobytes" % (section, r[1]))
            total = rows[1 + len(body)]
            c.equal(number(total[col]), (shown + 1023) // 1024, "%s kilobytes total" % section)

        # Answers by status: each failed one the error counts name, and the
        # cached (304) ones (the profile leaves pictures, styles and scripts out).
        left_out = (".gif", ".jpg", ".png", ".ico", ".css", ".js")
        statuses = collections.Counter(r[3] for r in records if not r[2].lower().endswith(left_out))
        counts = {row[0].split()[0]: number(row[1]) for row in html_page.tables.get("TopClientErrors-NOEDITTABLE", [])
                  if len(row) == 2 and row[0][:3].isdigit()}
        c.equal(counts, {str(code): statuses[code] for code in list(range(400, 405)) + list(range(500, 504))},
                "failed answers by status")
        technical = dict(r for r in html_page.tables.get("TechnicalStats-NOEDITTABLE", []) if len(r) == 2)
        cached = technical.get("Cached hits", "")
        c.equal(number(cached.split()[0]) if cached else None, statuses[304], "cached hits (304)")

        # Referring sites by scheme and host.
        sites = dict(table_rows(html_page, "TopReferingSites-TABLE"))
        want_sites = referring_sites(records)
        c.check(not any(s in ("https/", "https:/") for s in sites), "an https referrer is named by its scheme")
        for site_name, n in sorted(want_sites.items(), key=lambda kv: -kv[1])[:5]:
            c.check(site_name in sites, "referring site %s is missing (shown: %s)" % (site_name, list(sites)[:6]))

        # The shape of a real site's log: every format holds the same
        # tables, their totals sum their rows, the charts are drawn sound.
        with open(os.path.join(HERE, "fixture", "public_apache.log"), encoding="latin-1") as f:
            real_lines = f.read().splitlines()
        real = Site(args, os.path.join(work, "real"), real_lines, ("2015-05-17", "2015-05-17"))
        real_html, real_charts = real.report("report", "html")
        real_page = parse(real_html)
        for fmt in ("html", "text", "doc", "xls"):
            text, _ = real.report("report", fmt) if fmt != "html" else (real_html, None)
            page = parse(text)
            check_markup(c, "real " + fmt, page, text)
            check_totals(c, "real " + fmt, page)
            c.equal(page.sections, real_page.sections, "real %s: sections" % fmt)
        # Each referring site shown is the scheme and host of a referrer of the log.
        hosts = {m.group(1) + "/" for m in (re.search(r'" \d+ \d+ "(https?://[^/":]+)', line) for line in real_lines) if m}
        shown_sites = {name for name, _ in table_rows(real_page, "TopReferingSites-TABLE")} - {"No Referrer"}
        c.check(shown_sites and shown_sites <= hosts, "real: referring sites %s, the log's %s" % (shown_sites, hosts))
        for i, chart in enumerate(real_charts):
            check_drawing(c, "real chart %d %s" % (i, chart["title"]), chart)

        # A report of one hit: each timeline shows that slot alone.
        one = Site(args, os.path.join(work, "one"), [records[0]])
        _, one_charts = one.report("report", "html")
        for chart in one_charts:
            if chart["style"] in (6, 13, 8, 14):
                c.equal(chart["groups"], 1, "one hit: %s slots" % chart["title"])

        # Charts: as the template asks, none stacking its own total.
        wanted = drawn_charts(html_page, template_charts(args.source))
        check_charts(c, "summary", html_charts, wanted, hits)

        # The realtime report of the same template draws the same charts.
        site.run("update", "00000001")
        _, realtime_charts = site.report("realtime", "html")
        check_charts(c, "realtime", realtime_charts, wanted, hits)
        for i, (a, b) in enumerate(zip(html_charts, realtime_charts)):
            for key in ("style", "flags", "groups", "perGroup", "values", "legends", "labels"):
                c.equal(b[key], a[key], "chart %d (%s) %s: realtime against summary" % (i, wanted[i][0], key))
    except RuntimeError as e:
        c.failures.append(str(e))
    finally:
        if not args.keep:
            shutil.rmtree(work, ignore_errors=True)
    for f in c.failures[:60]:
        print("FAIL", f)
    print("%d failures" % len(c.failures))
    return 1 if c.failures else 0


if __name__ == "__main__":
    sys.exit(main())
