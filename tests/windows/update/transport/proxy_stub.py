#!/usr/bin/env python3
"""Servers for the proxy tests, each on 127.0.0.2 (which no other test uses) on a free port:
  origin     GET /proxy.pac: a PAC file that sends 127.0.0.2 to the squid port given, the rest
             DIRECT; GET anything else: "ola <path>"; POST /report: 200 {"accepted":1}
  basic      a proxy that answers every request 407 offering Basic only
  logon      a proxy that answers every request 407 offering Negotiate, NTLM and Basic
Each writes its port to STATE/<name>.port and one JSON line per request to STATE/<name>.log
(method, target, whether a Proxy-Authorization header came)."""
import http.server
import json
import os
import socketserver
import sys
import threading

state, squid_port = sys.argv[1], sys.argv[2]
MAX_BODY = 1 << 20


def handler(name):
    log_lock = threading.Lock()

    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"
        timeout = 10

        def log_message(self, *args):
            pass

        def record(self):
            entry = {"method": self.command, "target": self.path,
                     "proxy_authorization": self.headers.get("Proxy-Authorization", "")}
            with log_lock, open(os.path.join(state, name + ".log"), "a") as log:
                log.write(json.dumps(entry) + "\n")

        def answer(self, status, body=b"", headers=()):
            self.send_response(status)
            for key, value in headers:
                self.send_header(key, value)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        def do_GET(self):
            self.record()
            if name == "basic":
                self.answer(407, b"", [("Proxy-Authenticate", 'Basic realm="hospital"')])
            elif name == "logon":
                self.answer(407, b"", [("Proxy-Authenticate", "Negotiate"), ("Proxy-Authenticate", "NTLM"),
                                       ("Proxy-Authenticate", 'Basic realm="hospital"')])
            elif self.path.endswith("/proxy.pac"):
                pac = ('function FindProxyForURL(url, host) {\n'
                       '  if (host == "127.0.0.2") return "PROXY 127.0.0.3:%s";\n'
                       '  return "DIRECT";\n}\n' % squid_port).encode()
                self.answer(200, pac, [("Content-Type", "application/x-ns-proxy-autoconfig")])
            else:
                self.answer(200, ("ola " + self.path).encode(), [("Content-Type", "text/plain; charset=utf-8")])

        def do_POST(self):
            self.record()
            length = min(int(self.headers.get("Content-Length", "0") or 0), MAX_BODY)
            self.rfile.read(length)
            if name == "origin":
                self.answer(200, b'{"accepted":1}', [("Content-Type", "application/json")])
            else:
                self.do_GET()

    return Handler


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True


servers = []
for name in ("origin", "basic", "logon"):
    server = Server(("127.0.0.2", 0), handler(name))
    servers.append(server)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    with open(os.path.join(state, name + ".port.tmp"), "w") as f:
        f.write(str(server.server_address[1]))
    os.rename(os.path.join(state, name + ".port.tmp"), os.path.join(state, name + ".port"))
threading.Event().wait()
