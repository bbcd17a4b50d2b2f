#!/usr/bin/env python3
"""Checks of the remote report server from outside, with KELVARON started the
way a user starts it (its program folder, KELVARON.INI with WebEnable=TRUE).

    report_server_check.py --bin BUILD/bin --source SRC [--sanitized] CASE

CASE
  flood    hundreds of trickling clients while the program's descriptor and
           address-space limits are low (prlimit on the running program):
           the program lives, refuses or drops what it must, and answers
           normal requests again once the flood is gone.
  browser  a visit with headless Chromium behind HAProxy (when installed),
           carrying 2.7 KB of cookies: the logon page, logging on, the
           report list and one report with all its charts, logging off and
           going Back, with no console error and no stray text on the pages.
  slowloris  clients from a hundred addresses that trickle their requests
           and connect again whenever they are dropped: requests sent whole
           from elsewhere are all answered meanwhile.
  http     curl and plain sockets: log-on by POST, HEAD, header names in any
           case, a missing or smuggled Host, lengths, log-off, report names
           with URL characters, Remote.log's rights and contents, and the
           throttle on failed log-ons.
  proxy    requests through HAProxy, which writes header names in lower
           case: log-on, report list and report.

Only the standard library is used; all traffic stays on loopback.
"""

import argparse
import json
import os
import re
import resource
import select
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time
import urllib.parse
import urllib.request

ACCOUNTS = "alice:s&cret:staff\nbob:pw:staff\n"


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def status_image(name, created, report_type):
    """The status.rep of a remote report: name, creation time at byte 407
    (64-bit little-endian seconds), the type as text at byte 415."""
    image = bytearray(1971)
    raw = name.encode()[:400]
    image[: len(raw)] = raw
    image[407:415] = struct.pack("<q", created)
    text = str(report_type).encode()
    image[415 : 415 + len(text)] = text
    return bytes(image)


class Program:
    """KELVARON in a program folder of its own, its report server enabled."""

    def __init__(self, bin_dir, source_dir):
        self.root = tempfile.mkdtemp(prefix="kvreport_")
        self.prog = os.path.join(self.root, "prog") + "/"
        os.makedirs(self.prog)
        for name in ("KELVARON", "WSOCK32.so", "FTP4W32.so", "PRODUCT.RSL", "BASE.RSL"):
            os.symlink(os.path.join(bin_dir, name), self.prog + name)
        shutil.copytree(os.path.join(source_dir, "data", "wwwroot"), self.prog + "wwwroot")
        self.port = free_port()
        with open(self.prog + "KELVARON.INI", "w") as f:
            f.write("[Language]\nProgram=ENGLISH\n[Defaults]\nWebEnable=TRUE\n"
                    "WebAddress=127.0.0.1:%d\nWebLogging=1\nWebNoDays=7\n" % self.port)
        with open(os.path.join(self.root, "accounts"), "w") as f:
            f.write(ACCOUNTS)
        self.env = dict(os.environ)
        self.env.update({
            "KV_PROGRAM_DIR": self.prog,
            "KV_LOCK_DIR": os.path.join(self.root, "locks"),
            "KV_REGISTRY": os.path.join(self.root, "registry.ini"),
            "KV_MSGBOX_LOG": os.path.join(self.root, "boxes.log"),
            "KV_DEBUG_LOG": os.path.join(self.root, "debug.log"),
            "KV_LOGON_USERS": os.path.join(self.root, "accounts"),
        })
        self.process = None

    def users_root(self):
        return os.path.join(self.prog, "Reports", "Remote Reports", "users")

    def start(self):
        self.process = subprocess.Popen([self.prog + "KELVARON"], env=self.env, cwd=self.root,
                                        stdout=subprocess.DEVNULL,
                                        stderr=open(os.path.join(self.root, "stderr.log"), "w"))
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise SystemExit("KELVARON ended at start with %s\n%s" % (self.process.returncode, self.log()))
            if get(self.port, "/", timeout=5).startswith(b"HTTP/1.0 200"):
                return
            time.sleep(0.1)
        raise SystemExit("the report server did not answer within 60 s\n" + self.log())

    def alive(self):
        return self.process is not None and self.process.poll() is None

    def figure(self, name):
        with open("/proc/%d/status" % self.process.pid) as f:
            for line in f:
                if line.startswith(name + ":"):
                    return int(line.split()[1])
        return -1

    def log(self):
        out = []
        for name in ("stderr.log", "debug.log", "boxes.log"):
            path = os.path.join(self.root, name)
            if os.path.exists(path):
                with open(path, errors="replace") as f:
                    out.append("--- %s\n%s" % (name, f.read()[-4000:]))
        return "\n".join(out)

    def stop(self):
        if self.alive():
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(20)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        shutil.rmtree(self.root, ignore_errors=True)


