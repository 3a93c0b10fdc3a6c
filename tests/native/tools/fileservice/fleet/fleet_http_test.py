#!/usr/bin/env python3
"""The fleet routes of aurevia-fileservice over HTTP, and behind the rendered nginx front."""
import argparse
import csv
import io
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.error
import urllib.request

failures = []


def check(condition, message):
    if not condition:
        failures.append(message)
        print("FAIL: " + message)


def report(**changes):
    r = {"format": "aurevia-report/1", "machine": "WS-ADM-01", "version": "2022.2.8249.63552", "event": "startup",
         "module": "", "result": "ok", "reason": "none", "text": "", "files_listed": 49, "files_fetched": 3,
         "files_failed": 0, "bytes": 123456, "duration_ms": 850, "time": "2026-12-10T17:30:00-03:00",
         "ring": "geral", "rollout_number": 42, "rollout_serial": 1765400000, "release": 3}
    for key, value in changes.items():
        if value is None:
            r.pop(key, None)
        else:
            r[key] = value
    return r


def request(base, path, body=None, method=None, headers=None):
    data = body if isinstance(body, (bytes, type(None))) else json.dumps(body).encode()
    req = urllib.request.Request(base + path, data=data, method=method,
                                 headers=headers or ({"Content-Type": "application/json"} if data else {}))
    try:
        with urllib.request.urlopen(req, timeout=20) as answer:
            return answer.status, dict(answer.headers), answer.read()
    except urllib.error.HTTPError as error:
        return error.code, dict(error.headers), error.read()


def start(binary, folder, work, name, reports=True):
    port_file = os.path.join(work, name + ".port")
    command = [binary, "--folder", folder, "--port", "0", "--port-file", port_file]
    if reports:
        command += ["--reports", os.path.join(work, name + ".db")]
    process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=open(os.path.join(work, name + ".err"), "w"))
    for _ in range(200):
        if os.path.exists(port_file):
            return process, int(open(port_file).read())
        time.sleep(0.05)
    sys.exit("the service did not start")


