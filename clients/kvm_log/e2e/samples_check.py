#!/usr/bin/env python3
"""The bundled sample profiles run as a new user runs them, and runs say what
they could not read.

- Every sample profile (local file, ZIP, gzip, FTP, HTTP, ODBC) is run through
  kvm-log over a copy of the program's kvm_log folder, with the sample logs
  made and served by scripts/samples.py as scripts/demo makes them: each must
  count the records of the sample log, counted here on its own, and say on
  standard error that it read that many lines and could use all of them.
- A log with junk, comment and zero-byte lines gives the read, not recognised
  and skipped counts that the generated mix holds.
- A file of random bytes gives a warning that almost nothing was recognised,
  and a text file without a log line one that nothing was.
"""
import argparse
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile
import time

SUMMARY = re.compile(r"kvm-log: (\d+) lines read, (\d+) not recognised, (\d+) skipped")
failures = []


def check(what, ok, detail=""):
    if not ok:
        failures.append(f"{what}: {detail}")
        print(f"FAIL {what}: {detail}")


def run(program, profiles, name, env):
    r = subprocess.run([os.path.join(program, "kvm-log"), "--profiles", profiles, "run", name, "--kind", "count"],
                       capture_output=True, text=True, errors="replace", env=env, timeout=120)
    m = SUMMARY.search(r.stderr)
    counts = tuple(int(x) for x in m.groups()) if m else None
    return r.returncode, r.stdout.strip(), counts, r.stderr