def exchange(port, request, source="127.0.0.1", timeout=10):
    """Sends a raw request; returns (status line, {lower-case name: value},
    body, reset) once the server has closed."""
    out, reset = b"", False
    with socket.create_connection(("127.0.0.1", port), timeout=timeout, source_address=(source, 0)) as s:
        s.sendall(request if isinstance(request, bytes) else request.encode())
        try:
            while True:
                chunk = s.recv(65536)
                if not chunk:
                    break
                out += chunk
        except ConnectionResetError:
            reset = True
    head, _, body = out.partition(b"\r\n\r\n")
    lines = head.decode("latin-1").split("\r\n")
    fields = {}
    for line in lines[1:]:
        name, _, value = line.partition(":")
        fields[name.strip().lower()] = value.strip()
    return lines[0], fields, body, reset


def post_logon(port, user, password, source="127.0.0.1", host=None):
    body = "Username=%s&Password=%s" % (urllib.parse.quote_plus(user), urllib.parse.quote_plus(password))
    return exchange(port, "POST /logon.htm HTTP/1.1\r\nHost: %s\r\nContent-Type: application/x-www-form-urlencoded"
                          "\r\nContent-Length: %d\r\nConnection: close\r\n\r\n%s"
                    % (host or "127.0.0.1:%d" % port, len(body), body), source=source)


def user_of(page):
    m = re.search(rb"User=(\d+)", page)
    return m.group(1).decode() if m else None


def get(port, url, source="127.0.0.1", timeout=10):
    """The whole answer to a GET, b"" when there was none."""
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=timeout, source_address=(source, 0)) as s:
            s.sendall(("GET %s HTTP/1.0\r\nHost: 127.0.0.1:%d\r\n\r\n" % (url, port)).encode())
            out = b""
            while True:
                chunk = s.recv(65536)
                if not chunk:
                    return out
                out += chunk
    except OSError:
        return b""


# ---- flood ----------------------------------------------------------------------

