#!/usr/bin/env python3
"""The report route under a flood and a broken store, against the real service built with the sanitizers.

- a flood of new workstations from many addresses: 429 with Retry-After, the workstation cap holds (503,
  no one evicted), the database stays within its size, a known workstation's report is still stored,
  and /painel, the CSV and /metrics stay bounded in bytes; the page is refused outside --painel-allow;
- a text that a ";" spreadsheet would split into formulas comes out defused;
- a declared length over the limit is answered 413 before any "100 Continue";
- a damaged, a read-only, an unreachable and a deleted store: downloads go on, /report says 503 (or
  stores into a new database) and /healthz and the log say why.
Every service is stopped at the end, also when a check fails; its log must hold no sanitizer report.
"""
import argparse
import concurrent.futures
import csv
import http.client
import io
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

failures = []
RUNNING = []


def check(condition, message):
    if not condition:
        failures.append(message)
        print("FAIL: " + message)
    return condition


def report(machine, ring="geral", text="", result="ok"):
    return {"format": "aurevia-report/1", "machine": machine, "version": "2022.2.8249.63552", "event": "startup",
            "module": "", "result": result, "reason": "none" if result == "ok" else "other", "text": text,
            "files_listed": 49, "files_fetched": 3, "files_failed": 0, "bytes": 123456, "duration_ms": 850,
            "time": time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime()), "ring": ring, "rollout_number": 42,
            "rollout_serial": 1765400000, "release": 3}


class Service:
    def __init__(self, binary, work, name, folder, *options, user=None):
        self.name = name
        self.err = os.path.join(work, name + ".err")
        ports = os.path.join(work, "ports")  # written by the service, which may run as another user
        os.makedirs(ports, exist_ok=True)
        os.chmod(ports, 0o777)
        port_file = os.path.join(ports, name)
        command = [binary, "--folder", folder, "--port", "0", "--port-file", port_file] + list(options)
        if user is not None:
            command = ["setpriv", "--reuid=%d" % user, "--regid=%d" % user, "--clear-groups"] + command
        env = dict(os.environ, ASAN_OPTIONS="detect_leaks=1:abort_on_error=0", UBSAN_OPTIONS="print_stacktrace=1")
        self.process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=open(self.err, "w"), env=env)
        RUNNING.append(self)
        for _ in range(400):
            if os.path.exists(port_file) and open(port_file).read().strip():
                self.port = int(open(port_file).read())
                return
            if self.process.poll() is not None:
                break
            time.sleep(0.05)
        raise RuntimeError("%s did not start: %s" % (name, open(self.err).read()[-2000:]))

    def request(self, method, path, body=None, headers=None, source="127.0.0.1"):
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=30, source_address=(source, 0))
        try:
            data = json.dumps(body).encode() if isinstance(body, list) else body
            connection.request(method, path, body=data, headers=headers or {"Content-Type": "application/json"})
            answer = connection.getresponse()
            return answer.status, dict(answer.getheaders()), answer.read()
        finally:
            connection.close()

    def health(self):
        return json.loads(self.request("GET", "/healthz")[2])

    def log(self):
        return open(self.err, errors="replace").read()

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout=30)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
                failures.append("%s did not stop on SIGTERM" % self.name)
        log = self.log()
        for mark in ("AddressSanitizer", "LeakSanitizer", "runtime error:"):
            check(mark not in log, "%s: sanitizer report:\n%s" % (self.name, log[-3000:]))
        check(self.process.returncode == 0, "%s ended with %s" % (self.name, self.process.returncode))


def sql(db, query):
    return subprocess.run(["sqlite3", "-readonly", db, query], check=True, capture_output=True,
                          text=True).stdout.strip()


