#!/usr/bin/env python3
"""The logs behind the bundled sample profiles, made from the sample log.

    samples.py make DIR    writes into DIR/samples (DIR holds profiles/ and
                           samples/, as the program folder's kvm_log/ does):
                           - logs<yyyy><mm>.zip, this month's ZIP archive with
                             one member per day of the sample log;
                           - access_log.<yyyy><mm><dd>.gz for yesterday;
                           - odbc/: a SQLite database holding the sample log
                             as the table "logfile", and the ODBC settings
                             (odbcinst.ini, odbc.ini) that name it as the data
                             source KelvaronWebLog;
                           - served/logs/access_log, the file the FTP and HTTP
                             samples fetch.
                           Prints the variables that make the data source
                           known to a process (ODBCSYSINI, ODBCINI).
    samples.py serve DIR [FTP_PORT HTTP_PORT]
                           serves DIR/samples/served on loopback until it is
                           ended: FTP on port 2121 (user weblogs, password
                           logs-2026) and HTTP on port 8080, the locations of
                           the FTP and HTTP samples, or on the ports given
                           (0 = any free port). Prints "ready FTP_PORT
                           HTTP_PORT" once both listen.
The names follow the samples' date macros: %yyyy%%mm% is this month,
%date-1% moves to yesterday.
"""
import datetime
import gzip
import os
import re
import shutil
import sqlite3
import sys
import threading
import zipfile

SAMPLE = "access_combined.log"
LINE = re.compile(r'^(\S+) \S+ (\S+) \[(\d{2})/(\w{3})/(\d{4}):(\d{2}):(\d{2}):(\d{2}) [^\]]*\] '
                  r'"(\S+) (\S+)[^"]*" (\d{3}) (\S+)')
MONTHS = {m: i + 1 for i, m in enumerate("Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec".split())}
DRIVERS = ["/usr/lib/x86_64-linux-gnu/odbc/libsqlite3odbc.so", "/usr/lib/aarch64-linux-gnu/odbc/libsqlite3odbc.so",
           "/usr/lib/odbc/libsqlite3odbc.so", "/usr/lib64/libsqlite3odbc.so"]
FTP_PORT, HTTP_PORT = 2121, 8080
FTP_USER, FTP_PASSWORD = "weblogs", "logs-2026"


def sample_lines(samples):
    with open(os.path.join(samples, SAMPLE), "rb") as f:
        return [line for line in f.read().split(b"\n") if line.strip()]


def make_zip(samples, lines, today):
    by_day = {}
    for line in lines:
        m = LINE.match(line.decode("latin-1"))
        day = f"{m.group(5)}{MONTHS[m.group(4)]:02d}{m.group(3)}" if m else "other"
        by_day.setdefault(day, []).append(line)
    path = os.path.join(samples, f"logs{today:%Y%m}.zip")
    with zipfile.ZipFile(path + ".part", "w", zipfile.ZIP_DEFLATED) as z:
        for day in sorted(by_day):
            z.writestr(f"access_{day}.log", b"\n".join(by_day[day]) + b"\n")
    os.replace(path + ".part", path)
    return path


def make_gzip(samples, lines, today):
    path = os.path.join(samples, f"access_log.{today - datetime.timedelta(days=1):%Y%m%d}.gz")
    with gzip.open(path + ".part", "wb") as f:
        f.write(b"\n".join(lines) + b"\n")
    os.replace(path + ".part", path)
    return path


def make_odbc(samples, lines):
    folder = os.path.join(samples, "odbc")
    os.makedirs(folder, exist_ok=True)
    driver = next((d for d in DRIVERS if os.access(d, os.R_OK)), None)
    if driver is None:
        raise SystemExit("samples.py: the SQLite ODBC driver (Debian package libsqliteodbc) is not installed")
    database = os.path.join(folder, "KelvaronWebLog.db")
    if os.path.exists(database):
        os.remove(database)
    db = sqlite3.connect(database)
    db.execute("CREATE TABLE logfile (ClientHost varchar(255), username varchar(255), LogTime datetime, "
               "service varchar(255), machine varchar(255), serverip varchar(50), processingtime int, "
               "bytesrecvd int, bytessent int, servicestatus int, win32status int, operation varchar(255), "
               "target varchar(255), parameters varchar(255))")
    rows = []
    for line in lines:
        m = LINE.match(line.decode("latin-1"))
        if m is None:
            continue
        host, user, dd, mon, yyyy, hh, mi, ss, method, url, status, size = m.groups()
        path, _, query = url.partition("?")
        rows.append((host, user, f"{yyyy}-{MONTHS[mon]:02d}-{dd} {hh}:{mi}:{ss}", "W3SVC", "WEB1", "127.0.0.1", 0,
                     0, int(size) if size.isdigit() else 0, int(status), 0, method, path, query or "-"))
    db.executemany("INSERT INTO logfile VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?)", rows)
    db.commit()
    db.close()
    with open(os.path.join(folder, "odbcinst.ini"), "w") as f:
        f.write(f"[SQLite3]\nDriver={driver}\n")
    with open(os.path.join(folder, "odbc.ini"), "w") as f:
        f.write(f"[KelvaronWebLog]\nDriver=SQLite3\nDatabase={database}\nSyncPragma=OFF\n")
    return folder


def make(top):
    samples = os.path.join(os.path.abspath(top), "samples")
    lines = sample_lines(samples)
    today = datetime.date.today()
    make_zip(samples, lines, today)
    make_gzip(samples, lines, today)
    folder = make_odbc(samples, lines)
    served = os.path.join(samples, "served", "logs")
    os.makedirs(served, exist_ok=True)
    shutil.copyfile(os.path.join(samples, SAMPLE), os.path.join(served, "access_log"))
    print(f"ODBCSYSINI={folder}")
    print(f"ODBCINI={os.path.join(folder, 'odbc.ini')}")


def serve(top, ftp_port=FTP_PORT, http_port=HTTP_PORT):
    import functools
    import http.server
    from pyftpdlib.authorizers import DummyAuthorizer
    from pyftpdlib.handlers import FTPHandler
    from pyftpdlib.servers import FTPServer
    import logging

    root = os.path.join(os.path.abspath(top), "samples", "served")
    logging.basicConfig(level=logging.WARNING)
    authorizer = DummyAuthorizer()
    authorizer.add_user(FTP_USER, FTP_PASSWORD, root, perm="elr")
    handler = type("SampleFTPHandler", (FTPHandler,), {"authorizer": authorizer})
    try:
        ftp = FTPServer(("127.0.0.1", ftp_port), handler)
        web = http.server.ThreadingHTTPServer(
            ("127.0.0.1", http_port),
            functools.partial(type("Quiet", (http.server.SimpleHTTPRequestHandler,),
                                   {"log_message": lambda *a: None}), directory=root))
    except OSError as e:
        raise SystemExit(f"samples.py: cannot serve the FTP and HTTP samples on ports {ftp_port} and "
                         f"{http_port}: {e}")
    threading.Thread(target=web.serve_forever, daemon=True).start()
    print(f"ready {ftp.socket.getsockname()[1]} {web.server_address[1]}", flush=True)
    ftp.serve_forever()


def main():
    args = sys.argv[1:]
    if len(args) == 2 and args[0] == "make":
        make(args[1])
    elif len(args) in (2, 4) and args[0] == "serve" and all(a.isdigit() for a in args[2:]):
        serve(args[1], *(int(a) for a in args[2:]))
    else:
        raise SystemExit(__doc__)


if __name__ == "__main__":
    main()
