"""An FTP server (pyftpdlib) on loopback for the remote log tests, with the
behaviours of servers the plain command line cannot give.

usage: ftp_server.py PORT ROOT USER PASSWORD [OPTION...]

  --rate BYTES   sends data at most BYTES a second (a transfer that can be
                 cut off while it runs)
  --no-port      refuses PORT, as a server behind a firewall does: only
                 passive data connections work
  --short        RETR sends the first half of each file and then reports the
                 transfer as complete (226); SIZE and LIST give the whole size
  --cut-listing COMMAND REPLY
                 COMMAND (NLST or LIST) sends the first half of its lines and
                 ends with REPLY (say "426 Connection closed") instead of 226
"""
import io
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.filesystems import AbstractedFS
from pyftpdlib.handlers import DTPHandler, FTPHandler, ThrottledDTPHandler
from pyftpdlib.servers import FTPServer

PORT = int(sys.argv[1])
ROOT, USER, PASSWORD = sys.argv[2], sys.argv[3], sys.argv[4]
OPTIONS = sys.argv[5:]


class HalfFile(io.BytesIO):
    def __init__(self, path):
        with open(path, "rb") as f:
            data = f.read()
        super().__init__(data[: len(data) // 2])
        self.name = path


class ShortFS(AbstractedFS):
    def open(self, filename, mode):
        if "r" in mode and "+" not in mode:
            return HalfFile(filename)
        return super().open(filename, mode)


CUT = OPTIONS[OPTIONS.index("--cut-listing") + 1:][:2] if "--cut-listing" in OPTIONS else None


class CutDTPHandler(DTPHandler):
    """Ends a listing cut short with the failure reply in place of 226."""

    def close(self):
        if getattr(self.cmd_channel, "cutting", False) and self._resp and self._resp[0].startswith("226"):
            self._resp = (CUT[1], self._resp[1])
        super().close()


class Handler(FTPHandler):
    cutting = False

    def push_dtp_data(self, data, isproducer=False, file=None, cmd=None):
        self.cutting = CUT is not None and cmd == CUT[0]
        if self.cutting:
            if isproducer:
                chunks = []
                while True:
                    chunk = data.more()
                    if not chunk:
                        break
                    chunks.append(chunk if isinstance(chunk, bytes) else chunk.encode())
                data = b"".join(chunks)
            lines = data.split(b"\r\n")
            data = b"\r\n".join(lines[: max(1, len(lines) // 2)]) + b"\r\n"
            isproducer = False
        return super().push_dtp_data(data, isproducer, file, cmd)

    def ftp_PORT(self, line):
        if "--no-port" in OPTIONS:
            self.respond("500 PORT refused here; use PASV.")
            return
        return super().ftp_PORT(line)

    def ftp_EPRT(self, line):
        if "--no-port" in OPTIONS:
            self.respond("500 EPRT refused here; use PASV.")
            return
        return super().ftp_EPRT(line)


authorizer = DummyAuthorizer()
authorizer.add_user(USER, PASSWORD, ROOT, perm="elradfmw")
Handler.authorizer = authorizer
Handler.banner = "test server ready"
if "--rate" in OPTIONS:
    ThrottledDTPHandler.read_limit = ThrottledDTPHandler.write_limit = int(OPTIONS[OPTIONS.index("--rate") + 1])
    Handler.dtp_handler = ThrottledDTPHandler
if "--short" in OPTIONS:
    Handler.abstracted_fs = ShortFS
if CUT is not None:
    Handler.dtp_handler = CutDTPHandler
server = FTPServer(("127.0.0.1", PORT), Handler)
server.serve_forever()