def flood(args, work, folder):
    db = os.path.join(work, "flood.db")
    service = Service(args.service, work, "flood", folder, "--reports", db, "--report-rate", "60",
                      "--max-machines", "400", "--max-db-mb", "2", "--painel-rings", "20", "--painel-rows", "50",
                      "--painel-allow", "127.0.0.1", "--trusted-proxy", "127.0.0.3")
    legit = "127.0.0.250"
    trap = 'falha;=1+1;=HIPERLINK("http://x";"y"), -2+3'
    status, _, _ = service.request("POST", "/report", [report("WS-LEGIT", text=trap, result="failed")], source=legit)
    check(status == 200, "the legitimate workstation's first report: %s" % status)

    # Forty senders, each from its own address, each batch fifty new workstations in new rings. At 60
    # reports a minute an address's bucket holds 60: its first batch fits, its second (within 40 s)
    # does not. Each sends until it is told 429.
    statuses, retry_afters, limited, lock = {}, [], set(), threading.Lock()

    def sender(n):
        source = "127.0.1.%d" % (n + 1)
        for i in range(0, 250, 50):
            batch = [report("FL-%d-%d" % (n, i + k), ring="r%d" % ((n * 7919 + i + k) % 5000)) for k in range(50)]
            try:
                status, headers, _ = service.request("POST", "/aurevia/report", batch, source=source)
            except OSError as error:
                status, headers = "error %s" % error, {}
            with lock:
                statuses[status] = statuses.get(status, 0) + 1
                if status == 429:
                    retry_afters.append(headers.get("Retry-After", ""))
                    limited.add(n)
                    return

    with concurrent.futures.ThreadPoolExecutor(40) as pool:
        list(pool.map(sender, range(40)))
    print("flood answers: %s" % statuses)
    check(set(statuses) <= {200, 429, 503}, "flood answers beyond 200/429/503: %s" % statuses)
    check(len(limited) == 40, "senders never answered 429: %s" % sorted(set(range(40)) - limited))
    check(statuses.get(503, 0) > 0, "the workstation cap never answered 503: %s" % statuses)
    check(retry_afters and all(r.isdigit() and int(r) >= 1 for r in retry_afters),
          "429 without a Retry-After in seconds: %s" % set(retry_afters))
    machines = int(sql(db, "SELECT count(*) FROM machines"))
    check(machines <= 400, "machines stored past the cap: %d" % machines)
    # The cap counts the database's pages wherever they are; the WAL beside it is cut back at its
    # checkpoints (a few MiB at most).
    size = sum(os.path.getsize(db + s) for s in ("", "-wal") if os.path.exists(db + s))
    check(size <= 8 * 1024 * 1024, "the database and its WAL grew past their bounds: %d bytes" % size)
    check(os.path.getsize(db) <= 2 * 1024 * 1024, "the database grew past --max-db-mb")
    print("stored: %d workstations, %s reports, %d bytes of database" % (
        machines, sql(db, "SELECT count(*) FROM reports"), size))

    # A known workstation still reports, past the cap and from an address of its own.
    status, _, _ = service.request("POST", "/report", [report("WS-LEGIT")], source=legit)
    check(status == 200, "the legitimate workstation's report after the flood: %s" % status)
    check(sql(db, "SELECT count(*) FROM reports WHERE machine = 'WS-LEGIT'") == "2",
          "the legitimate workstation's reports are not both stored")

    # Bounded output: the rest counted, not listed.
    status, _, page = service.request("GET", "/painel")
    check(status == 200 and len(page) < 256 * 1024, "/painel: %s, %d bytes" % (status, len(page)))
    check("e mais".encode() in page and "anéis".encode() in page, "/painel does not count the rings left out")
    status, _, metrics = service.request("GET", "/metrics")
    check(status == 200 and len(metrics) < 16 * 1024, "/metrics: %s, %d bytes" % (status, len(metrics)))
    check(b'ring="outros"' in metrics, "/metrics does not bound its ring labels")
    warnings = " ".join(service.health()["Warnings"])
    check("most workstations" in warnings and "rings" in warnings, "/healthz warnings: %s" % warnings)
    check("most workstations" in service.log(), "no log line for the workstation cap")
    status, _, table = service.request("GET", "/painel/estacoes.csv")
    rows = table.decode().split("\r\n")
    check(status == 200 and len(rows) <= 403, "estacoes.csv: %s, %d rows" % (status, len(rows)))

    # The ";" spreadsheet: no piece of any cell of the trap row starts a formula.
    status, _, table = service.request("GET", "/painel/estacoes.csv?maquina=WS-LEGIT")
    lines = table.decode().split("\r\n")
    check(status == 200 and any("HIPERLINK" in line for line in lines), "the trap row is missing: %r" % lines)
    for line in lines[1:]:
        for piece in line.replace(";", ",").split(","):
            stripped = piece.lstrip(' "')
            check(not stripped or stripped[0] not in "=+-@\t\r", "a formula after a split: %r in %r" % (piece, line))
    row = next(csv.reader(io.StringIO(lines[1])))
    check(row[16] == "falha;'=1+1;'=HIPERLINK(\"http://x\";\"y\"), '-2+3", "the trap cell reads back as %r" % row[16])

    # The page for IT's addresses only: not another address, not one a front cannot vouch for.
    for path in ("/painel", "/painel/estacoes.csv", "/metrics"):
        # 127.0.0.3 stands for the front (--trusted-proxy): it alone names the client.
        for source, headers, want in (("127.0.0.1", {}, 200), ("127.0.0.2", {}, 403),
                                      ("127.0.0.3", {"X-Forwarded-For": "10.0.0.5"}, 403),
                                      ("127.0.0.3", {"X-Forwarded-For": "6.6.6.6, 127.0.0.1"}, 200),
                                      ("127.0.0.2", {"X-Forwarded-For": "127.0.0.1"}, 403)):
            status = service.request("GET", path, headers=headers, source=source)[0]
            check(status == want, "%s from %s %s: %s, not %s" % (path, source, headers, status, want))
    service.stop()


