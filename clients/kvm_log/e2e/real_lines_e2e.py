#!/usr/bin/env python3
"""Lines as real servers write them, through `kvm-log`.

Each case writes a small log in the exact shape a web server writes it (a W3C
log whose columns change on the way, requests with escaped quotes, logs out of
time order, virtual-host lines, ...), runs the client over it and holds the
hits it counts, the report's figures and its "lines read" message against a
short parse of its own (Model below), which shares no code with the engine.

    real_lines_e2e.py --program BUILD/bin --source SOURCE_TREE [--keep DIR] [--only NAME]
"""

import argparse
import calendar
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import report_e2e  # noqa: E402

DAY = 86400
T0 = calendar.timegm((2014, 3, 2, 0, 0, 0))  # a Sunday
AGENT = "Mozilla/5.0 (Windows NT 6.1; WOW64; rv:27.0) Gecko/20100101 Firefox/27.0"
METHODS = ("GET", "POST", "HEAD", "PUT")

# ---- line shapes -----------------------------------------------------------------


def clf_stamp(t):
    return time.strftime("%d/%b/%Y:%H:%M:%S +0000", time.gmtime(t))


def combined(t, host, request, status="200", size="512", referrer="-", agent=AGENT, user="-"):
    """A combined-format line as written (request, referrer and agent already escaped)."""
    return '%s - %s [%s] "%s" %s %s "%s" "%s"' % (host, user, clf_stamp(t), request, status, size, referrer, agent)


IIS75 = ("date time s-ip cs-method cs-uri-stem cs-uri-query s-port cs-username c-ip cs(User-Agent) sc-status "
         "sc-substatus sc-win32-status time-taken").split()
IIS85 = ("date time s-ip cs-method cs-uri-stem cs-uri-query s-port cs-username c-ip cs-version cs(User-Agent) "
         "cs(Cookie) cs(Referer) cs-host sc-status sc-substatus sc-win32-status sc-bytes cs-bytes time-taken").split()
IIS_SWAPPED = ("date time c-ip s-ip cs-uri-stem cs-method cs-uri-query sc-status sc-bytes time-taken").split()


def w3c_block(fields, times, path="/default.aspx", client=lambda i: "192.0.2.%d" % (i % 60 + 1), restart=True):
    """An IIS block: its directive lines and one record a time, each in the columns given."""
    out = []
    if restart:
        out += ["#Software: Microsoft Internet Information Services 8.5", "#Version: 1.0",
                "#Date: " + time.strftime("%Y-%m-%d %H:%M:%S", time.gmtime(times[0]))]
    out.append("#Fields: " + " ".join(fields))
    for i, t in enumerate(times):
        v = {"date": time.strftime("%Y-%m-%d", time.gmtime(t)), "time": time.strftime("%H:%M:%S", time.gmtime(t)),
             "s-ip": "10.0.0.5", "cs-method": "GET", "cs-uri-stem": "%s" % path, "cs-uri-query": "id=%d" % i,
             "s-port": "443", "cs-username": "-", "c-ip": client(i), "cs-version": "HTTP/1.1",
             "cs(User-Agent)": AGENT.replace(" ", "+"), "cs(Cookie)": "-", "cs(Referer)": "-",
             "cs-host": "www.example.com", "sc-status": "200", "sc-substatus": "0", "sc-win32-status": "0",
             "sc-bytes": "2048", "cs-bytes": "412", "time-taken": "31"}
        out.append(" ".join(v[f] for f in fields))
    return out


# ---- the model -------------------------------------------------------------------

CLF = re.compile(r'^(?:(\S+:\d+) )?(\S+) (\S+) (.+?) \[(\d\d)/(\w\w\w)/(\d{4}):(\d\d):(\d\d):(\d\d) ([+-]\d{4})\] '
                 r'"((?:[^"\\]|\\.)*)" (\d{3}|-) (\d+|-)(?: "((?:[^"\\]|\\.)*)" "((?:[^"\\]|\\.)*)")?')
MONTHS = {m: i + 1 for i, m in enumerate("Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec".split())}


class Hit:
    def __init__(self, t, client, status, size, method, url):
        self.t, self.client, self.status, self.size, self.method, self.url = t, client, status, size, method, url


