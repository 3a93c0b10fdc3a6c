#!/usr/bin/env python3
"""A clinic's link in front of the file service: forwards every request to UPSTREAM and sends the
answers' bytes no faster than RATE bytes a second, shared by all connections as one link is.
Range and If-None-Match pass through, so resumed fetches and revalidated listings behave as they
would on the real link.  Usage: throttle.py UPSTREAM_PORT RATE PORT_FILE"""
import http.client
import http.server
import socketserver
import sys
import threading
import time

UPSTREAM = int(sys.argv[1])
RATE = float(sys.argv[2])
PIECE = 16 * 1024


class Link:
    """One schedule for the whole link. A sender that oversleeps keeps its place (a sleep's lateness
    is not lost to the link); an idle link lends at most 50 ms of its rate to the next burst."""

    def __init__(self, rate):
        self.rate, self.lock, self.next_free = rate, threading.Lock(), time.monotonic()

    def send(self, nbytes):
        with self.lock:
            now = time.monotonic()
            start = max(now - 0.05, self.next_free)
            self.next_free = start + nbytes / self.rate
            wait = self.next_free - now
        if wait > 0:
            time.sleep(wait)


LINK = Link(RATE)
PASSED = ("range", "if-none-match", "if-range", "accept-encoding", "user-agent")


class Forward(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def do_GET(self):
        upstream = http.client.HTTPConnection("127.0.0.1", UPSTREAM, timeout=60)
        try:
            headers = {k: v for k, v in self.headers.items() if k.lower() in PASSED}
            upstream.request("GET", self.path, headers=headers)
            answer = upstream.getresponse()
            body = answer.read()
        except OSError:
            self.send_error(502)
            return
        finally:
            upstream.close()
        self.send_response(answer.status, answer.reason)
        for k, v in answer.getheaders():
            if k.lower() not in ("content-length", "transfer-encoding", "connection"):
                self.send_header(k, v)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        try:
            for at in range(0, len(body), PIECE):
                piece = body[at:at + PIECE]
                LINK.send(len(piece))
                self.wfile.write(piece)
            self.wfile.flush()
        except OSError:
            self.close_connection = True

    def log_message(self, *args):
        pass


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True


server = Server(("127.0.0.1", 0), Forward)
with open(sys.argv[3], "w") as f:
    f.write(str(server.server_address[1]))
server.serve_forever()