def too_large(args, work, folder):
    service = Service(args.service, work, "large", folder, "--reports", os.path.join(work, "large.db"))
    for length, expect, want in ((10 * 1024 * 1024, True, "413"), (70 * 1024, True, "413"),
                                 (10 * 1024 * 1024, False, "413"), (2, True, "100")):
        with socket.create_connection(("127.0.0.1", service.port), timeout=10) as s:
            head = ("POST /report HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\n"
                    "Content-Length: %d\r\n%s\r\n" % (length, "Expect: 100-continue\r\n" if expect else ""))
            s.sendall(head.encode())
            try:
                first = s.recv(4096).decode(errors="replace").split("\r\n")[0]
            except OSError as error:
                first = "error %s" % error
            check(first.startswith("HTTP/1.1 " + want), "declared %d, Expect %s: %r, not %s" % (
                length, expect, first, want))
            if want == "100":
                s.sendall(b"[]")
                answer = s.recv(4096).decode(errors="replace")
                check(answer.startswith("HTTP/1.1 400"), "the small batch after 100 Continue: %r" % answer[:40])
    check(service.request("GET", "/download?file=a.txt")[0] == 200, "a download after the 413s")
    service.stop()


def broken_stores(args, work, folder):
    uid = 65534 if os.geteuid() == 0 else None  # root writes a read-only file: the service runs as nobody
    cases = []
    # Damaged: moved aside, a new database started, reports stored again.
    damaged = os.path.join(work, "damaged", "r.db")
    os.makedirs(os.path.dirname(damaged))
    open(damaged, "wb").write(b"not a database at all " * 400)
    cases.append(("damaged", damaged, None, 200, "damaged"))
    # Read-only: left as it is, reports answered 503 with the reason.
    readonly = os.path.join(work, "readonly", "r.db")
    os.makedirs(os.path.dirname(readonly))
    subprocess.run(["sqlite3", readonly, "PRAGMA journal_mode=WAL; CREATE TABLE x(y);"], check=True,
                   capture_output=True)
    os.chmod(readonly, 0o444)
    os.chmod(os.path.dirname(readonly), 0o555)
    cases.append(("read-only", readonly, uid, 503, "read"))
    # Unreachable: its folder does not exist.
    cases.append(("missing folder", os.path.join(work, "no-such-folder", "r.db"), None, 503, "no-such-folder"))
    for name, db, user, want, reason in cases:
        service = Service(args.service, work, name.replace(" ", "-"), folder, "--reports", db, user=user)
        check(service.request("GET", "/download?file=a.txt")[0] == 200, "%s store: download refused" % name)
        status, _, body = service.request("POST", "/report", [report("WS-1")])
        check(status == want, "%s store: /report answered %s %s, not %s" % (name, status, body[:200], want))
        health = service.health()
        said = json.dumps(health)
        check(health["Status"] == "ok" and reason in said, "%s store: /healthz %s" % (name, said))
        check(reason in service.log(), "%s store: the log does not say why:\n%s" % (name, service.log()[-1000:]))
        service.stop()
    asides = [f for f in os.listdir(os.path.dirname(damaged)) if f.startswith("r.db.damaged-")]
    check(len(asides) == 1 and open(os.path.join(os.path.dirname(damaged), asides[0]), "rb").read(9) == b"not a dat",
          "the damaged database was not kept aside: %s" % asides)

    # Deleted while running: noticed at the next report, which goes into a new database.
    deleted = os.path.join(work, "deleted.db")
    service = Service(args.service, work, "deleted", folder, "--reports", deleted)
    check(service.request("POST", "/report", [report("WS-1")])[0] == 200, "first report")
    for suffix in ("", "-wal", "-shm"):
        if os.path.exists(deleted + suffix):
            os.remove(deleted + suffix)
    status = service.request("POST", "/report", [report("WS-2")])[0]
    check(status == 200, "the report after the deletion: %s" % status)
    check(os.path.exists(deleted) and sql(deleted, "SELECT machine FROM reports") == "WS-2",
          "the report after the deletion is not in the new database")
    check("deleted" in json.dumps(service.health()), "/healthz does not tell of the deletion")
    check(service.request("GET", "/download?file=a.txt")[0] == 200, "a download after the deletion")
    service.stop()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--service", required=True)
    args = parser.parse_args()
    work = tempfile.mkdtemp(prefix="fleet-limits-")
    os.chmod(work, 0o755)
    try:
        folder = os.path.join(work, "served")
        os.makedirs(folder)
        open(os.path.join(folder, "a.txt"), "w").write("hello")
        for part in (flood, too_large, broken_stores):
            print("== " + part.__name__)
            part(args, work, folder)
    finally:
        for service in RUNNING:
            if service.process.poll() is None:
                service.process.kill()
                service.process.wait()
        for root, dirs, _ in os.walk(work):
            for d in dirs:
                os.chmod(os.path.join(root, d), 0o755)
        shutil.rmtree(work, ignore_errors=True)
    if failures:
        sys.exit("%d failures" % len(failures))
    print("PASS")


if __name__ == "__main__":
    main()
