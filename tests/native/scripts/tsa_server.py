#!/usr/bin/env python3
"""A throw-away RFC 3161 time-stamp server for tests: answers each POSTed query with `openssl ts
-reply` under CONFIG, on 127.0.0.1 at a free port that it writes to PORT_FILE once it listens.

    tsa_server.py CONFIG PORT_FILE
"""
import http.server
import subprocess
import sys

MAX_QUERY_BYTES = 64 * 1024


class Handler(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        length = int(self.headers.get("Content-Length", "0"))
        if length <= 0 or length > MAX_QUERY_BYTES:
            self.send_error(400)
            return
        query = self.rfile.read(length)
        result = subprocess.run(
            ["openssl", "ts", "-reply", "-config", sys.argv[1], "-queryfile", "/dev/stdin", "-out", "/dev/stdout"],
            input=query, capture_output=True, timeout=30)
        if result.returncode != 0:
            sys.stderr.write(result.stderr.decode(errors="replace"))
            self.send_error(500)
            return
        self.send_response(200)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.send_header("Content-Length", str(len(result.stdout)))
        self.end_headers()
        self.wfile.write(result.stdout)

    def log_message(self, *args):
        pass


server = http.server.HTTPServer(("127.0.0.1", 0), Handler)
with open(sys.argv[2], "w") as handle:
    handle.write(str(server.server_address[1]))
server.serve_forever()
