#!/usr/bin/env python3
"""The fleet page as IT sees it, in headless Chromium.

A service is fed a few thousand synthetic reports over several rings and releases (part of them
sent while its clock runs days behind, under faketime, so that the chart has days and some
workstations are stale); Chromium loads /painel; the figures on the page must equal the ones the
sqlite3 CLI computes from the database, no console message may appear, a forged report's markup must
stay text, and a screenshot is kept in the artifacts folder.
"""
import argparse
import html.parser
import json
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.request

ROLLOUT = {"format": "aurevia-rollout/1", "serial": 1765400000, "expires": "2027-01-09T20:00:00Z",
           "rings": [{"ring": "geral", "release": 3, "previous": 2, "percent": 50},
                     {"ring": "piloto", "release": 4, "percent": 100},
                     {"ring": "lab", "release": 4, "previous": 3, "percent": 20}]}
REASONS = ["listing", "fetch", "signature", "expired", "timeout", "disk", "tls", "server", "other"]
STALE_DAYS = 7
CHROMIUM_FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                  "--disable-background-networking", "--disable-component-update", "--disable-sync",
                  "--enable-logging=stderr", "--v=0"]


def fail(message):
    print("FAIL: " + message)
    sys.exit(1)


LIBFAKETIME = "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1"
RUNNING = []  # every service started, stopped at the end whatever happened


class Service:
    def __init__(self, binary, folder, db, work, fake=None):
        port_file = os.path.join(work, "port")
        if os.path.exists(port_file):
            os.remove(port_file)
        # Thousands of reports come from this one address: no rate for this test.
        command = [binary, "--folder", folder, "--port", "0", "--port-file", port_file, "--reports", db,
                   "--stale-days", str(STALE_DAYS), "--report-rate", "0"]
        env = dict(os.environ)
        if fake:
            # The library preloaded into the service itself, not the faketime wrapper: the wrapper
            # forks, and a signal to it leaves the service running.
            env.update(LD_PRELOAD=LIBFAKETIME, FAKETIME=fake)
        self.log = open(os.path.join(work, "service.log"), "ab")
        self.process = subprocess.Popen(command, stdout=self.log, stderr=self.log, env=env)
        RUNNING.append(self)
        for _ in range(200):
            if os.path.exists(port_file):
                break
            if self.process.poll() is not None:
                fail("the service stopped at start")
            time.sleep(0.05)
        else:
            fail("the service did not start")
        self.base = "http://127.0.0.1:%s" % open(port_file).read().strip()

    def post(self, reports):
        body = json.dumps(reports).encode()
        request = urllib.request.Request(self.base + "/report", data=body,
                                         headers={"Content-Type": "application/json"})
        try:
            with urllib.request.urlopen(request, timeout=30) as answer:
                return answer.status, json.load(answer)
        except urllib.error.HTTPError as error:
            return error.code, error.read()

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout=20)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.log.close()


def report(machine, ring, release, number, result, reason, when, text=""):
    return {"format": "aurevia-report/1", "machine": machine, "version": "2022.2.8249.%d" % (60000 + release),
            "event": random.choice(["startup", "module"]), "module": "Relatorio" if random.random() < .5 else "",
            "result": result, "reason": reason, "text": text, "files_listed": 49,
            "files_fetched": random.randint(0, 49), "files_failed": 0 if result == "ok" else 1,
            "bytes": random.randint(0, 10 ** 7), "duration_ms": random.randint(50, 9000),
            "time": time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(when)), "ring": ring,
            "rollout_number": number, "rollout_serial": 1765400000, "release": release}


def feed(service, machines, when, upgrade):
    """One report per machine now, some failing; `upgrade`: the share that moves to its ring's release."""
    batch, sent = [], 0
    for m in machines:
        if random.random() < upgrade:
            m["release"] = m["target"]
        for _ in range(random.randint(1, 2)):
            failed = random.random() < 0.08
            result = random.choice(["failed", "refused"]) if failed else "ok"
            batch.append(report(m["name"], m["ring"], m["release"], m["number"], result,
                                random.choice(REASONS) if failed else "none", when,
                                "HTTP 503 do servidor" if failed else ""))
            if len(batch) == 50:
                status, answer = service.post(batch)
                if status != 200 or answer != {"accepted": 50}:
                    fail("a valid batch was refused: %s %s" % (status, answer))
                sent += len(batch)
                batch = []
    if batch:
        status, _ = service.post(batch)
        if status != 200:
            fail("a valid batch was refused: %s" % status)
        sent += len(batch)
    return sent