def case_flood(program, sanitized):
    pid = program.process.pid
    # The program's descriptor table and, where the build allows it, its
    # address space cut low while it runs: connections beyond them must be
    # refused or wait, never end the program or its server.
    resource.prlimit(pid, resource.RLIMIT_NOFILE, (128, 128))
    if not sanitized:
        size_kb = program.figure("VmSize")
        resource.prlimit(pid, resource.RLIMIT_AS, ((size_kb + 200 * 1024) * 1024, resource.RLIM_INFINITY))

    tricklers = []
    for i in range(300):
        source = "127.0.0.%d" % (10 + i % 10)
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.bind((source, 0))
        s.setblocking(False)
        try:
            s.connect(("127.0.0.1", program.port))
        except BlockingIOError:
            pass
        except OSError:
            s.close()
            continue
        tricklers.append(s)
    sent = set()
    outcomes = {}
    flood_end = time.monotonic() + 5
    next_normal = 0.0
    while time.monotonic() < flood_end:
        for s in tricklers:
            try:
                if s.fileno() not in sent:
                    s.send(b"GET /default.htm HTTP/1.0\r\nX: ")
                    sent.add(s.fileno())
                else:
                    s.send(b"a")
            except (BlockingIOError, OSError):
                pass
        if time.monotonic() >= next_normal:
            answer = get(program.port, "/default.htm", source="127.0.0.2", timeout=5)
            kind = answer.split(b"\r\n", 1)[0].decode(errors="replace") or "no answer"
            outcomes[kind] = outcomes.get(kind, 0) + 1
            next_normal = time.monotonic() + 0.5
        if not program.alive():
            break
        time.sleep(0.2)
    refused = 0
    for s in tricklers:
        try:
            if s.recv(64, socket.MSG_PEEK).startswith(b"HTTP/1.0 503"):
                refused += 1
        except OSError:
            pass
        s.close()
    print("during the flood: normal requests %s; %d of %d trickling clients refused" % (outcomes, refused, len(tricklers)))
    if not program.alive():
        raise SystemExit("KELVARON ended during the flood (%s)\n%s" % (program.process.returncode, program.log()))
    # Every request sent whole gets an answer, and once the tricklers have
    # waited a second most are served: the trickler that has waited longest
    # gives its place (and its thread) up.
    unexpected = [k for k in outcomes if k not in ("HTTP/1.0 200 OK", "HTTP/1.0 503 Service Unavailable")]
    served = outcomes.get("HTTP/1.0 200 OK", 0)
    if unexpected or served * 2 < sum(outcomes.values()):
        raise SystemExit("normal requests not answered during the flood: %s\n%s" % (outcomes, program.log()))

    # Once the flood is gone the server answers again.
    deadline = time.monotonic() + 40
    while time.monotonic() < deadline:
        answer = get(program.port, "/default.htm", source="127.0.0.3", timeout=5)
        if answer.startswith(b"HTTP/1.0 200 OK"):
            break
        time.sleep(0.5)
    else:
        raise SystemExit("the server no longer answers after the flood\n" + program.log())
    if not program.alive():
        raise SystemExit("KELVARON ended after the flood\n" + program.log())
    print("after the flood: answered; program alive")


# ---- slowloris ------------------------------------------------------------------

def case_slowloris(program):
    port = program.port
    sources = ["127.0.1.%d" % i for i in range(1, 101)]
    per_source = 4

    def open_trickler(source):
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.bind((source, 0))
        s.setblocking(False)
        try:
            s.connect(("127.0.0.1", port))
        except BlockingIOError:
            pass
        except OSError:
            s.close()
            return None
        return [s, source, False]

    tricklers = [t for t in (open_trickler(src) for src in sources for _ in range(per_source)) if t]
    answered, asked, slow = 0, 0, []
    end = time.monotonic() + 8
    next_drip = 0.0
    while time.monotonic() < end:
        if time.monotonic() >= next_drip:
            next_drip = time.monotonic() + 0.5
            for t in tricklers:
                s, source, started = t
                try:
                    s.send(b"a" if started else b"GET /default.htm HTTP/1.0\r\nX: ")
                    t[2] = True
                except BlockingIOError:
                    pass
                except OSError:
                    # Dropped or refused: it connects again at once.
                    s.close()
                    fresh = open_trickler(source)
                    if fresh:
                        t[:] = fresh
        started = time.monotonic()
        answer = get(port, "/default.htm", source="127.0.0.2", timeout=5)
        asked += 1
        took = time.monotonic() - started
        if answer.startswith(b"HTTP/1.0 200 OK"):
            answered += 1
        else:
            slow.append("%s after %.1f s" % (answer.split(b"\r\n", 1)[0] or b"no answer", took))
        time.sleep(0.1)
    for t in tricklers:
        t[0].close()
    print("slowloris from %d addresses: %d of %d normal requests answered" % (len(sources), answered, asked))
    if not program.alive():
        raise SystemExit("KELVARON ended during the slowloris\n" + program.log())
    if answered < asked * 0.95:
        raise SystemExit("normal requests lost during the slowloris: %s" % slow[:10])