def count(db, table="reports"):
    return int(subprocess.run(["sqlite3", db, "SELECT count(*) FROM " + table], capture_output=True, text=True,
                              check=True).stdout)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def staged_release_counts(args, base, folder, db, work):
    """Report format /2 beside /1, what the service makes of it, and `aurevia-publish status --fleet`."""
    status, headers, _ = request(base, "/report", [report()])
    refused, refused_headers, _ = request(base, "/report", [report(user="maria")])
    for answer, h in ((status, headers), (refused, refused_headers)):
        check("aurevia-report/2" in h.get("Aurevia-Report-Formats", ""),
              "a /report answer %s does not name format /2: %s" % (answer, h))
    open(os.path.join(folder, "aurevia-rollout.json"), "w").write(json.dumps(
        {"format": "aurevia-rollout/1", "serial": 1765400100, "expires": "2099-01-09T20:00:00Z",
         "rings": [{"ring": "geral", "release": 3, "percent": 100},
                   {"ring": "piloto", "release": 3, "percent": 100, "staged": 5, "staged_sha256": "ab" * 32}]}))
    two = dict(report(machine="WS-STAGED", ring="piloto"), format="aurevia-report/2", staged=5,
               staged_at="2026-12-10T08:00:00-03:00", store_bytes=80000, wire_bytes=1200, files_patched=2)
    status, _, body = request(base, "/report", [report(machine="WS-PILOTO", ring="piloto"), two])
    check(status == 200, "a batch of /1 and /2: %s %s" % (status, body))
    for name, bad in (("staged past 2^63", dict(two, staged=2 ** 63)), ("store bytes past 2^50",
                      dict(two, store_bytes=2 ** 50 + 1)), ("staged_at without offset",
                      dict(two, staged_at="2026-12-10T08:00:00")), ("/2 member in /1", report(staged=5))):
        before = count(db)
        status, _, _ = request(base, "/report", [report(), bad])
        check(status == 400 and count(db) == before, "%s: %s" % (name, status))
    check(subprocess.run(["sqlite3", db, "SELECT staged, store_bytes FROM reports WHERE machine = 'WS-STAGED'"],
                         capture_output=True, text=True).stdout.strip() == "5|80000", "the /2 members stored")

    status, headers, body = request(base, "/painel/preparadas.json")
    counted = json.loads(body) if status == 200 else None
    check(counted == {"rollout_serial": 1765400100, "more_rings": 0,
                      "rings": [{"ring": "piloto", "staged": 5, "holding": 1, "workstations": 2}]},
          "staged counts: %s %s" % (status, body))
    _, _, metrics = request(base, "/metrics")
    check('aurevia_workstations_holding_staged{ring="piloto",release="5"} 1' in metrics.decode().splitlines(),
          "metrics lack the staged count")
    _, _, page = request(base, "/painel")
    check(b'data-fig="preparada">1</span> de 2' in page, "the page lacks the staged count")
    _, _, table = request(base, "/painel/estacoes.csv")
    rows = {row[0]: row for row in csv.reader(io.StringIO(table.decode("utf-8"), newline=""))}
    check(rows.get("WS-STAGED", [""])[-2] == "5" and rows.get("WS-PILOTO", ["x"])[-2] == "",
          "CSV staged column: %s" % rows.get("WS-STAGED"))

    # The publisher's status: the ring's count from the service; a service that cannot be reached,
    # or that never answers, is said so within the status's deadline and changes nothing else.
    def status_with(url):
        started = time.monotonic()
        done = subprocess.run([args.publish, "status", "--to", folder, "--fleet", url], capture_output=True,
                              text=True, timeout=60)
        return done, time.monotonic() - started
    done, _ = status_with(base)
    check(done.returncode == 0 and "fleet view: 1 of 2 workstations hold it complete" in done.stdout,
          "status --fleet: %s %s %s" % (done.returncode, done.stdout, done.stderr))
    done, _ = status_with("http://127.0.0.1:%d" % free_port())
    check(done.returncode == 0 and "Fleet view: NOT REACHED" in done.stdout and "ring piloto" in done.stdout,
          "status with the service down: %s %s" % (done.returncode, done.stdout))
    with socket.socket() as silent:
        silent.bind(("127.0.0.1", 0))
        silent.listen(1)
        done, took = status_with("http://127.0.0.1:%d" % silent.getsockname()[1])
    check(done.returncode == 0 and "NOT REACHED" in done.stdout and took < 20,
          "status with a silent service: %s after %.1f s: %s" % (done.returncode, took, done.stdout))
    # Answers that are not the service's count: each refused whole, none printed as a count.
    for name, answer in (("too large", b"HTTP/1.0 200 OK\r\n\r\n" + b" " * (1 << 20)),
                         ("a ring of markup", b'HTTP/1.0 200 OK\r\n\r\n{"rings":[{"ring":"<b>x</b>","staged":5,'
                                               b'"holding":1,"workstations":2}]}'),
                         ("a negative count", b'HTTP/1.0 200 OK\r\n\r\n{"rings":[{"ring":"piloto","staged":5,'
                                              b'"holding":-1,"workstations":2}]}'),
                         ("refused address", b"HTTP/1.0 403 Forbidden\r\n\r\nForbidden.\n")):
        with socket.socket() as stub:
            stub.bind(("127.0.0.1", 0))
            stub.listen(1)

            def answer_once(listener=stub, body=answer):
                connection, _ = listener.accept()
                with connection:
                    connection.recv(4096)
                    try:
                        connection.sendall(body)
                    except OSError:
                        pass
            server = threading.Thread(target=answer_once, daemon=True)
            server.start()
            done, _ = status_with("http://127.0.0.1:%d" % stub.getsockname()[1])
            server.join(10)
        check(done.returncode == 0 and "NOT REACHED" in done.stdout and "fleet view:" not in done.stdout,
              "status with an answer that is %s: %s" % (name, done.stdout))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--service", required=True)
    parser.add_argument("--render", required=True)
    parser.add_argument("--publish", required=True)
    args = parser.parse_args()
    work = tempfile.mkdtemp(prefix="fleet-http-")
    processes = []
    try:
        folder = os.path.join(work, "served")
        os.makedirs(folder)
        open(os.path.join(folder, "a.txt"), "w").write("hello")

        # Without --reports: the routes do not exist and nothing is written.
        plain, plain_port = start(args.service, folder, work, "plain", reports=False)
        processes.append(plain)
        base = "http://127.0.0.1:%d" % plain_port
        for path, body in (("/report", [report()]), ("/painel", None), ("/painel/estacoes.csv", None),
                           ("/metrics", None)):
            status, _, _ = request(base, path, body)
            check(status == 404, "without --reports %s answers %s" % (path, status))

        service, port = start(args.service, folder, work, "fleet")
        processes.append(service)
        db = os.path.join(work, "fleet.db")
        base = "http://127.0.0.1:%d" % port

        status, _, body = request(base, "/aurevia/report", [report(), report(machine="WS-ADM-02", result="failed",
                                                                             reason="fetch", text="HTTP 503")])
        check(status == 200 and json.loads(body) == {"accepted": 2}, "a valid batch: %s %s" % (status, body))

        # Each bad batch is refused whole: its valid first report is not stored either.
        bad = [
            ("not JSON", b"{not json"),
            ("an object, not an array", json.dumps(report()).encode()),
            ("empty", b"[]"),
            ("51 reports", json.dumps([report()] * 51).encode()),
            ("unknown member", [report(), report(user="maria")]),
            ("machine with a space", [report(), report(machine="WS ADM")]),
            ("markup as machine", [report(), report(machine="<b>x</b>")]),
            ("result", [report(), report(result="maybe")]),
            ("reason", [report(), report(reason="bad luck")]),
            ("control byte in text", [report(), report(text="a\u001b[31mb")]),
            ("text of 201", [report(), report(text="x" * 201)]),
            ("negative bytes", [report(), report(bytes=-1)]),
            ("fractional files", [report(), report(files_listed=1.5)]),
            ("time without offset", [report(), report(time="2026-12-10T17:30:00")]),
            ("rollout number 100", [report(), report(rollout_number=100)]),
            ("missing machine", [report(), report(machine=None)]),
        ]
        before = count(db)
        for name, body in bad:
            status, headers, answer = request(base, "/report", body)
            check(status == 400, "%s: %s" % (name, status))
            check(b"error" in answer and b"maria" not in answer, "%s: the answer %r" % (name, answer[:100]))
        check(count(db) == before, "refused batches stored reports: %d -> %d" % (before, count(db)))
        status, _, _ = request(base, "/report", b"[" + b" " * (70 * 1024) + b"]")
        check(status == 413, "a 70 KiB batch: %s" % status)
        status, headers, _ = request(base, "/report")
        check(status == 405 and "POST" in headers.get("Allow", ""), "GET /report: %s" % status)
        check(count(db) == before, "the oversize batch stored reports")

        # The CSV: a formula in a text is defused, quoting is RFC 4180.
        request(base, "/report", [report(machine="WS-CSV", result="failed", reason="other",
                                         text='=HYPERLINK("http://evil","x"), "quoted"')])
        status, headers, body = request(base, "/painel/estacoes.csv")
        check(status == 200 and headers.get("Content-Type", "").startswith("text/csv"), "CSV: %s" % status)
        rows = list(csv.reader(io.StringIO(body.decode("utf-8"), newline="")))
        check(rows[0][0] == "estacao" and len(rows) == 4, "CSV rows: %s" % rows)
        texts = {row[0]: row[11] for row in rows[1:]}
        check(texts.get("WS-CSV") == "'=HYPERLINK(\"http://evil\",\"x\"), \"quoted\"", "CSV cell: %r" % texts)

        # The page: escaped, scriptless under a CSP; HEAD works.
        status, headers, page = request(base, "/painel?maquina=ws-csv")
        check(status == 200 and "script-src" not in headers.get("Content-Security-Policy", "x") and
              "default-src 'none'" in headers.get("Content-Security-Policy", ""), "page headers: %s" % headers)
        check(b"&quot;http://evil&quot;" in page and b'id="historico"' in page, "page history of WS-CSV")

        # Metrics: every sample line well-formed, figures as sent.
        request(base, "/download?file=a.txt")
        status, headers, body = request(base, "/metrics")
        text = body.decode()
        sample = re.compile(r'^[a-zA-Z_:][a-zA-Z0-9_:]*(\{[a-zA-Z_]\w*="(\\.|[^"\\])*"(,[a-zA-Z_]\w*="(\\.|[^"\\])*")*\})? \d+$')
        for line in text.splitlines():
            check(line.startswith("# HELP ") or line.startswith("# TYPE ") or sample.match(line),
                  "metrics line: %r" % line)
        for want in ('aurevia_reports_total{result="ok"} 1', 'aurevia_reports_total{result="failed"} 2',
                     'aurevia_report_batches_refused_total %d' % (len(bad) + 1),
                     'aurevia_workstations{ring="geral",release="3"} 3',
                     'aurevia_http_requests_total{route="download"} 1'):
            check(want in text.splitlines(), "metrics lack %r" % want)

        staged_release_counts(args, base, folder, db, work)

        # Behind the front: the fleet routes go to the designated instance only; /painel and
        # /metrics answer only the allowed addresses.
        if shutil.which("nginx"):
            other, other_port = start(args.service, folder, work, "other", reports=False)
            processes.append(other)
            front = os.path.join(work, "front")
            front_port = free_port()
            subprocess.run(["bash", args.render, "--out", front, "--listen", "127.0.0.1:%d" % front_port,
                            "--base-path", "/aurevia",
                            "--upstream", "127.0.0.1:%d" % other_port, "--upstream", "127.0.0.1:%d" % port,
                            "--fleet-upstream", "127.0.0.1:%d" % port, "--foreground"], check=True,
                           capture_output=True)
            nginx = subprocess.Popen(["nginx", "-p", front, "-c", os.path.join(front, "nginx.conf"), "-e", "stderr"],
                                     stderr=subprocess.DEVNULL)
            processes.append(nginx)
            fbase = "http://127.0.0.1:%d" % front_port
            for _ in range(100):
                try:
                    if request(fbase, "/healthz")[0] == 200:
                        break
                except OSError:
                    pass
                time.sleep(0.05)
            before = count(db)
            for i in range(6):
                status, _, _ = request(fbase, "/aurevia/report", [report(machine="WS-FRONT-%d" % i)])
                check(status == 200, "through the front, report %d: %s" % (i, status))
            check(count(db) == before + 6, "reports through the front reached the designated instance")
            status, _, body = request(fbase, "/painel")
            check(status == 200 and b"WS-FRONT" not in body or b"painel" in body, "page through the front: %s" % status)
            status, _, _ = request(fbase, "/report", b"[" + b" " * (70 * 1024) + b"]")
            check(status == 413, "a 70 KiB batch through the front: %s" % status)
            nginx.send_signal(signal.SIGQUIT)
            nginx.wait(timeout=10)
            subprocess.run(["bash", args.render, "--out", front, "--listen", "127.0.0.1:%d" % front_port,
                            "--base-path", "/aurevia",
                            "--upstream", "127.0.0.1:%d" % port, "--painel-allow", "192.0.2.0/24", "--foreground"],
                           check=True, capture_output=True)
            nginx = subprocess.Popen(["nginx", "-p", front, "-c", os.path.join(front, "nginx.conf"), "-e", "stderr"],
                                     stderr=subprocess.DEVNULL)
            processes.append(nginx)
            time.sleep(0.5)
            for path, want in (("/painel", 403), ("/painel/estacoes.csv", 403), ("/metrics", 403),
                               ("/report", 405), ("/download?file=a.txt", 200)):
                status, _, _ = request(fbase, path)
                check(status == want, "front with --painel-allow: %s answered %s, not %s" % (path, status, want))
        else:
            print("nginx not installed: the front part is skipped")
    finally:
        for p in processes:
            if p.poll() is None:
                p.send_signal(signal.SIGQUIT if p.args[0] == "nginx" else signal.SIGTERM)
                try:
                    p.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    p.kill()
        shutil.rmtree(work, ignore_errors=True)
    if failures:
        sys.exit("%d failures" % len(failures))
    print("PASS")


if __name__ == "__main__":
    main()
