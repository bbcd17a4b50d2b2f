#!/usr/bin/env python3
"""The HTML report as a browser shows it.

Writes the sample profile's report (the demo's, in each format that is HTML)
and the report of a
generated month-long log with hostile texts in its lines, loads each in
headless Chromium through its DevTools protocol and fails on: a console
error, a picture that does not load, a table without data cells, a section
of the template missing from the page, or text of a log line that became
markup.

    browser_check.py --program BUILD/bin --source SOURCE_TREE [--keep DIR]
"""

import argparse
import base64
import calendar
import http.client
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import loggen  # noqa: E402

# Texts of log lines that must stay text: an element of this name in the page
# means a log text was written as markup.
HOSTILE = "kvinjected"

# Sections the sample log has nothing for (no host names, so no countries or
# domain types; no robots; no server errors).
SAMPLE_EMPTY = {"TopCountries-GRAPH", "TopCountries-TABLE", "TopSuffixes-TABLE", "TopSpiders-TABLE",
                "TopServerErrors-TABLE"}
# The generated log's addresses are numeric as well.
GENERATED_EMPTY = {"TopCountries-GRAPH", "TopCountries-TABLE", "TopSuffixes-TABLE"}


class DevTools:
    """A minimal WebSocket client for one DevTools page target."""

    def __init__(self, url):
        m = re.match(r"ws://([^:/]+):(\d+)(/.*)", url)
        self.sock = socket.create_connection((m.group(1), int(m.group(2))), timeout=20)
        key = base64.b64encode(os.urandom(16)).decode()
        self.sock.sendall(("GET %s HTTP/1.1\r\nHost: %s:%s\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                           "Sec-WebSocket-Key: %s\r\nSec-WebSocket-Version: 13\r\n\r\n"
                           % (m.group(3), m.group(1), m.group(2), key)).encode())
        reply = b""
        while b"\r\n\r\n" not in reply:
            chunk = self.sock.recv(4096)
            if not chunk:
                raise RuntimeError("DevTools closed the connection")
            reply += chunk
        if b" 101 " not in reply.split(b"\r\n")[0]:
            raise RuntimeError("DevTools refused the WebSocket: %r" % reply[:100])
        self.pending = reply.split(b"\r\n\r\n", 1)[1]
        self.next_id = 0
        self.events = []

    def _read(self, n):
        while len(self.pending) < n:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise RuntimeError("DevTools closed the connection")
            self.pending += chunk
        data, self.pending = self.pending[:n], self.pending[n:]
        return data

    def _frame(self):
        message = b""
        while True:
            b0, b1 = self._read(2)
            n = b1 & 0x7F
            if n == 126:
                n = int.from_bytes(self._read(2), "big")
            elif n == 127:
                n = int.from_bytes(self._read(8), "big")
            payload = self._read(n)
            if b0 & 0x0F in (0x9, 0xA):  # ping, pong
                continue
            message += payload
            if b0 & 0x80:
                return json.loads(message.decode("utf-8"))

    def send(self, method, **params):
        self.next_id += 1
        data = json.dumps({"id": self.next_id, "method": method, "params": params}).encode()
        mask = os.urandom(4)
        header = bytes([0x81])
        if len(data) < 126:
            header += bytes([0x80 | len(data)])
        elif len(data) < 65536:
            header += bytes([0x80 | 126]) + len(data).to_bytes(2, "big")
        else:
            header += bytes([0x80 | 127]) + len(data).to_bytes(8, "big")
        self.sock.sendall(header + mask + bytes(c ^ mask[i % 4] for i, c in enumerate(data)))
        while True:
            message = self._frame()
            if message.get("id") == self.next_id:
                if "error" in message:
                    raise RuntimeError("%s: %s" % (method, message["error"]))
                return message.get("result", {})
            self.events.append(message)

    def wait_for(self, method, seconds=20):
        deadline = time.time() + seconds
        while time.time() < deadline:
            for i, e in enumerate(self.events):
                if e.get("method") == method:
                    return self.events.pop(i)
            self.events.append(self._frame())
        raise RuntimeError("no %s within %d s" % (method, seconds))