class Model:
    """The lines and hits of a log by a parse of its own: every line is a
    comment or directive, a hit, or a line the engine cannot use."""

    def __init__(self, lines):
        self.lines = len(lines)
        self.hits = []
        self.unusable = 0
        fields = None
        for n, line in enumerate(lines):
            if n == 0 and line.startswith("\xef\xbb\xbf"):
                line = line[3:]
            if line.startswith("#"):
                if line.startswith("#Fields:"):
                    fields = line[8:].split()
                continue
            # After a directive every line is read as W3C.
            hit = self.clf(line) if fields is None else self.w3c(line, fields)
            if hit is None:
                self.unusable += 1
            else:
                self.hits.append(hit)

    @staticmethod
    def clf(line):
        m = CLF.match(line)
        if not m:
            return None
        vhost, host = m.group(1), m.group(2)
        t = calendar.timegm((int(m.group(7)), MONTHS[m.group(6)], int(m.group(5)), int(m.group(8)),
                             int(m.group(9)), int(m.group(10))))
        request = re.sub(r'\\(["\\])', r"\1", m.group(12))
        method, _, rest = request.partition(" ")
        if method not in METHODS:
            return None
        url = rest.rsplit(" HTTP/", 1)[0]
        size = 0 if m.group(14) == "-" else int(m.group(14))
        return Hit(t, host, m.group(13), size, method, url)

    @staticmethod
    def w3c(line, fields):
        values = line.split(" ")
        if len(values) != len(fields):
            return None
        v = dict(zip(fields, values))
        if "date" not in v or "time" not in v:
            return None
        t = calendar.timegm(time.strptime(v["date"] + " " + v["time"], "%Y-%m-%d %H:%M:%S"))
        if v.get("cs-method", "GET") not in METHODS:
            return None
        return Hit(t, v.get("c-ip", "-"), v.get("sc-status", "200"), int(v.get("sc-bytes", "0")),
                   v.get("cs-method", "GET"), v.get("cs-uri-stem", ""))

    def window(self, start, end):
        return [h for h in self.hits if start <= h.t <= end]


# ---- running the client ----------------------------------------------------------


def stamp_arg(t):
    return time.strftime("%Y-%m-%d %H:%M:%S", time.gmtime(t))


class Client:
    def __init__(self, program, source, work):
        self.program = program
        self.work = work
        self.profiles = os.path.join(work, "kvm_log", "profiles")
        os.makedirs(self.profiles)
        templates = os.path.join(work, "kvm_log", "Template")
        os.makedirs(templates)
        shutil.copy(os.path.join(HERE, "fixture", "template.var"), os.path.join(templates, "template.var"))
        shutil.copy(os.path.join(source, "data", "kvm_log", "REPORT.INI"), os.path.join(work, "kvm_log"))
        self.engine = report_e2e.engine_folder(program, work, {})
        self.logs = os.path.join(work, "logs")
        os.makedirs(self.logs)
        self.runs = 0

    def write(self, name, lines, end="\r\n"):
        path = os.path.join(self.logs, name)
        with open(path, "w", encoding="latin-1", newline="") as f:
            f.write("".join(line + end for line in lines))
        return path

    def run(self, location, *args, timeout=60):
        """(exit code, standard output, standard error, lines read, not recognised, skipped)"""
        with open(os.path.join(self.profiles, "00000001.wlp"), "w", newline="") as f:
            f.write(report_e2e.PROFILE.format(log=location, home="http://www.example.com/"))
        env = dict(os.environ, TZ="UTC", KV_PROGRAM_DIR=self.engine)
        try:
            proc = subprocess.run([os.path.join(self.program, "kvm-log"), "--profiles", self.profiles] + list(args),
                                  capture_output=True, text=True, env=env, timeout=timeout, errors="replace")
        except subprocess.TimeoutExpired:
            return (None, "", "kvm-log did not end within %d seconds" % timeout, None, None, None)
        m = re.search(r"(\d+) lines read, (\d+) not recognised, (\d+) skipped", proc.stderr)
        counts = tuple(int(x) for x in m.groups()) if m else (None, None, None)
        return (proc.returncode, proc.stdout, proc.stderr) + counts

    def count(self, location, *window):
        code, out, err, lines, unrecognised, skipped = self.run(location, "run", "00000001", "--kind", "count",
                                                                *window)
        hits = int(out) if code == 0 and out.strip().isdigit() else None
        return hits, (lines, unrecognised, skipped), err

    def report(self, location, *window):
        self.runs += 1
        folder = os.path.join(self.work, "report%d" % self.runs)
        code, out, err = self.run(location, "report", "00000001", "--format", "text", "--report-dir", folder,
                                  *window)[:3]
        if code != 0:
            return None, err
        with open(out.strip(), encoding="latin-1") as f:
            return report_e2e.Report(f.read()), err