# ---- http -----------------------------------------------------------------------

GIF = bytes.fromhex("47494638396101000100800000000000ffffff21f90401000000002c00000000010001000002024401003b")


def make_report(program, user, name, files):
    folder = os.path.join(program.users_root(), user, name)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "status.rep"), "wb") as f:
        f.write(status_image(name, int(time.time()), 4 if "rep.txt" in files else 0))
    for file_name, data in files.items():
        with open(os.path.join(folder, file_name), "wb") as f:
            f.write(data if isinstance(data, bytes) else data.encode())


def case_http(program):
    port = program.port
    failures = []

    def expect(ok, what):
        if not ok:
            failures.append(what)

    odd = 'Q#1 50%: "what?" <b>'
    make_report(program, "alice", odd, {"rep.htm": "<HTML><BODY>odd report</BODY></HTML>"})
    make_report(program, "alice", "Plain", {"rep.txt": "<script>alert(1)</script> hits 12\n"})

    # The shipped log-on form posts its fields; curl sends it as a browser does.
    page = get(port, "/default.htm")
    expect(b'METHOD="POST"' in page, "the log-on form does not post:\n%r" % page)
    curl = shutil.which("curl")
    if curl:
        out = subprocess.run([curl, "-s", "-S", "--max-time", "10", "-d", "Username=alice",
                              "--data-urlencode", "Password=s&cret", "http://127.0.0.1:%d/logon.htm" % port],
                             capture_output=True, timeout=20)
        expect(b"Welcome, alice" in out.stdout, "curl's log-on by POST failed: %r %r" % (out.stdout, out.stderr))
        head = subprocess.run([curl, "-s", "-S", "--max-time", "10", "-I", "http://127.0.0.1:%d/default.htm" % port],
                              capture_output=True, timeout=20).stdout
        expect(head.startswith(b"HTTP/1.0 200 OK") and re.search(rb"(?i)content-length: %d\r\n" % len(
            page.split(b"\r\n\r\n", 1)[1]), head), "HEAD: %r" % head)
    status, fields, body, reset = post_logon(port, "ALICE", "s&cret")
    alice = user_of(body)
    expect(alice is not None and b"Welcome, alice" in body, "log-on by POST: %s %r" % (status, body))
    expect(fields.get("content-length") == str(len(body)) and not reset, "log-on answer: %r %s" % (fields, reset))
    expect("charset=utf-8" in fields.get("content-type", ""), "pages name no charset: %r" % fields)
    expect(fields.get("referrer-policy") == "no-referrer", "pages let the next site see their address: %r" % fields)
    if alice is None:
        raise SystemExit("\n".join(failures))

    # Header names in any case, at line starts only; no Host: the address
    # the connection came in on.
    own = "127.0.0.1:%d" % port
    view = "/view.htm?User=%s&Item=%s" % (alice, urllib.parse.quote_plus(odd))
    for head, host in (("host: proxy.example:8080\r\n", "proxy.example:8080"),
                       ("HOST: proxy.example\r\n", "proxy.example"),
                       ("User-Agent: x Host: evil.example\r\n", own),
                       ("", own)):
        status, fields, body, _ = exchange(port, "GET %s HTTP/1.0\r\n%s\r\n" % (view, head))
        location = fields.get("location", "")
        expect(status == "HTTP/1.0 301 Redirect" and location.startswith("http://%s/%s/alice/" % (host, alice)),
               "redirect for %r: %s %s" % (head, status, location))
    # The escaped name leads to the report.
    path = urllib.parse.urlsplit(location).path
    status, fields, body, _ = exchange(port, "GET %s HTTP/1.0\r\n\r\n" % path)
    expect(status == "HTTP/1.0 200 OK" and b"odd report" in body, "the odd report at %s: %s" % (path, status))
    listing = exchange(port, "GET /reports.htm?User=%s HTTP/1.0\r\n\r\n" % alice)[2]
    expect(("Item=" + urllib.parse.quote_plus(odd)).encode() in listing, "the list's link: %r" % listing)
    # A text report is plain text, whatever it holds.
    status, fields, body, _ = exchange(port, "GET /%s/alice/Plain/rep.txt HTTP/1.0\r\n\r\n" % alice)
    expect(fields.get("content-type") == "text/plain" and fields.get("x-content-type-options") == "nosniff",
           "text report: %r" % fields)
    # 404 shows no uptime.
    status, fields, body, _ = exchange(port, "GET /nothing.htm HTTP/1.0\r\n\r\n")
    expect(status.startswith("HTTP/1.0 404") and b"#" not in body, "404: %s %r" % (status, body))

    # Log-off ends the session at once.
    bob = user_of(post_logon(port, "bob", "pw")[2])
    exchange(port, "GET /logoff.htm?User=%s HTTP/1.0\r\n\r\n" % bob)
    body = exchange(port, "GET /reports.htm?User=%s HTTP/1.0\r\n\r\n" % bob)[2]
    expect(b"session has ended" in body, "a logged-off session still works: %r" % body)

    # Failed log-ons slow down, per address and per account; the owner can
    # log on again from elsewhere within seconds.
    for _ in range(10):
        post_logon(port, "alice", "guess", source="127.0.0.20")
    body = post_logon(port, "alice", "s&cret", source="127.0.0.20")[2]
    expect(b"Too many failed" in body, "the right password is taken at once after ten wrong ones: %r" % body)
    started = time.monotonic()
    while time.monotonic() - started < 12:
        body = post_logon(port, "alice", "s&cret", source="127.0.0.21")[2]
        if b"Welcome" in body:
            break
        time.sleep(0.5)
    waited = time.monotonic() - started
    expect(b"Welcome" in body and waited < 10, "the owner waited %.1f s: %r" % (waited, body))
    print("owner logged on again after %.1f s" % waited)

    # The access log: the program's user alone reads it; no password (one
    # with a raw quote), no session number.
    exchange(port, 'GET /logon.htm?Username=bob&Password=a"tail HTTP/1.0\r\n\r\n')
    time.sleep(0.3)
    log_path = program.prog + "Remote.log"
    mode = os.stat(log_path).st_mode & 0o777
    expect(mode == 0o600, "Remote.log is %o" % mode)
    with open(log_path, "rb") as f:
        log = f.read()
    for secret in (b"s&cret", b"s%26cret", b"tail", alice.encode(), bob.encode()):
        expect(secret not in log, "Remote.log holds %r" % secret)
    if failures:
        raise SystemExit("\n".join(failures))
    print("http: log-on by POST, HEAD, header case, Host, log-off, names, types, log and throttle as they should be")