class Browser:
    def __init__(self, profile_dir):
        exe = shutil.which("chromium") or shutil.which("chromium-headless-shell") or "/usr/bin/chromium"
        self.proc = subprocess.Popen(
            [exe, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run", "--disable-extensions",
             "--remote-debugging-address=127.0.0.1", "--remote-debugging-port=0",
             "--user-data-dir=" + profile_dir, "about:blank"],
            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        port = None
        deadline = time.time() + 30
        while port is None and time.time() < deadline:
            line = self.proc.stderr.readline().decode(errors="replace")
            if not line and self.proc.poll() is not None:
                raise RuntimeError("chromium ended before it listened")
            m = re.search(r"DevTools listening on ws://127\.0\.0\.1:(\d+)/", line)
            if m:
                port = int(m.group(1))
        if port is None:
            raise RuntimeError("chromium did not listen")
        self.port = port

    def page(self):
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=10)
        conn.request("PUT", "/json/new?about:blank")
        target = json.loads(conn.getresponse().read())
        return DevTools(target["webSocketDebuggerUrl"])

    def close(self):
        self.proc.kill()
        self.proc.wait()


CHECK_JS = r"""
(() => {
  const out = {images: [], emptyTables: 0, ids: [], injected: 0, scripts: 0, text: document.body ? document.body.innerText : ""};
  for (const img of document.images)
    out.images.push({src: img.getAttribute("src"), ok: img.complete && img.naturalWidth > 0});
  for (const t of document.querySelectorAll("table"))
    if (t.querySelectorAll("td").length === 0 || ![...t.querySelectorAll("td")].some(td => td.textContent.trim() !== "")) out.emptyTables++;
  for (const e of document.querySelectorAll("[id]")) out.ids.push(e.id);
  out.injected = document.getElementsByTagName("HOSTILE").length;
  out.scripts = document.scripts.length;
  out.pageWidth = document.documentElement.scrollWidth;
  out.windowWidth = window.innerWidth;
  return JSON.stringify(out);
})()
""".replace("HOSTILE", HOSTILE)


def template_sections(path):
    with open(path, encoding="utf-8", errors="replace") as f:
        text = f.read()
    return sorted(set("%s-%s" % m for m in re.findall(r"%%(\w+)BeginSection\[(\w+)", text)))


def check_page(browser, page_path, sections, empty, hostile_texts, pictures=True):
    faults = []
    tab = browser.page()
    tab.send("Page.enable")
    tab.send("Runtime.enable")
    tab.send("Log.enable")
    tab.send("Page.navigate", url="file://" + page_path)
    tab.wait_for("Page.loadEventFired")
    result = tab.send("Runtime.evaluate", expression=CHECK_JS, returnByValue=True)
    found = json.loads(result["result"]["value"])
    for e in tab.events:
        method = e.get("method")
        p = e.get("params", {})
        if not pictures and method == "Log.entryAdded" and p.get("entry", {}).get("source") == "network":
            continue
        if method == "Runtime.consoleAPICalled" and p.get("type") in ("error", "assert"):
            faults.append("console error: %s" % p.get("args"))
        elif method == "Runtime.exceptionThrown":
            faults.append("script exception: %s" % p.get("exceptionDetails", {}).get("text"))
        elif method == "Log.entryAdded" and p.get("entry", {}).get("level") == "error":
            faults.append("console error: %s" % p["entry"].get("text"))
    for img in found["images"]:
        if pictures and not img["ok"]:
            faults.append("picture does not load: %s" % img["src"])
    if found["emptyTables"]:
        faults.append("%d table(s) without data" % found["emptyTables"])
    for s in sections:
        if s in empty:
            continue
        if s not in found["ids"]:
            faults.append("section missing from the page: %s" % s)
    # Long values (a 5,000-character agent) break inside their cells: the
    # page fits the window.
    if found["pageWidth"] > found["windowWidth"] + 1:
        faults.append("the page is %d px wide in a window of %d" % (found["pageWidth"], found["windowWidth"]))
    if found["injected"] or found["scripts"]:
        faults.append("log text rendered as markup (%d elements, %d scripts)" % (found["injected"], found["scripts"]))
    for t in hostile_texts:
        if t not in found["text"]:
            faults.append("log text not shown as text: %s" % t)
    tab.sock.close()
    return faults


def run_report(program, profiles, profile, report_dir, fmt="html"):
    r = subprocess.run([os.path.join(program, "kvm-log"), "--profiles", profiles, "report", profile,
                        "--report-dir", report_dir, "--format", fmt],
                       capture_output=True, text=True, env=dict(os.environ, TZ="UTC"))
    if r.returncode != 0:
        raise RuntimeError("kvm-log report %s failed (%d): %s" % (profile, r.returncode, r.stderr))
    return r.stdout.strip()


