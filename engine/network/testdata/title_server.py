"""A small HTTP/1.0 server of pages for the page-title tests, on loopback.

usage: title_server.py PORT REQUEST_LOG

  /titled.html   a page with a title spread over lines
  /plain.html    a page without a title
  /long.html     a page whose title is 400 characters long
  /bighead.html  the page of /titled.html after 40 more header lines
                 (a head of about 3 KB)
  /private.html  a page with a title behind Basic authentication
                 (kvuser / s3cret); 401 with a title of its own otherwise
  /slow.html     sends its head and then nothing for 60 seconds
  /kept.html     a whole page without a title (with its Content-Length),
                 then the connection stays open for 60 seconds
  anything else  404 with a title of its own
Each request appends its path to REQUEST_LOG.
"""
import base64
import sys
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

PORT = int(sys.argv[1])
REQUEST_LOG = sys.argv[2]

PAGES = {
    "/titled.html": b"<html><head>\n<TITLE lang=\"en\">\n  Hello \t  World\n</Title>\n</head><body>x</body></html>",
    "/plain.html": b"<html><head></head><body><p>No title here</p><titles>no</titles></body></html>",
    "/long.html": b"<html><title>" + b"L" * 400 + b"</title></html>",
}
PRIVATE = b"<html><title>Members only</title></html>"
CREDENTIALS = "Basic " + base64.b64encode(b"kvuser:s3cret").decode()


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.0"

    def log_message(self, *args):
        pass

    def answer(self, status, body, extra=0):
        self.send_response(status)
        for i in range(extra):
            self.send_header("X-Header-%02d" % i, "v" * 60)
        self.send_header("Content-Type", "text/html")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def do_GET(self):
        with open(REQUEST_LOG, "a") as log:
            log.write(self.path + "\n")
        if self.path in PAGES:
            self.answer(200, PAGES[self.path])
        elif self.path == "/bighead.html":
            self.answer(200, PAGES["/titled.html"], extra=40)
        elif self.path == "/private.html":
            if self.headers.get("Authorization") == CREDENTIALS:
                self.answer(200, PRIVATE)
            else:
                self.answer(401, b"<html><title>Unauthorized</title></html>")
        elif self.path == "/slow.html":
            self.send_response(200)
            self.send_header("Content-Type", "text/html")
            self.end_headers()
            self.wfile.write(b"<html><head>")
            self.wfile.flush()
            time.sleep(60)
        elif self.path == "/kept.html":
            self.answer(200, b"<html><body>no title</body></html>")
            self.wfile.flush()
            time.sleep(60)
        else:
            self.answer(404, b"<html><title>Not Found</title></html>")


ThreadingHTTPServer.daemon_threads = True
ThreadingHTTPServer(("127.0.0.1", PORT), Handler).serve_forever()
