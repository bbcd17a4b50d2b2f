"""A small HTTP/1.0 file server for the remote log tests, on loopback.

usage: range_server.py PORT ROOT REQUEST_LOG

Serves the files under ROOT. A request path may start with a mode folder:
  /norange/NAME   ignores any Range header (answers 200 with the whole file)
  /multi/NAME     answers a single range as a multipart/byteranges body
  /NAME           honours "Range: bytes=A-" and "bytes=A-B" (206), 416 when
                  A lies at or past the end of the file
A request through a proxy ("GET http://host/NAME") is served as /NAME.
A missing file is 404. Each request appends one line to REQUEST_LOG:
"<path as sent>|<Range>|<Authorization>|<Proxy-Authorization>".
"""
import os
import sys
from http.server import BaseHTTPRequestHandler, HTTPServer

PORT = int(sys.argv[1])
ROOT = sys.argv[2]
REQUEST_LOG = sys.argv[3]


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.0"

    def log_message(self, *args):
        pass

    def do_GET(self):
        with open(REQUEST_LOG, "a") as log:
            log.write("%s|%s|%s|%s\n" % (self.path, self.headers.get("Range", ""),
                                         self.headers.get("Authorization", ""),
                                         self.headers.get("Proxy-Authorization", "")))
        path = self.path
        if path.startswith("http://"):
            path = "/" + path[7:].partition("/")[2]
        mode = ""
        for prefix in ("/norange/", "/multi/"):
            if path.startswith(prefix):
                mode = prefix.strip("/")
                path = "/" + path[len(prefix):]
        name = os.path.join(ROOT, path.lstrip("/"))
        if not os.path.isfile(name):
            self.send_error(404)
            return
        with open(name, "rb") as f:
            data = f.read()
        wanted = self.headers.get("Range", "")
        if mode == "norange" or not wanted.startswith("bytes="):
            self.answer(200, data, [])
            return
        first, _, last = wanted[6:].partition("-")
        start = int(first)
        end = int(last) if last else len(data) - 1
        end = min(end, len(data) - 1)
        if start >= len(data) or start > end:
            self.send_error(416)
            return
        part = data[start:end + 1]
        content_range = "bytes %d-%d/%d" % (start, end, len(data))
        if mode == "multi":
            boundary = "PARTBOUNDARY"
            body = (b"\r\n--" + boundary.encode() + b"\r\nContent-Type: text/plain\r\n"
                    + b"Content-Range: " + content_range.encode() + b"\r\n\r\n"
                    + part + b"\r\n--" + boundary.encode() + b"--\r\n")
            self.answer(206, body, [("Content-Type", "multipart/byteranges; boundary=" + boundary)])
        else:
            self.answer(206, part, [("Content-Range", content_range)])

    def answer(self, status, body, headers):
        self.send_response(status)
        for key, value in headers:
            self.send_header(key, value)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)


HTTPServer(("127.0.0.1", PORT), Handler).serve_forever()