class Checker:
    def __init__(self):
        self.failures = []
        self.case = ""

    def eq(self, what, got, want):
        if got != want:
            self.failures.append("%s: %s: kvm-log says %r, the model %r" % (self.case, what, got, want))

    def true(self, what, ok):
        if not ok:
            self.failures.append("%s: %s" % (self.case, what))


def lines_of(model):
    """The three counts the client tells, as the model has them."""
    return (model.lines, model.unusable, 0)


# ---- the cases -------------------------------------------------------------------


def case_w3c_field_changes(c, k):
    """A W3C log whose #Fields change on the way is read with the directive in
    force at each line, whole or in a window, however many changes it has."""
    hour = 3600
    files = {
        # 300 records under the IIS 7.5 columns, 700 under the 8.5 ones (more columns).
        "two_layouts": w3c_block(IIS75, [T0 + i * 10 for i in range(300)]) +
                       w3c_block(IIS85, [T0 + 5 * hour + i * 10 for i in range(700)]),
        # A day with five changes (restarts and an administrator's changes), one
        # of them a change of column order without a #Software/#Date block.
        "five_changes": w3c_block(IIS75, [T0 + i * 30 for i in range(120)]) +
                        w3c_block(IIS85, [T0 + 2 * hour + i * 30 for i in range(150)]) +
                        w3c_block(IIS_SWAPPED, [T0 + 4 * hour + i * 30 for i in range(90)], restart=False) +
                        w3c_block(IIS75, [T0 + 6 * hour + i * 30 for i in range(200)]) +
                        w3c_block(IIS85, [T0 + 9 * hour + i * 30 for i in range(400)]) +
                        w3c_block(IIS_SWAPPED, [T0 + 14 * hour + i * 30 for i in range(77)]),
    }
    # A file that goes from the common format to W3C and back (a server
    # switched to W3C logging and back on the same day): the lines after the
    # directive are W3C lines, and those that are none count as not
    # recognised.
    clf_part = [combined(T0 + i * 60, "198.51.100.%d" % (i % 5 + 1), "GET /n%d HTTP/1.1" % i) for i in range(50)]
    back = [combined(T0 + 20 * hour + i * 60, "198.51.100.9", "GET /b%d HTTP/1.1" % i) for i in range(30)]
    files["common_w3c_common"] = clf_part + w3c_block(IIS75, [T0 + 10 * hour + i * 9 for i in range(40)]) + back
    # The same with a byte-order mark before its first directive.
    files["byte_order_mark"] = ["\xef\xbb\xbf" + files["two_layouts"][0]] + files["two_layouts"][1:]
    for name, lines in files.items():
        k.case = "w3c " + name
        path = c.write("u_ex%s.log" % name, lines)
        m = Model(lines)
        hits, counts, err = c.count(path)
        k.eq("hits of the whole log", hits, len(m.hits))
        k.eq("lines read, not recognised, skipped", counts, lines_of(m))
        last = m.hits[-1].t
        for start, end in ((T0 + 3 * hour, last - 600), (last - 3600, last), (T0, T0 + 5 * hour + 100)):
            hits, _, err = c.count(path, "--from", stamp_arg(start), "--to", stamp_arg(end))
            want = len(m.window(start, end))
            # An empty window is refused ("no log record lies in the time window").
            k.eq("hits from %s to %s" % (stamp_arg(start), stamp_arg(end)), hits, want if want else None)


def case_directive_text_in_a_record(c, k):
    """A request whose referrer or browser text holds "#Fields:" leaves the
    log as it is: only a directive line sets columns."""
    rows = [combined(T0 + i * 7, "198.51.100.%d" % (i % 9 + 1), "GET /p%d.html HTTP/1.1" % i) for i in range(40)]
    cases = {
        "referrer": 'http://evil.example/?x=#Fields: date time',
        "agent": "#Fields: date time c-ip cs-method cs-uri-stem sc-status",
    }
    for name, text in cases.items():
        k.case = "#Fields in the " + name
        lines = list(rows)
        probe = combined(T0 + 1, "203.0.113.66", "GET / HTTP/1.1",
                         referrer=text if name == "referrer" else "-", agent=text if name == "agent" else AGENT)
        lines.insert(1, probe)
        path = c.write("access_%s.log" % name, lines, end="\n")
        m = Model(lines)
        hits, counts, err = c.count(path)
        k.eq("hits", hits, len(m.hits))
        k.eq("lines read, not recognised, skipped", counts, lines_of(m))
    # In a W3C log, a directive line counts where the log places it.
    k.case = "#Fields in a W3C browser text"
    lines = w3c_block(IIS75, [T0 + i for i in range(30)])
    lines[5] = lines[5].replace(AGENT.replace(" ", "+"), "#Fields:+date+time")
    path = c.write("u_exagent.log", lines)
    m = Model(lines)
    hits, counts, _ = c.count(path)
    k.eq("hits", hits, len(m.hits))