# ---- proxy ----------------------------------------------------------------------

class Proxy:
    """HAProxy on loopback in front of the program, in HTTP mode."""

    def __init__(self, backend_port):
        self.root = tempfile.mkdtemp(prefix="kvhaproxy_")
        self.port = free_port()
        config = os.path.join(self.root, "haproxy.cfg")
        with open(config, "w") as f:
            f.write("global\n  maxconn 256\n"
                    "defaults\n  mode http\n  timeout connect 5s\n  timeout client 30s\n  timeout server 30s\n"
                    "frontend web\n  bind 127.0.0.1:%d\n  default_backend program\n"
                    "backend program\n  server kelvaron 127.0.0.1:%d\n" % (self.port, backend_port))
        self.process = subprocess.Popen([shutil.which("haproxy"), "-db", "-f", config],
                                        stdout=subprocess.DEVNULL, stderr=open(os.path.join(self.root, "log"), "w"))
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                return
            except OSError:
                time.sleep(0.05)
        self.stop()
        raise SystemExit("HAProxy did not start")

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        shutil.rmtree(self.root, ignore_errors=True)


def case_proxy(program):
    make_report(program, "alice", "Weekly Summary", {"rep.htm": "<HTML><BODY>weekly hits 1234</BODY></HTML>"})
    proxy = Proxy(program.port)
    failures = []
    try:
        base = "http://127.0.0.1:%d" % proxy.port
        cookie = "; ".join("pref%d=%s" % (i, "c" * 40) for i in range(60))
        opener = urllib.request.build_opener()
        opener.addheaders = [("Cookie", cookie)]
        data = urllib.parse.urlencode({"Username": "alice", "Password": "s&cret"}).encode()
        page = opener.open(base + "/logon.htm", data=data, timeout=10).read()
        alice = user_of(page)
        if alice is None:
            raise SystemExit("log-on through HAProxy failed:\n%r" % page)
        page = opener.open(base + "/reports.htm?User=" + alice, timeout=10).read()
        if b"Weekly Summary" not in page:
            failures.append("the report list through HAProxy: %r" % page)
        answer = opener.open(base + "/view.htm?User=%s&Item=Weekly+Summary" % alice, timeout=10)
        if b"weekly hits 1234" not in answer.read() or not answer.geturl().startswith(base + "/" + alice + "/alice/"):
            failures.append("the report through HAProxy: %s" % answer.geturl())
    finally:
        proxy.stop()
    if failures:
        raise SystemExit("\n".join(failures))
    print("proxy: log-on, list and report through HAProxy with 2.7 KB of cookies")