def set_location(profile_path, location):
    data = open(profile_path, "rb").read()
    data = re.sub(rb"\nLogFilePath=[^\r\n]*", b"\nLogFilePath=" + location.encode(), data, count=1)
    open(profile_path, "wb").write(data)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--program", required=True)
    ap.add_argument("--source", required=True)
    a = ap.parse_args()
    python = "/usr/bin/python3" if os.access("/usr/bin/python3", os.X_OK) else sys.executable
    samples_py = os.path.join(a.source, "scripts", "samples.py")
    top = tempfile.mkdtemp(prefix="kvsamples")
    server = None
    try:
        # The profiles alone: a demo run leaves the fetched copies of the
        # remote logs beside them, which a fresh run must not find.
        shutil.copytree(os.path.join(a.program, "kvm_log", "profiles"), os.path.join(top, "profiles"),
                        ignore=lambda d, names: [n for n in names if not n.endswith(".wlp")])
        os.makedirs(os.path.join(top, "samples"))
        shutil.copyfile(os.path.join(a.program, "kvm_log", "samples", "access_combined.log"),
                        os.path.join(top, "samples", "access_combined.log"))
        sample = os.path.join(top, "samples", "access_combined.log")
        with open(sample, "rb") as f:
            records = sum(1 for line in f if line.strip())

        made = subprocess.run([python, samples_py, "make", top], capture_output=True, text=True, check=True)
        env = dict(os.environ)
        for line in made.stdout.splitlines():
            key, _, value = line.partition("=")
            env[key] = value
        # The driver manager and the driver stay loaded to the client's end,
        # so that their caches, freed only at exit, are not taken for leaks.
        driver = re.search(r"Driver=(\S+)", open(os.path.join(top, "samples", "odbc", "odbcinst.ini")).read())
        env["LD_PRELOAD"] = f"libodbc.so.2:{driver.group(1)}:libodbcinst.so.2"
        env["ASAN_OPTIONS"] = ":".join(x for x in (os.environ.get("ASAN_OPTIONS", ""), "verify_asan_link_order=0") if x)
        # Free ports of the system's choosing, so that runs side by side (and
        # a demo) do not clash; the copies of the remote samples point there.
        server = subprocess.Popen([python, samples_py, "serve", top, "0", "0"], stdout=subprocess.PIPE,
                                  stderr=subprocess.STDOUT, text=True)
        ready = server.stdout.readline().split()
        check("the FTP and HTTP sample servers start", len(ready) == 3 and ready[0] == "ready", ready)
        ftp_port, http_port = (ready[1], ready[2]) if len(ready) == 3 else ("2121", "8080")

        profiles = os.path.join(top, "profiles")
        moved = 0
        for p in (p for p in os.listdir(profiles) if p.endswith(".wlp")):
            path = os.path.join(profiles, p)
            data = open(path, "rb").read()
            new = data.replace(b"//127.0.0.1:2121/", b"//127.0.0.1:%s/" % ftp_port.encode())
            new = new.replace(b"//127.0.0.1:8080/", b"//127.0.0.1:%s/" % http_port.encode())
            moved += new != data
            open(path, "wb").write(new)
        check("the FTP and HTTP samples point at the servers", moved == 2, moved)
        names = sorted(p[:-4] for p in os.listdir(profiles) if p.endswith(".wlp"))
        check("six sample profiles", len(names) == 6, names)
        for name in names:
            code, out, counts, err = run(a.program, profiles, name, env)
            check(f"profile {name} exits 0", code == 0, err[-400:])
            check(f"profile {name} counts the sample's records", out == str(records), f"{out!r} != {records}")
            check(f"profile {name} reports its lines", counts == (records, 0, 0), f"{counts} in {err[-300:]!r}")
            check(f"profile {name} gives no warning", "warning" not in err, err[-300:])

        # A mix of log lines and lines that are none, counted here.
        rng = random.Random(7)
        good = [line for line in open(sample, "rb").read().split(b"\n") if line.strip()]
        mix, junk, zero, comments = [], 0, 0, 0
        for line in good[:200]:
            mix.append(line)
            roll = rng.random()
            if roll < 0.1:
                mix.append(b"this is not a log line at all %d" % rng.randrange(1000))
                junk += 1
            elif roll < 0.15:
                mix.append(b"half\x00a line with a zero byte")
                zero += 1
            elif roll < 0.2:
                mix.append(b"#a comment")
                comments += 1
        mixed = os.path.join(top, "mixed.log")
        open(mixed, "wb").write(b"\n".join(mix) + b"\n")
        set_location(os.path.join(profiles, names[0] + ".wlp"), mixed)
        code, out, counts, err = run(a.program, profiles, names[0], env)
        check("a mixed log counts its hits", code == 0 and out == "200", f"{code} {out!r}")
        check("a mixed log's line counts", counts == (200 + junk + zero + comments, junk, zero),
              f"{counts} != {(200 + junk + zero + comments, junk, zero)}")
        check("a mostly good log gives no warning", "warning" not in err, err[-300:])

        # Random bytes: not a log.
        noise = os.path.join(top, "noise.log")
        open(noise, "wb").write(random.Random(11).randbytes(3 * 1024 * 1024))
        set_location(os.path.join(profiles, names[0] + ".wlp"), noise)
        code, out, counts, err = run(a.program, profiles, names[0], env)
        check("random bytes: the lines are counted", counts is not None and counts[0] > 1000, err[-300:])
        check("random bytes: a warning that almost nothing was recognised",
              "almost nothing in the log was recognised" in err, err[-300:])

        # Plain text without a single log line: no record at all, and the
        # client says that nothing was recognised rather than blaming the
        # time window nobody gave.
        prose = os.path.join(top, "notes.txt")
        words = "the of a log file is not this line but some words here".split()
        open(prose, "w").write("".join(" ".join(rng.choice(words) for _ in range(12)) + "\n" for _ in range(2000)))
        set_location(os.path.join(profiles, names[0] + ".wlp"), prose)
        code, out, counts, err = run(a.program, profiles, names[0], env)
        check("plain text: exit 3 and no count", code == 3 and out == "", f"{code} {out!r}")
        check("plain text: a warning that nothing was recognised",
              "nothing in the profile's logs was recognised" in err and "time window" not in err, err[-300:])
    finally:
        if server is not None:
            server.terminate()
            try:
                server.wait(timeout=10)
            except subprocess.TimeoutExpired:
                server.kill()
        shutil.rmtree(top, ignore_errors=True)
    if failures:
        print(f"{len(failures)} failure(s)")
        return 1
    print("samples: every sample profile counts the sample log; line counts and the warning hold")
    return 0


if __name__ == "__main__":
    sys.exit(main())