def case_escaped_quotes(c, k):
    """A quote or backslash inside a quoted field, as the server escapes it,
    leaves the status, the size and the other fields where they are."""
    requests = [
        ('GET /search?q=\\"><script>alert(1)</script> HTTP/1.1', "200", "512", "-", AGENT),
        ('GET /a\\\\b\\\\c.html HTTP/1.1', "404", "209", "-", AGENT),
        ('GET /x\\"y\\" HTTP/1.0', "301", "0", 'http://ref.example/\\"q\\"', 'curl \\"7\\"'),
        ('POST /login?next=\\\\\\" HTTP/1.1', "500", "77", "-", 'Mozilla \\\\ \\"evil\\"'),
        ("GET /plain.html HTTP/1.1", "200", "1000", "-", AGENT),
    ]
    lines = []
    for i in range(60):
        request, status, size, referrer, agent = requests[i % len(requests)]
        lines.append(combined(T0 + 60 * i, "198.51.100.%d" % (i % 7 + 1), request, status, size, referrer, agent))
    k.case = "escaped quotes"
    path = c.write("access_escaped.log", lines, end="\n")
    m = Model(lines)
    report, err = c.report(path)
    if report is None:
        k.true("no report: " + err, False)
        return
    ok = [h for h in m.hits if h.status < "400"]
    k.eq("total hits", report.headers.get("TechnicalStatsTotalHits"), str(len(m.hits)))
    k.eq("successful hits", report.headers.get("TechnicalStatsSuccessfulHits"), str(len(ok)))
    k.eq("failed hits", report.headers.get("TechnicalStatsFailedHits"), str(len(m.hits) - len(ok)))
    k.eq("404 hits", report.headers.get("WebClientError_404"), str(sum(1 for h in m.hits if h.status == "404")))
    k.eq("500 hits", report.headers.get("WebServerError_500"), str(sum(1 for h in m.hits if h.status == "500")))


def hourly(start, hours, host):
    return [combined(start + h * 3600 + 17, host % (h % 13 + 1), "GET /h%d.html HTTP/1.1" % h) for h in range(hours)]