# ---- browser --------------------------------------------------------------------

def chromium_binary():
    for name in ("chromium", "chromium-browser", "google-chrome"):
        path = shutil.which(name)
        if path:
            return path
    return None


class Browser:
    """Headless Chromium driven through its DevTools pipe (descriptors 3 and
    4, JSON messages ended by a zero byte): one browser, one page, every
    console message and uncaught exception of the page collected."""

    def __init__(self, binary):
        self.profile = tempfile.mkdtemp(prefix="kvchrome_")
        to_browser_r, self.to_browser = os.pipe()
        self.from_browser, from_browser_w = os.pipe()
        # The browser reads its commands on descriptor 3 and answers on 4.
        def descriptors():
            os.dup2(to_browser_r, 3)
            os.dup2(from_browser_w, 4)
        self.process = subprocess.Popen(
            [binary, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run", "--no-default-browser-check",
             "--disable-extensions", "--disable-background-networking", "--disable-sync", "--remote-debugging-pipe",
             "--user-data-dir=" + self.profile, "about:blank"],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            preexec_fn=descriptors, pass_fds=(3, 4))
        os.close(to_browser_r)
        os.close(from_browser_w)
        self.buffer = b""
        self.next_id = 0
        self.events = []
        self.console = []
        target = self.call("Target.createTarget", {"url": "about:blank"})["targetId"]
        self.session = self.call("Target.attachToTarget", {"targetId": target, "flatten": True})["sessionId"]
        for domain in ("Page", "Runtime", "Log"):
            self.call(domain + ".enable", session=True)

    def send(self, message):
        data = (json.dumps(message) + "\0").encode()
        while data:
            data = data[os.write(self.to_browser, data):]

    def receive(self, deadline):
        while b"\0" not in self.buffer:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.from_browser], [], [], left)[0]:
                raise SystemExit("the browser did not answer in time")
            chunk = os.read(self.from_browser, 1 << 16)
            if not chunk:
                raise SystemExit("the browser ended")
            self.buffer += chunk
        message, self.buffer = self.buffer.split(b"\0", 1)
        message = json.loads(message)
        method = message.get("method", "")
        params = message.get("params", {})
        if method == "Runtime.consoleAPICalled":
            self.console.append("console.%s: %s" % (params.get("type"), " ".join(
                str(a.get("value", a.get("description", ""))) for a in params.get("args", []))))
        elif method == "Runtime.exceptionThrown":
            self.console.append("exception: %s" % params.get("exceptionDetails", {}).get("text"))
        elif method == "Log.entryAdded":
            entry = params.get("entry", {})
            self.console.append("%s %s: %s (%s)" % (entry.get("source"), entry.get("level"), entry.get("text"),
                                                     entry.get("url", "")))
        return message

    def call(self, method, params=None, session=False, timeout=20):
        self.next_id += 1
        message = {"id": self.next_id, "method": method, "params": params or {}}
        if session:
            message["sessionId"] = self.session
        self.send(message)
        deadline = time.monotonic() + timeout
        while True:
            answer = self.receive(deadline)
            if answer.get("id") == self.next_id:
                if "error" in answer:
                    raise SystemExit("%s failed: %s" % (method, answer["error"]))
                return answer.get("result", {})
            if "method" in answer:
                self.events.append(answer)

    def wait_for_load(self, timeout=20):
        deadline = time.monotonic() + timeout
        while True:
            for i, event in enumerate(self.events):
                if event.get("method") == "Page.loadEventFired":
                    del self.events[: i + 1]
                    return
            self.events.clear()
            message = self.receive(deadline)
            if "method" in message:
                self.events.append(message)

    def evaluate(self, expression):
        result = self.call("Runtime.evaluate", {"expression": expression, "returnByValue": True}, session=True)
        if "exceptionDetails" in result:
            raise SystemExit("script failed: %s\n%s" % (expression, result["exceptionDetails"]))
        return result.get("result", {}).get("value")

    def navigate(self, url):
        self.events.clear()
        self.call("Page.navigate", {"url": url}, session=True)
        self.wait_for_load()

    def back(self, timeout=10):
        """Goes Back; the page may come from the browser's back-forward
        cache, which fires no load event."""
        entries = self.call("Page.getNavigationHistory", session=True)
        target = entries["entries"][entries["currentIndex"] - 1]["url"]
        self.evaluate("history.back()")
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.evaluate("location.href + ' ' + document.readyState") == target + " complete":
                return
            time.sleep(0.05)
        raise SystemExit("Back did not reach %s" % target)

    def act(self, expression):
        """Runs a user's action that loads a new page and waits for it."""
        self.events.clear()
        self.evaluate(expression)
        self.wait_for_load()

    def close(self):
        try:
            self.send({"id": 0, "method": "Browser.close"})
            self.process.wait(10)
        except Exception:
            self.process.kill()
            self.process.wait()
        os.close(self.to_browser)
        os.close(self.from_browser)
        shutil.rmtree(self.profile, ignore_errors=True)


