#!/usr/bin/env python3
"""A file service that misbehaves on purpose, for bench/windows/hostile.sh.

  normal   the listing names 1000 files that no launcher asks for (about 80 KB)
  big      the listing is BIG_MB megabytes of well-formed records, sent without a length
  trickle  the listing names central.ini as newer than any copy; its download announces 100 000
           bytes and sends one every GAP seconds
  head     the listing's answer head comes one byte every GAP seconds and never ends

Writes its port to PORT_FILE, then one line per event to stdout: "<event> <seconds since start>
<bytes sent>", where the events are "listing-start", "listing-end", "download-start" and
"download-end" (the end is when the client closed the connection or everything was sent).
Usage: hostile_server.py MODE PORT_FILE [BIG_MB=300] [GAP=5] [HOLD_CAP=130]
"""
import http.server
import select
import socket
import socketserver
import sys
import time

MODE, PORT_FILE = sys.argv[1], sys.argv[2]
BIG_MB = int(sys.argv[3]) if len(sys.argv) > 3 else 300
GAP = float(sys.argv[4]) if len(sys.argv) > 4 else 5.0
HOLD_CAP = float(sys.argv[5]) if len(sys.argv) > 5 else 130.0
START = time.monotonic()


def event(name, sent):
    print(f"{name} {time.monotonic() - START:.2f} {sent}", flush=True)


def record(i):
    return b'{"FileName":"Bench\\\\F%07d.dat","Age":"2024-03-01T08:00:00.000"}' % i


def client_gone(sock, seconds):
    """Waits up to `seconds`; True when the client closed its end meanwhile."""
    readable, _, _ = select.select([sock], [], [], seconds)
    if not readable:
        return False
    try:
        return sock.recv(4096, socket.MSG_PEEK) == b""
    except OSError:
        return True


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def head(self, status, headers):
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        self.send_header("Connection", "close")
        self.end_headers()
        self.wfile.flush()

    def do_GET(self):
        if self.path.startswith("/folderlist"):
            self.listing()
        elif self.path.startswith("/download"):
            self.download()
        else:
            self.head(404, [("Content-Length", "0")])

    def listing(self):
        event("listing-start", 0)
        if MODE == "big":
            # No length: the client learns the size only by reading.
            self.head(200, [("Content-Type", "application/json")])
            sent, limit, n = 0, BIG_MB << 20, 0
            try:
                self.wfile.write(b"[")
                while sent < limit:
                    # Distinct names, so that a client that takes the whole listing keeps every record.
                    piece = b",".join(record(i) for i in range(n, n + 10000)) + b","
                    n += 10000
                    self.wfile.write(piece)
                    sent += len(piece)
                self.wfile.write(record(n) + b"]")
                self.wfile.flush()
            except OSError:
                pass
            event("listing-end", sent)
            self.close_connection = True
            return
        if MODE == "head":
            self.wfile.write(b"HTTP/1.1 200 OK\r\nX-Slow: ")
            event("listing-end", self.trickle())
            self.close_connection = True
            return
        if MODE == "trickle":
            body = b'[{"FileName":"central.ini","Age":"2030-03-01T08:00:00.000"}]'
        else:
            body = b"[" + b",".join(record(i) for i in range(1000)) + b"]"
        self.head(200, [("Content-Type", "application/json"), ("Content-Length", str(len(body)))])
        self.wfile.write(body)
        event("listing-end", len(body))

    def download(self):
        event("download-start", 0)
        if MODE != "trickle":
            self.head(404, [("Content-Length", "0")])
            event("download-end", 0)
            return
        self.head(200, [("Content-Type", "application/octet-stream"), ("Content-Length", "100000")])
        event("download-end", self.trickle())
        self.close_connection = True

    def trickle(self):
        """Sends one byte every GAP seconds until the client goes or HOLD_CAP passes; the bytes sent."""
        sent = 0
        began = time.monotonic()
        try:
            while sent < 100000 and time.monotonic() - began < HOLD_CAP:
                if client_gone(self.connection, GAP):
                    break
                self.connection.sendall(b"x")
                sent += 1
        except OSError:
            pass
        return sent


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True


server = Server(("127.0.0.1", 0), Handler)
with open(PORT_FILE, "w") as f:
    f.write(str(server.server_address[1]))
server.serve_forever()