def case_out_of_order(c, k):
    """Logs out of time order: rotated files named in the shell's order, and
    logs of two servers or of rotations concatenated newest first. The
    window, the per-day figures and the count of hits are those of the same
    hits in order."""
    older = hourly(T0, 72, "10.0.1.%d")
    newer = hourly(T0 + 3 * DAY, 72, "10.0.2.%d")
    newest = hourly(T0 + 6 * DAY, 48, "10.0.3.%d")
    in_order = c.write("in_order.log", older + newer + newest, end="\n")
    rotated = [c.write("access.log", newest, end="\n"), c.write("access.log.1", newer, end="\n"),
               c.write("access.log.2", older, end="\n")]
    shapes = {
        "rotated files in shell order": "|".join(rotated),
        "rotations concatenated newest first": c.write("cat.log", newest + newer + older, end="\n"),
        "two servers concatenated": c.write("two.log", older + newest + newer, end="\n"),
    }
    m = Model(older + newer + newest)
    days = (m.hits[-1].t // DAY) - (m.hits[0].t // DAY) + 1
    want, _ = c.report(in_order)
    for name, location in shapes.items():
        k.case = name
        got, err = c.report(location)
        if got is None or want is None:
            k.true("no report: " + err, False)
            continue
        k.eq("total hits", got.headers.get("HeaderTotalHits"), str(len(m.hits)))
        k.eq("average hits per day", got.headers.get("HeaderAverageHitsPerDay"), str(len(m.hits) // days))
        for family in ("TopWeekdays", "TopHours", "TopVisitors"):
            k.eq(family + " rows", got.rows.get(family), want.rows.get(family))
        backwards = name != "rotated files in shell order"
        k.true("the client tells how many records were out of order (%s)" % err.strip(),
               ("out of time order" in err or "of a later time" in err) == backwards)


DAY_FIGURES = ("SummaryByDayAvgHitsOnWeekdays", "SummaryByDayAvgUsersOnWeekdays", "SummaryByDayAvgHitsOnWeekends",
               "SummaryByDayAvgUsersOnWeekends", "SummaryByDayMostActiveDayEver", "SummaryByDayMostActiveDayEverHits",
               "SummaryByDayLeastActiveDayEver", "SummaryByDayLeastActiveDayEverHits")


def day_figures(hits):
    """The per-day figures of a report from the hits alone: each hit on its own
    UTC day, a visitor on the day of its first hit (each client of these logs
    comes once). A day with records counts even when none of them succeeded;
    the busiest and the quietest day are the earliest of their equals."""
    days = {}
    seen = set()
    for h in sorted(hits, key=lambda h: h.t):
        d = days.setdefault(h.t // DAY, [0, 0])
        if h.status < "400":
            d[0] += 1
            if h.client not in seen:
                seen.add(h.client)
                d[1] += 1
    split = {}
    for weekend in (False, True):
        part = [v for n, v in days.items() if (time.gmtime(n * DAY).tm_wday >= 5) == weekend]
        count = len(part)
        if weekend and count > 1:
            count = (count + 1) // 2  # the report's own reckoning of weekend days
        split[weekend] = [sum(v[i] for v in part) // count if count else 0 for i in (0, 1)]
    order = sorted(days)
    busiest = min(order, key=lambda n: (-days[n][0], n))
    quiet = [n for n in order if days[n][0] != 0]
    quietest = min(quiet, key=lambda n: (days[n][0], n)) if quiet else None
    text = lambda n: time.strftime("%B %d, %Y", time.gmtime(n * DAY))
    return dict(zip(DAY_FIGURES, [
        str(split[False][0]), str(split[False][1]), str(split[True][0]), str(split[True][1]),
        text(busiest), str(days[busiest][0]),
        text(quietest) if quiet else "", str(days[quietest][0]) if quiet else "N/A"]))


def case_days_out_of_order(c, k):
    """The busiest and quietest day and the weekday and weekend averages count
    each hit on its own day, whatever the order of the records: a log written
    at the end of each request (late by up to a minute, also across midnight)
    and two servers' logs one after the other give the report of the same hits
    in order."""
    import random
    rnd = random.Random(29)

    def server(name, per_day, failed_days=()):
        """A server's log in time order: a few visitors a day, each coming once
        in a burst of hits, many of them in the minutes around midnight."""
        out = []
        for day, visitors in sorted(per_day.items()):
            for v in range(visitors):
                if v % 3 == 0:
                    start = T0 + (day + 1) * DAY - 50 - 40 * (v % 2)   # just before midnight
                elif v % 3 == 1:
                    start = T0 + day * DAY + 5 + 3 * v                 # just after it
                else:
                    start = T0 + day * DAY + rnd.randrange(3600, DAY - 3600)
                status = "404" if day in failed_days else "200"
                host = "%s.%d.%d" % (name, day, v + 1)
                out += [(start + 4 * j, combined(start + 4 * j, host, "GET /d%d/p%d.html HTTP/1.1" % (day, j), status))
                        for j in range(1 + (v * 7 + day) % 5)]
        return out

    # Days from a Sunday on; the first server has no records on day 5, the
    # second none on days 0 and 8 and only failures on day 10. Together days
    # 6 and 9 are the busiest (42 hits each), days 5 and 7 the quietest (11).
    a = server("10.1", {0: 6, 1: 3, 2: 9, 3: 4, 4: 4, 6: 12, 7: 2, 8: 5, 9: 7})
    b = server("10.2", {1: 8, 2: 1, 3: 5, 4: 5, 5: 4, 6: 2, 7: 1, 9: 6, 10: 2}, failed_days=(10,))
    in_order = [line for _, line in sorted(a + b, key=lambda r: r[0])]
    # A record is written when its request ends, up to a minute after it began.
    lagged = [line for _, line in sorted(a + b, key=lambda r: (r[0] + rnd.randrange(61), r[1]))]
    shapes = {"in time order": in_order, "written late by up to a minute": lagged,
              "two servers concatenated": [line for _, line in a + b],
              "two servers concatenated, the second first": [line for _, line in b + a]}
    m = Model(in_order)
    want = day_figures(m.hits)
    for i, (name, lines) in enumerate(shapes.items()):
        k.case = "days of a log " + name
        report, err = c.report(c.write("days%d.log" % i, lines, end="\n"))
        if report is None:
            k.true("no report: " + err, False)
            continue
        k.eq("total hits", report.headers.get("TechnicalStatsTotalHits"), str(len(m.hits)))
        for figure in DAY_FIGURES:
            k.eq(figure, report.headers.get(figure), want[figure])


def case_window_by_own_time(c, k):
    """Lines written when their request ends are out of order by seconds: a
    window keeps or drops each hit by its own time."""
    lines = []
    for i in range(3000):
        t = T0 + 8 * 3600 + i * 3
        lag = (i * 7919) % 23  # a slow request is written up to 22 seconds late
        lines.append(combined(t - lag, "192.0.2.%d" % (i % 200 + 1), "GET /r%d HTTP/1.1" % i))
    path = c.write("apache_lagged.log", lines, end="\n")
    m = Model(lines)
    k.case = "window over a log out of order by seconds"
    for start, end in ((T0 + 9 * 3600, T0 + 9 * 3600 + 120), (T0 + 8 * 3600 + 4000, T0 + 8 * 3600 + 4011),
                       (T0, T0 + 8 * 3600 + 30), (T0 + 8 * 3600 + 8950, T0 + DAY)):
        hits, counts, _ = c.count(path, "--from", stamp_arg(start), "--to", stamp_arg(end))
        k.eq("hits from %s to %s" % (stamp_arg(start), stamp_arg(end)), hits, len(m.window(start, end)))
        k.eq("lines read of a window", counts[0], m.lines)


def listing(c, location):
    """The client addresses and files of a detailed listing, hit by hit."""
    code, out, err = c.run(location, "run", "00000001", "--kind", "detail")[:3]
    return re.findall(r"^Address:\t(.*)$", out, re.M), re.findall(r"^File:\t(.*)$", out, re.M), err


def case_common_lines_of_many_shapes(c, k):
    """Common-format lines whose request, referrer or browser text holds what
    the layout recognition counts (commas, tabs, "->", "log{") are read as the
    common-format lines they are."""
    shapes = [
        ("15 commas in the request", "GET /api/items?ids=1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16 HTTP/1.1", "-", AGENT, ""),
        ("a map link with commas", "GET /where HTTP/1.1",
         "https://maps.example.com/maps?ll=48.85,2.35&spn=0.1,0.1&t=m,k&z=1,2,3,4,5,6,7,8,9,10,11,12,13,14", AGENT, ""),
        ("12 tabs in the browser text", "GET /tabs HTTP/1.1", "-", "\t".join("abcdefghijklm"), ""),
        ("an upstream field after the line", "GET /proxied HTTP/1.1", "-", AGENT, " upstream->10.0.0.7:8080"),
        ("log{ in the path", "GET /blog{2014}/post HTTP/1.1", "-", AGENT, ""),
        ("a key-value look-alike", "GET /changelog {x} HTTP/1.1", "-", AGENT, ""),
    ]
    for i, (name, request, referrer, agent, tail) in enumerate(shapes):
        k.case = "common line with " + name
        lines = [combined(T0 + j, "198.51.100.%d" % (j + 1), request, referrer=referrer, agent=agent) + tail
                 for j in range(12)]
        path = c.write("shape%d.log" % i, lines, end="\n")
        m = Model(lines)
        hits, counts, _ = c.count(path)
        k.eq("hits", hits, len(m.hits))
        k.eq("lines read, not recognised, skipped", counts, lines_of(m))
        addresses, files, _ = listing(c, path)
        k.eq("client addresses", sorted(addresses), sorted(h.client for h in m.hits))


def case_virtual_host_lines(c, k):
    """The default log of a server's virtual hosts: "host:port" before each
    line. The address after it is the client's."""
    clients = ["198.51.100.%d" % (i + 1) for i in range(8)] + ["2001:db8::%x" % (i + 1) for i in range(4)]
    lines = []
    for i in range(48):
        vhost = ("www.example.com:443", "shop.example.com:80", "10.0.0.5:8080")[i % 3]
        lines.append(vhost + " " + combined(T0 + i * 40, clients[i % len(clients)], "GET /v%d HTTP/1.1" % i))
    # A plain line whose client is an IPv6 address keeps it whole.
    lines.append(combined(T0 + 5000, "2001:db8::ff", "GET /six HTTP/1.1"))
    path = c.write("other_vhosts_access.log", lines, end="\n")
    m = Model(lines)
    k.case = "virtual-host lines"
    hits, counts, _ = c.count(path)
    k.eq("hits", hits, len(m.hits))
    addresses, _, _ = listing(c, path)
    k.eq("client addresses", sorted(addresses), sorted(h.client for h in m.hits))


def case_line_counts(c, k):
    """The lines read are the lines of the files, each counted once: as a hit,
    a comment, a line not recognised or a line skipped (over-long), also when
    a window leaves lines outside the part read."""
    hits = [combined(T0 + i * 30, "192.0.2.%d" % (i % 40 + 1), "GET /c%d HTTP/1.1" % i) for i in range(400)]
    shapes = {
        "a 1 MB request": (200, combined(T0 + 6000, "192.0.2.1", "GET /" + "x" * (1 << 20) + " HTTP/1.1")),
        "a 100 KB browser text": (50, combined(T0 + 1500, "192.0.2.2", "GET / HTTP/1.1", agent="A" * 100000)),
        "a line of noise": (120, "this is no log line at all"),
    }
    for name, (at, odd) in shapes.items():
        k.case = "line counts with " + name
        lines = hits[:at] + [odd] + hits[at:]
        path = c.write("counts%d.log" % at, lines, end="\n")
        m = Model(lines)
        long_lines = sum(1 for line in lines if len(line) >= 16384)
        want = (m.lines, m.unusable, long_lines)
        got, counts, _ = c.count(path)
        k.eq("hits", got, len(m.hits) - long_lines)
        k.eq("lines read, not recognised, skipped", counts, want)
        start, end = T0 + 3000, T0 + 9000
        got, counts, _ = c.count(path, "--from", stamp_arg(start), "--to", stamp_arg(end))
        k.eq("hits of a window", got, len([h for h in m.window(start, end) if len(h.url) < 16000]))
        k.eq("lines read of a window", counts[0], m.lines)


def case_unterminated_last_line(c, k):
    """A last line without its line end counts the way a whole line does, or
    not at all when it is left for a later read (the end of a log that may
    still grow, which does not parse): never among the skipped or not
    recognised lines without being among the lines read."""
    body = [combined(T0 + i * 60, "192.0.2.%d" % (i + 1), "GET /u%d HTTP/1.1" % i) for i in range(6)]
    # A line not recognised just before it: the last line is then read in
    # the same pass as a rejected line.
    body.append("not a log line")
    # (the last line, (hits, lines read, not recognised, skipped) it adds)
    shapes = {
        "a record": (combined(T0 + 900, "192.0.2.99", "GET /last HTTP/1.1"), (1, 1, 0, 0)),
        "an unknown method": (combined(T0 + 900, "192.0.2.99", "GEon / HTTP/1.1", status="404"), (0, 0, 0, 0)),
        "a record cut in its date": ('192.0.2.99 - - [02/Mar/2014:00:1', (0, 0, 0, 0)),
        "a line of noise": ("not a log line either", (0, 0, 0, 0)),
        "a line with a zero byte": (combined(T0 + 900, "192.0.2.99", "GET /\0 HTTP/1.1"), (0, 1, 0, 1)),
    }
    for name, (last, (hits, lines, unrecognised, skipped)) in shapes.items():
        k.case = "an unterminated last line: " + name
        path = c.write("unterminated.log", body, end="\n")
        with open(path, "a", encoding="latin-1", newline="") as f:
            f.write(last)
        got, counts, err = c.count(path)
        k.eq("hits", got, 6 + hits)
        k.eq("lines read, not recognised, skipped", counts, (7 + lines, 1 + unrecognised, skipped))
        if None not in counts and got is not None:
            k.eq("lines read against hits, not recognised and skipped", counts[0], got + counts[1] + counts[2])


def case_logs_that_cannot_be_read(c, k):
    """A log that is no regular file, one that may not be read and a ZIP
    archive cut short are refused at once, each with its reason."""
    import stat
    import zipfile
    fifo = os.path.join(c.logs, "pipe.log")
    os.mkfifo(fifo)
    whole = os.path.join(c.logs, "whole.zip")
    with zipfile.ZipFile(whole, "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr("access.log", "\n".join(hourly(T0, 400, "10.0.4.%d")) + "\n")
    with open(whole, "rb") as f:
        data = f.read()
    cut = os.path.join(c.logs, "cut.zip")
    with open(cut, "wb") as f:
        f.write(data[:len(data) // 2])  # no central directory
    secret = c.write("secret.log", hourly(T0, 10, "10.0.5.%d"), end="\n")
    os.chmod(secret, 0)
    as_other = []
    parents = [os.path.dirname(c.work)]
    while os.path.dirname(parents[-1]) != parents[-1]:
        parents.append(os.path.dirname(parents[-1]))
    reachable = all(os.stat(p).st_mode & stat.S_IXOTH for p in parents) and shutil.which("setpriv")
    if os.geteuid() == 0 and reachable:
        # Root reads any file: the client runs as another user for this one.
        for path in (c.work, os.path.join(c.work, "kvm_log"), c.profiles, c.logs):
            os.chmod(path, os.stat(path).st_mode | stat.S_IRWXO)
        for dirpath, dirnames, filenames in os.walk(c.engine):
            os.chmod(dirpath, os.stat(dirpath).st_mode | stat.S_IROTH | stat.S_IXOTH)
        os.chmod(os.path.join(c.profiles), 0o777)
        as_other = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]
    cases = [("a FIFO", fifo, [], "not a regular file"),
             ("a log without read permission", secret, as_other, "Permission denied"),
             ("a ZIP archive cut short", cut, [], "ZIP archive")]
    if os.geteuid() == 0 and not reachable:
        print("skipped: %s (another user cannot reach the test's folder to be refused a file)" % cases[1][0])
        del cases[1]
    for name, path, prefix, reason in cases:
        k.case = name
        with open(os.path.join(c.profiles, "00000001.wlp"), "w", newline="") as f:
            f.write(report_e2e.PROFILE.format(log=path, home="http://www.example.com/"))
        if prefix:
            os.chmod(os.path.join(c.profiles, "00000001.wlp"), 0o666)
        env = dict(os.environ, TZ="UTC", KV_PROGRAM_DIR=c.engine)
        try:
            proc = subprocess.run(prefix + [os.path.join(c.program, "kvm-log"), "--profiles", c.profiles, "run",
                                            "00000001", "--kind", "count"],
                                  capture_output=True, text=True, env=env, timeout=20, errors="replace")
        except subprocess.TimeoutExpired:
            k.true("the client still waits after 20 seconds", False)
            continue
        k.eq("exit code", proc.returncode, 3)
        k.true("the reason (%s) is told: %r" % (reason, proc.stderr), reason in proc.stderr)
        k.true("no hint that it may be no log: %r" % proc.stderr, "is it a log file" not in proc.stderr)


def io_bytes():
    """Bytes this process and its reaped children have read and written
    (the kernel adds a child's counts to its parent's when it is waited for)."""
    with open("/proc/self/io") as f:
        fields = dict(line.split(":") for line in f if ":" in line)
    return int(fields["rchar"]) + int(fields["wchar"])


def case_zip_of_many_members(c, k):
    """A ZIP archive of a year's hourly logs: every member is read, and the
    work to reach the lines grows with the members, not their square. The
    work is measured as the bytes the client reads and writes, which do not
    depend on how busy the machine is."""
    import zipfile

    def archive(name, members):
        path = os.path.join(c.logs, name)
        with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
            for m in range(members):
                z.writestr("ex%05d.log" % m, combined(T0 + m * 3600, "10.0.%d.%d" % (m // 250, m % 250 + 1),
                                                      "GET /m%d HTTP/1.1" % m) + "\n")
        return path

    moved = {}
    for members in (500, 2000):
        path = archive("hourly%d.zip" % members, members)
        before = io_bytes()
        hits, counts, err = c.count(path)
        moved[members] = io_bytes() - before
        k.case = "ZIP of %d members" % members
        k.eq("hits", hits, members)
        k.eq("lines read", counts[0], members)
    k.case = "ZIP of many members"
    ratio = moved[2000] / max(moved[500], 1)
    k.true("four times the members moved %.1f times the bytes (%d against %d)" %
           (ratio, moved[2000], moved[500]), ratio < 8)


CASES = [case_w3c_field_changes, case_directive_text_in_a_record, case_escaped_quotes, case_out_of_order,
         case_days_out_of_order, case_window_by_own_time, case_common_lines_of_many_shapes, case_virtual_host_lines,
         case_line_counts, case_unterminated_last_line, case_logs_that_cannot_be_read, case_zip_of_many_members]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--program", required=True)
    ap.add_argument("--source", required=True)
    ap.add_argument("--keep")
    ap.add_argument("--only")
    args = ap.parse_args()
    work = os.path.abspath(args.keep) if args.keep else tempfile.mkdtemp(prefix="kv_real_lines_")
    if args.keep:
        shutil.rmtree(work, ignore_errors=True)
        os.makedirs(work)
    try:
        client = Client(os.path.abspath(args.program), os.path.abspath(args.source), work)
        k = Checker()
        for case in CASES:
            if args.only and args.only not in case.__name__:
                continue
            case(client, k)
        for f in k.failures:
            print("FAIL " + f)
        print("%d failures" % len(k.failures))
        return 1 if k.failures else 0
    finally:
        if not args.keep:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