def case_browser(program):
    binary = chromium_binary()
    if binary is None:
        print("SKIP: no chromium binary found")
        return
    # A report the user made earlier, with its twelve charts.
    charts = "".join('<IMG class="chart" SRC="chart%d.gif" WIDTH="20" HEIGHT="20">' % i for i in range(12))
    files = {"rep.htm": "<HTML><HEAD><TITLE>Weekly Summary</TITLE></HEAD><BODY><H1>Weekly Summary</H1>"
                        "<P id=\"hits\">Hits: 1234</P>%s</BODY></HTML>" % charts}
    files.update({"chart%d.gif" % i: GIF for i in range(12)})
    make_report(program, "alice", "Weekly Summary", files)
    proxy = Proxy(program.port) if shutil.which("haproxy") else None
    base = "http://127.0.0.1:%d" % (proxy.port if proxy else program.port)
    browser = Browser(binary)
    failures = []
    try:
        def check(step, must):
            if os.environ.get("KV_CHECK_TRACE"): print("step", step, flush=True)
            text = browser.evaluate("document.body ? document.body.innerText : ''")
            html = browser.evaluate("document.documentElement.outerHTML")
            for wanted in must:
                if wanted not in text:
                    failures.append("%s: the page lacks %r:\n%s" % (step, wanted, html[:2000]))
            if "\\r\\n" in text or "\\n" in text:
                failures.append("%s: the page shows escape text:\n%s" % (step, text[:2000]))
            return html

        # The cookies a browser holds for the host: 2.7 KB in every request.
        browser.call("Network.setCookies", {"cookies": [
            {"name": "pref%d" % i, "value": "c" * 40, "url": base} for i in range(60)]}, session=True)
        browser.navigate(base + "/")
        check("logon page", ["User name", "Password"])
        cookie_size = browser.evaluate("document.cookie.length")
        if cookie_size < 2700:
            failures.append("only %d bytes of cookies" % cookie_size)
        # Logging on as a user does: the fields filled in, the form sent.
        browser.act("document.querySelector('input[name=Username]').value = 'alice';"
                    "document.querySelector('input[name=Password]').value = 's&cret';"
                    "document.querySelector('input[type=submit]').click();")
        check("logged on", ["Welcome, alice"])
        url = browser.evaluate("location.href")
        if "Password" in url or "cret" in url:
            failures.append("the password is in the address: %s" % url)
        browser.act("document.querySelector('a[href*=\"reports.htm\"]').click()")
        check("report list", ["Weekly Summary", "View", "Delete"])
        browser.act("document.querySelector('a[href*=\"view.htm\"]').click()")
        check("report", ["Hits: 1234"])
        url = browser.evaluate("location.href")
        if not re.search(r"/\d+/alice/Weekly%20Summary/rep\.htm$", url):
            failures.append("the report was shown from %s" % url)
        # Every chart of the report arrives whole.
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            shown = browser.evaluate("Array.from(document.images).filter(i => i.complete && i.naturalWidth > 0).length")
            if shown == 12:
                break
            time.sleep(0.1)
        if shown != 12:
            failures.append("%d of 12 charts shown" % shown)
        # Log off from the list; going Back does not bring the session back.
        browser.back()
        check("report list again", ["Weekly Summary"])
        browser.act("document.querySelector('a[href*=\"logoff.htm\"]').click()")
        check("logged off", ["logged off"])
        browser.back()
        # Whatever the browser shows from its history, the page asked anew
        # finds no session.
        browser.act("location.reload()")
        check("back after log-off", ["session has ended"])
        # A wrong password is told plainly.
        browser.navigate(base + "/")
        browser.act("document.querySelector('input[name=Username]').value = 'alice';"
                    "document.querySelector('input[name=Password]').value = 'wrong';"
                    "document.querySelector('input[type=submit]').click();")
        check("wrong password", ["Logon failed"])
        failures.extend("console: " + line for line in browser.console)
    finally:
        browser.close()
        if proxy:
            proxy.stop()
    if failures:
        raise SystemExit("\n".join(failures))
    print("browser visit%s: logon, report list, report with its 12 charts, log-off and Back, without console "
          "messages" % (" through HAProxy" if proxy else ""))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin", required=True)
    parser.add_argument("--source", required=True)
    parser.add_argument("--sanitized", action="store_true")
    parser.add_argument("case", choices=("flood", "browser", "http", "proxy", "slowloris"))
    args = parser.parse_args()
    if args.case == "browser" and chromium_binary() is None:
        print("SKIP: no chromium binary found")
        return
    if args.case == "proxy" and shutil.which("haproxy") is None:
        print("SKIP: no haproxy binary found")
        return
    program = Program(os.path.abspath(args.bin), os.path.abspath(args.source))
    try:
        program.start()
        if args.case == "flood":
            case_flood(program, args.sanitized)
        elif args.case == "http":
            case_http(program)
        elif args.case == "proxy":
            case_proxy(program)
        elif args.case == "slowloris":
            case_slowloris(program)
        else:
            case_browser(program)
        if not program.alive():
            raise SystemExit("KELVARON ended\n" + program.log())
    finally:
        program.stop()


if __name__ == "__main__":
    main()
