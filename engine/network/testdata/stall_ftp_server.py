"""An FTP server on loopback whose transfers stall, for the time-out tests.

usage: stall_ftp_server.py PORT

Logs anyone on, lists one file "stall.log" (NLST and LIST), and answers RETR
and STOR with 150, opens the data connection and then neither sends nor
reads anything until the client goes away. Serves one client at a time.
"""
import socket
import sys
import threading

PORT = int(sys.argv[1])
LONG_LINE = "-rw-r--r--   1 owner group     50000 Jan 01 10:00 stall.log"


def serve(control):
    data_listen = None
    data_target = None
    held = []
    reader = control.makefile("rb")

    def reply(text):
        control.sendall((text + "\r\n").encode())

    def open_data():
        if data_listen is not None:
            conn, _ = data_listen.accept()
            return conn
        conn = socket.create_connection(data_target)
        return conn

    reply("220 stalling server")
    for raw in reader:
        line = raw.decode("latin-1").strip()
        verb = line.split(" ")[0].upper()
        arg = line[len(verb):].strip()
        if verb == "USER":
            reply("331 password please")
        elif verb == "PASS":
            reply("230 logged on")
        elif verb in ("TYPE", "MODE", "STRU", "NOOP"):
            reply("200 ok")
        elif verb == "PWD":
            reply('257 "/" is current')
        elif verb == "CWD":
            reply("250 ok")
        elif verb == "SIZE":
            reply("213 50000")
        elif verb == "PASV":
            data_listen = socket.socket()
            data_listen.bind(("127.0.0.1", 0))
            data_listen.listen(1)
            port = data_listen.getsockname()[1]
            reply("227 Entering Passive Mode (127,0,0,1,%d,%d)" % (port >> 8, port & 255))
        elif verb == "PORT":
            parts = arg.split(",")
            data_listen = None
            data_target = (".".join(parts[:4]), int(parts[4]) * 256 + int(parts[5]))
            reply("200 ok")
        elif verb in ("NLST", "LIST"):
            reply("150 listing")
            conn = open_data()
            text = LONG_LINE if verb == "LIST" else "stall.log"
            if "stall.log" in arg or not arg:
                conn.sendall((text + "\r\n").encode())
            conn.close()
            reply("226 done")
        elif verb in ("RETR", "STOR"):
            reply("150 opening")
            held.append(open_data())  # kept open, never used
        elif verb == "ABOR":
            for conn in held:
                conn.close()
            held = []
            reply("226 aborted")
        elif verb == "QUIT":
            reply("221 bye")
            break
        else:
            reply("502 not here")
    for conn in held:
        conn.close()
    control.close()


listener = socket.socket()
listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
listener.bind(("127.0.0.1", PORT))
listener.listen(4)
while True:
    client, _ = listener.accept()
    threading.Thread(target=serve, args=(client,), daemon=True).start()
