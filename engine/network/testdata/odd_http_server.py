"""An HTTP server on loopback whose answers go wrong in the ways real servers
and proxies do, for the remote log tests.

usage: odd_http_server.py PORT ROOT

The last part of the request path chooses the answer; a request through a
proxy ("GET http://host:port/...") is answered the same way:
  .../echo           200 whose body is the request head as received
  .../short/NAME     200 announcing the whole size of ROOT/NAME, sending the
                     first half of it, then closing the connection
  .../bighead/NAME   200 with the whole of ROOT/NAME after a head of 40
                     header lines (about 3 KB)
  .../widehead/NAME  200 with the whole of ROOT/NAME after a head of about
                     60 KB, just below the 64 KiB a head may take
  .../hugehead/NAME  200 with the whole of ROOT/NAME after a head of about
                     80 KB, more than a head may take
  .../chunked/NAME   HTTP/1.1 200 with ROOT/NAME in chunks of several sizes
                     (with a chunk extension and a trailer)
  .../chunkcut/NAME  the same, closed before the last chunk
  .../chunkrange/NAME  a request with "Range: bytes=A-" gets HTTP/1.1 206 with
                     its Content-Range and the part in chunks of 100 bytes,
                     sent a few at a time; without a Range header 200, chunked
  .../norange/NAME   200 with ROOT/NAME; a request with a Range header gets
                     206 with the whole file and no Content-Range
  .../garbage        a few bytes that are no HTTP answer, then the close
  anything else      404
"""
import os
import socket
import socketserver
import sys
import time

PORT = int(sys.argv[1])
ROOT = sys.argv[2]
# Header lines (77 bytes each) of the answers with long heads.
HEAD_LINES = {"bighead": 40, "widehead": 790, "hugehead": 1040}


class Handler(socketserver.BaseRequestHandler):
    def handle(self):
        head = b""
        while b"\r\n\r\n" not in head and len(head) < 65536:
            chunk = self.request.recv(4096)
            if not chunk:
                return
            head += chunk
        target = head.split(b" ")[1].decode("latin-1")
        if target.startswith("http://"):
            target = "/" + target[7:].partition("/")[2]
        parts = target.strip("/").split("/")
        kind = parts[-2] if len(parts) >= 2 else parts[-1]
        name = os.path.join(ROOT, parts[-1])
        out = self.request
        if parts[-1] == "echo":
            out.sendall(b"HTTP/1.0 200 OK\r\nContent-Length: %d\r\n\r\n" % len(head) + head)
        elif kind == "short" and os.path.isfile(name):
            data = open(name, "rb").read()
            out.sendall(b"HTTP/1.0 200 OK\r\nContent-Length: %d\r\n\r\n" % len(data) + data[: len(data) // 2])
        elif kind in HEAD_LINES and os.path.isfile(name):
            data = open(name, "rb").read()
            extra = b"".join(b"X-Header-%04d: %s\r\n" % (i, b"v" * 60) for i in range(HEAD_LINES[kind]))
            out.sendall(b"HTTP/1.0 200 OK\r\n" + extra + b"Content-Length: %d\r\n\r\n" % len(data) + data)
        elif kind in ("chunked", "chunkcut") and os.path.isfile(name):
            data = open(name, "rb").read()
            body = b""
            at, sizes, n = 0, (1, 700, 4096, 13), 0
            while at < len(data):
                piece = data[at : at + sizes[n % len(sizes)]]
                body += b"%x%s\r\n" % (len(piece), b";ext=1" if n == 2 else b"") + piece + b"\r\n"
                at += len(piece)
                n += 1
            if kind == "chunked":
                body += b"0\r\nX-Trailer: done\r\n\r\n"
            else:
                body = body[: len(body) * 3 // 4]
            out.sendall(b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nConnection: close\r\n\r\n" + body)
        elif kind == "chunkrange" and os.path.isfile(name):
            data = open(name, "rb").read()
            start, status, extra = 0, b"200 OK", b""
            for line in head.split(b"\r\n"):
                if line.lower().startswith(b"range: bytes="):
                    start = int(line.split(b"=")[1].split(b"-")[0])
                    status = b"206 Partial Content"
                    extra = b"Content-Range: bytes %d-%d/%d\r\n" % (start, len(data) - 1, len(data))
            out.sendall(b"HTTP/1.1 " + status + b"\r\n" + extra + b"Transfer-Encoding: chunked\r\n\r\n")
            part = data[start:]
            for at in range(0, len(part), 100):
                piece = part[at : at + 100]
                out.sendall(b"%x\r\n" % len(piece) + piece + b"\r\n")
                if at % 700 == 0:
                    time.sleep(0.01)
            out.sendall(b"0\r\n\r\n")
        elif kind == "norange" and os.path.isfile(name):
            data = open(name, "rb").read()
            if b"\r\nrange:" in head.lower():
                out.sendall(b"HTTP/1.1 206 Partial Content\r\nContent-Length: %d\r\n\r\n" % len(data) + data)
            else:
                out.sendall(b"HTTP/1.0 200 OK\r\nContent-Length: %d\r\n\r\n" % len(data) + data)
        elif parts[-1] == "garbage":
            out.sendall(b"hello\r\n\r\n")
        else:
            out.sendall(b"HTTP/1.0 404 Not Found\r\nContent-Length: 0\r\n\r\n")
        out.shutdown(socket.SHUT_WR)


class Server(socketserver.ThreadingTCPServer):
    allow_reuse_address = True
    daemon_threads = True


Server(("127.0.0.1", PORT), Handler).serve_forever()