def sql(db, query):
    out = subprocess.run(["sqlite3", "-readonly", db, query], check=True, capture_output=True, text=True).stdout
    return [line.split("|") for line in out.strip().splitlines()]


class Figures(html.parser.HTMLParser):
    """data-fig values per ring row (data-anel) and elsewhere; every element and rect seen."""

    def __init__(self):
        super().__init__()
        self.rings, self.other, self.tags, self.bars = {}, {}, [], []
        self.ring, self.fig, self.text = None, None, ""

    def handle_starttag(self, tag, attrs):
        a = dict(attrs)
        self.tags.append(tag)
        if tag == "tr" and "data-anel" in a:
            self.ring = a["data-anel"]
            self.rings[self.ring] = {}
        if "data-fig" in a:
            self.fig, self.text = a["data-fig"], ""
        if tag == "rect" and "data-n" in a:
            self.bars.append((a["data-dia"], a["data-release"], int(a["data-n"])))

    def handle_data(self, data):
        if self.fig:
            self.text += data

    def handle_endtag(self, tag):
        if self.fig and tag in ("td", "span"):
            (self.rings[self.ring] if self.ring is not None and tag == "td" or
             (self.ring is not None and self.fig == "na-release") else self.other)[self.fig] = int(self.text)
            self.fig = None
        if tag == "tr":
            self.ring = None