def generated_log(path):
    start = calendar.timegm((2026, 10, 1, 0, 0, 0))
    records = loggen.generate(11, start, 30, 1500)
    lines = [loggen.line_of(r) for r in records]
    # Texts of a log that a page must show as text.
    t = start + 15 * 86400
    hostile = [
        '198.51.100.7 - - [%s] "GET /<%s>a</%s>.html HTTP/1.1" 200 512 "http://evil.example/<%s>r</%s>" '
        '"Mozilla/5.0 (<%s>agent</%s>)"' % (loggen.stamp(t), HOSTILE, HOSTILE, HOSTILE, HOSTILE, HOSTILE, HOSTILE),
        '198.51.100.7 - <%s>u</%s> [%s] "GET /page&amp;<b>.html HTTP/1.1" 200 512 "-" "Mozilla/5.0 (X11)"'
        % (HOSTILE, HOSTILE, loggen.stamp(t + 60)),
        # A long request, shown among the least requested pages.
        '198.51.100.8 - - [%s] "GET /%s.html HTTP/1.1" 200 512 "-" "Mozilla/5.0 (X11)"' % (loggen.stamp(t + 120),
                                                                                          "A" * 900),
    ]
    lines[len(lines) // 2:len(lines) // 2] = hostile
    with open(path, "w") as f:
        f.write("\n".join(lines) + "\n")
    return ["<%s>a</%s>" % (HOSTILE, HOSTILE)]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--program", required=True)
    ap.add_argument("--source", required=True)
    ap.add_argument("--keep")
    args = ap.parse_args()
    program = os.path.abspath(args.program)
    work = args.keep or tempfile.mkdtemp(prefix="kvbrowser")
    os.makedirs(work, exist_ok=True)
    faults = []
    browser = None
    try:
        templates = os.path.join(program, "kvm_log", "Template")
        sections = template_sections(os.path.join(templates, "template.var"))

        # The demo: the sample profile of the program folder, in its four
        # formats. The text, doc and xls reports are written from the same
        # template; each that holds HTML is shown as a page beside itself
        # (the charts of doc and xls reports are drawings for their
        # programs, which a browser does not show).
        demo_pages = []
        for fmt in ("html", "text", "doc", "xls"):
            out = run_report(program, os.path.join(program, "kvm_log", "profiles"), "00000001",
                             os.path.join(work, "demo-" + fmt), fmt)
            with open(out, "rb") as f:
                is_html = f.read(64).lstrip().upper().startswith(b"<HTML")
            if not is_html:
                continue
            if not out.endswith(".htm"):
                shutil.copyfile(out, out + ".htm")
                out += ".htm"
            demo_pages.append(("demo " + fmt, out, fmt in ("html", "text")))
        # A month of a generated log in a folder of the user's own.
        os.makedirs(os.path.join(work, "site", "profiles"), exist_ok=True)
        hostile = generated_log(os.path.join(work, "site", "month.log"))
        with open(os.path.join(program, "kvm_log", "profiles", "00000001.wlp"), encoding="latin-1") as f:
            profile = f.read()
        profile = re.sub(r"(?m)^Description=.*$", "Description=A generated month", profile)
        profile = re.sub(r"(?m)^LogFilePath=.*$", lambda m: "LogFilePath=../month.log", profile)
        with open(os.path.join(work, "site", "profiles", "00000009.wlp"), "w", encoding="latin-1") as f:
            f.write(profile)
        month = run_report(program, os.path.join(work, "site", "profiles"), "00000009",
                           os.path.join(work, "month"))
        # The other formats of the month are HTML documents too: a browser
        # that takes one for a page (a text report served without its type
        # is sniffed as HTML) must find the log's text as text there.
        month_pages = []
        for fmt in ("text", "doc", "xls"):
            out = run_report(program, os.path.join(work, "site", "profiles"), "00000009",
                             os.path.join(work, "month-" + fmt), fmt)
            shutil.copyfile(out, out + ".htm")
            month_pages.append(("month " + fmt, out + ".htm", fmt == "text"))

        browser = Browser(os.path.join(work, "chromium"))
        pages = [(name, page, SAMPLE_EMPTY, [], pictures) for name, page, pictures in demo_pages]
        pages.append(("month", month, GENERATED_EMPTY, hostile, True))
        pages += [(name, page, GENERATED_EMPTY, hostile, pictures) for name, page, pictures in month_pages]
        if not any(p[0] == "demo html" for p in pages):
            faults.append("demo html: the report is not HTML")
        for name, page, empty, texts, pictures in pages:
            for fault in check_page(browser, page, sections, empty, texts, pictures):
                faults.append("%s: %s" % (name, fault))
    finally:
        if browser is not None:
            browser.close()
        if not args.keep:
            shutil.rmtree(work, ignore_errors=True)
    for f in faults:
        print(f)
    print("browser check: %d fault(s)" % len(faults))
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