def chromium(args, work, url, extra):
    profile = tempfile.mkdtemp(dir=work, prefix="profile-")
    run = subprocess.run([args.chromium] + CHROMIUM_FLAGS + ["--user-data-dir=" + profile] + extra + [url],
                         capture_output=True, text=True, timeout=120)
    # Console messages (errors, CSP refusals, failed loads) are logged as CONSOLE lines.
    console = [l for l in run.stderr.splitlines() if "CONSOLE" in l or "Content Security Policy" in l]
    if console:
        fail("console messages for %s:\n%s" % (url, "\n".join(console)))
    return run.stdout


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--service", required=True)
    parser.add_argument("--artifacts", required=True)
    parser.add_argument("--chromium", default=shutil.which("chromium") or "chromium")
    parser.add_argument("--machines", type=int, default=1200)
    args = parser.parse_args()
    random.seed(23)
    work = tempfile.mkdtemp(prefix="fleet-browser-")
    try:
        folder = os.path.join(work, "served")
        os.makedirs(folder)
        open(os.path.join(folder, "central.ini"), "w").write("x")
        open(os.path.join(folder, "aurevia-rollout.json"), "w").write(json.dumps(ROLLOUT))
        db = os.path.join(work, "reports.db")

        rings = [("geral", 3, 2), ("piloto", 4, 3), ("lab", 4, 3), ("", 2, 2)]
        machines = []
        for i in range(args.machines):
            ring, target, start = rings[i % len(rings)]
            number = random.randint(0, 99)
            entry = next((r for r in ROLLOUT["rings"] if r["ring"] == ring), ROLLOUT["rings"][0])
            takes = entry["release"] if number < entry["percent"] else entry.get("previous", entry["release"])
            machines.append({"name": "WS-%s-%04d" % ((ring or "X").upper(), i), "ring": ring, "number": number,
                             "release": start - (1 if random.random() < 0.2 else 0), "target": takes,
                             "gone": i % 25 == 3})  # heard from ten days ago only

        total = 0
        # Days ago, the share of machines reporting then, the share upgrading then.
        for days, share, upgrade in ((10, 1.0, 0.2), (6, 0.9, 0.3), (3, 0.9, 0.4), (0, 0.85, 0.5)):
            service = Service(args.service, folder, db, work, "-%dd" % days if days else None)
            now = time.time() - days * 86400
            total += feed(service, [m for m in machines if random.random() < share and not (m["gone"] and days < 10)], now, upgrade)
            if days:
                service.stop()

        # A forged report: its markup must reach the page as text.
        forged = report("WS-FORGED", "geral", 3, 1, "failed", "other", time.time(),
                        "<img src=x onerror=alert(1)><script>alert(2)</script>")
        forged["module"] = "\"><b>negrito</b>"
        status, _ = service.post([forged])
        if status != 200:
            fail("the forged report was refused: %s" % status)
        total += 1
        print("reports stored: %d" % total)
        if int(sql(db, "SELECT count(*) FROM reports")[0][0]) != total:
            fail("the database does not hold every report sent")

        dom = chromium(args, work, service.base + "/painel", ["--dump-dom"])
        page = Figures()
        page.feed(dom)

        # The same figures from the database, by the rollout's rule written in SQL.
        def ring_expected(r):
            unknown = str(r["release"]) if r["percent"] >= 100 or "previous" not in r else "NULL"
            return ("CASE WHEN rollout_number IS NOT NULL THEN (CASE WHEN rollout_number < %d THEN %d ELSE %d END) "
                    "ELSE %s END" % (r["percent"], r["release"], r.get("previous", r["release"]), unknown))

        geral = ROLLOUT["rings"][0]
        expected = "CASE ring %s ELSE %s END" % (
            " ".join("WHEN '%s' THEN %s" % (r["ring"], ring_expected(r)) for r in ROLLOUT["rings"]),
            ring_expected(geral))
        target = "CASE ring %s ELSE %d END" % (
            " ".join("WHEN '%s' THEN %d" % (r["ring"], r["release"]) for r in ROLLOUT["rings"]), geral["release"])
        rows = sql(db, """
            SELECT ring, count(*),
                   sum(release IS %s),
                   sum((%s) IS NOT NULL AND coalesce(release, 0) < (%s)),
                   sum(result <> 'ok'),
                   sum(strftime('%%s','now') - last_seen > %d * 86400)
            FROM machines GROUP BY ring""" % (target, expected, expected, STALE_DAYS))
        names = ["estacoes", "na-release", "atrasadas", "com-falha", "sem-contato"]
        if len(rows) < 4:
            fail("too few rings in the database: %s" % rows)
        for row in rows:
            want = dict(zip(names, map(int, row[1:])))
            got = page.rings.get(row[0])
            if got != want:
                fail("ring %r: page %s, database %s" % (row[0], got, want))
        totals = [int(x) for x in sql(db, "SELECT count(*), sum(result <> 'ok') FROM machines")[0]]
        if [page.rings["*"]["estacoes"], page.rings["*"]["com-falha"]] != totals:
            fail("totals: page %s, database %s" % (page.rings["*"], totals))
        if page.other.get("lista-falha") != totals[1]:
            fail("failing list: page %s, database %s" % (page.other.get("lista-falha"), totals[1]))
        # The chart: per day and release, workstations seen that day.
        bars = sorted(page.bars)
        days = sorted((d, r, int(n)) for d, r, n in sql(
            db, "SELECT day, release, count(*) FROM days WHERE day >= date('now', 'localtime', '-13 days') "
                "GROUP BY day, release"))
        if bars != days or len({d for d, _, _ in bars}) < 4:
            fail("chart: page %s, database %s" % (bars[:8], days[:8]))
        print("page figures equal the database's: %s" % {k: v for k, v in page.rings.items()})

        # Forged markup stays text: no element a report could have added.
        if "img" in page.tags or "script" in page.tags or "b" in page.tags:
            fail("markup from a report became elements: %s" % sorted(set(page.tags)))
        if "&lt;img src=x onerror=alert(1)&gt;" not in dom:
            fail("the forged report's text is not shown as text")

        # A workstation's history, found by the search form's GET.
        name = machines[5]["name"]
        history = chromium(args, work, service.base + "/painel?maquina=" + name.lower(), ["--dump-dom"])
        shown = len(re.findall(r"<tr><td>\d{4}-\d\d-\d\dT", history.split('id="historico"')[-1]))
        stored = int(sql(db, "SELECT min(count(*), 50) FROM reports WHERE machine = '%s'" % name)[0][0])
        if 'id="historico"' not in history or shown != stored:
            fail("history of %s: page %d rows, database %d" % (name, shown, stored))

        os.makedirs(args.artifacts, exist_ok=True)
        shot = os.path.join(args.artifacts, "painel.png")
        if os.path.exists(shot):
            os.remove(shot)
        chromium(args, work, service.base + "/painel",
                 ["--screenshot=" + shot, "--window-size=1600,2200", "--hide-scrollbars"])
        if not os.path.exists(shot) or os.path.getsize(shot) < 10000:
            fail("no screenshot")
        print("screenshot: " + shot)
        service.stop()
        print("PASS")
    finally:
        for service in RUNNING:
            service.stop()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
