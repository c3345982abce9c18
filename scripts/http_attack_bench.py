#!/usr/bin/env python3
"""The attacks on smdgw's HTTP service, reproduced on loopback, with figures.

smdgw follows a live simulated plant over a pseudo-terminal pair (socat,
powersim ten times faster than the wire) with a long stored history, while:

  fields    one history GET naming dc.v 1,600 times over the whole history:
            its time and the gateway's peak memory over idle (VmHWM)
  queries   16 clients looping full-range history queries: /healthz every
            50 ms (p50, p99, max) and whether every round was published on time
  flood     a client without the token floods control from 127.0.0.5 while
            a token holder acknowledges from the same address: its 429s
  polite    250 addresses x 16 keep-alive connections asking /healthz every
            4 s, opening a new one for the next request when one is closed
            (127.0.0.2 to 127.0.0.251 stand in for the addresses); probes
            of /healthz from 127.0.0.1 and of a token request from 127.0.2.1
  slow      the same connections sending a header line every 2 s, never its
            end, and coming back at once when closed

  BUILD_DIR=build scripts/http_attack_bench.py
  BUILD_DIR=build scripts/http_attack_bench.py --rounds 20000 --only polite,slow
"""

import argparse
import os
import re
import resource
import selectors
import socket
import sqlite3
import statistics
import subprocess
import sys
import tempfile
import threading
import time

SECRET = "correct-horse-battery-staple-42"
CONFIG = '{"devices":[{"name":"plant1","data_id":418,"address":1}]}'


def percentile(values, p):
    values = sorted(values)
    return values[min(len(values) - 1, int(len(values) * p / 100))] if values else float("nan")


def ask(port, request, source="127.0.0.1", timeout=10.0):
    """One request on a fresh connection: (status, seconds); status 0 if none."""
    start = time.monotonic()
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=timeout,
                                      source_address=(source, 0)) as s:
            s.sendall(request.encode())
            got = b""
            while b"\r\n\r\n" not in got:
                chunk = s.recv(65536)
                if not chunk:
                    break
                got += chunk
            m = re.match(rb"HTTP/1\.1 (\d+)", got)
            return (int(m.group(1)) if m else 0), time.monotonic() - start
    except OSError:
        return 0, time.monotonic() - start


def get(path, extra=""):
    return f"GET {path} HTTP/1.1\r\nHost: 127.0.0.1\r\n{extra}Connection: close\r\n\r\n"


class Gateway:
    def __init__(self, build, work, history):
        self.build, self.work, self.history = build, work, history
        self.bridge = subprocess.Popen(
            ["socat", f"pty,raw,echo=0,link={work}/plant", f"pty,raw,echo=0,link={work}/gateway"])
        for _ in range(100):
            if os.path.exists(f"{work}/gateway") and os.path.exists(f"{work}/plant"):
                break
            time.sleep(0.05)
        with open(f"{work}/gateway.json", "w") as f:
            f.write(CONFIG)
        token = f"{work}/control.token"
        with open(token, "w") as f:
            f.write(SECRET + "\n")
        os.chmod(token, 0o600)
        self.proc = self.plant = None
        self.token = token

    def start(self, plant=True):
        self.out = open(f"{self.work}/out.txt", "w")
        err = f"{self.work}/err.txt"
        self.proc = subprocess.Popen(
            [f"{self.build}/smdgw", "--config", f"{self.work}/gateway.json", "--plugin",
             f"{self.build}/libveltra_quelm_k418t_419.so", "--port", f"{self.work}/gateway",
             "--log", "/dev/null", "--http", "127.0.0.1:0", "--history", self.history,
             "--http-control-token", self.token, "--time-scale", "10"],
            stdout=self.out, stderr=open(err, "w"))
        self.port = 0
        for _ in range(600):
            m = re.search(r"serving http://127\.0\.0\.1:(\d+)/", open(err).read())
            if m:
                self.port = int(m.group(1))
                break
            time.sleep(0.05)
        if not self.port:
            sys.exit("http_attack_bench: smdgw did not serve:\n" + open(err).read())
        if plant:
            self.plant = subprocess.Popen(
                [f"{self.build}/powersim", "--port", f"{self.work}/plant", "--realtime",
                 "--time-scale", "10", "--interval", "0", "--rounds", "0", "--json",
                 f"{self.work}/sent.json"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def stop(self):
        for p in (self.plant, self.proc):
            if p:
                p.terminate()
                p.wait(30)
        self.plant = self.proc = None

    def status(self, key):
        for line in open(f"/proc/{self.proc.pid}/status"):
            if line.startswith(key + ":"):
                return int(line.split()[1])
        return 0

    def rounds(self):
        sent = sum(1 for _ in open(f"{self.work}/sent.json")) if os.path.exists(
            f"{self.work}/sent.json") else 0
        published = open(f"{self.work}/out.txt").read().count('"event":"record"')
        return sent, published

    def on_time(self):
        """Every round sent so far is published within a second."""
        sent, _ = self.rounds()
        end = time.monotonic() + 1.0
        while time.monotonic() < end:
            if self.rounds()[1] >= sent:
                return True, sent
            time.sleep(0.05)
        return self.rounds()[1] >= sent, sent


def make_history(gw, rounds):
    # The gateway makes the file; the rounds go in beside it, all at once.
    gw.start(plant=False)
    gw.stop()
    db = sqlite3.connect(gw.history)
    now = int(time.time())
    db.execute(
        "WITH RECURSIVE n(k) AS (SELECT 0 UNION ALL SELECT k + 1 FROM n WHERE k + 1 < ?) "
        "INSERT INTO history (device, data_id, time, record, complete, ac_fresh, "
        "rectifiers_fresh, dc_fresh) SELECT 'plant1', 418, ? - 2 * ? + 2 * k, zeroblob(2704), "
        "1, 1, 1, 1 FROM n", (rounds, now, rounds))
    db.commit()
    db.close()


def fields(gw, rounds):
    many = ",".join(["dc.v"] * 1600)
    idle = gw.status("VmRSS")
    before = gw.status("VmHWM")
    status, took = ask(gw.port, get(f"/api/v1/devices/plant1/history?since=0&fields={many}"))
    peak = max(gw.status("VmHWM"), before)
    print(f"fields: dc.v x1600 over {rounds} rounds: {status} in {took:.2f} s; "
          f"idle VmRSS {idle} KiB, peak VmHWM {peak} KiB (+{peak - idle} KiB over idle)")


def queries(gw, seconds):
    stop = threading.Event()
    counts = {}
    lock = threading.Lock()

    def loop():
        while not stop.is_set():
            status, _ = ask(gw.port, get("/api/v1/devices/plant1/history?since=0&fields=dc.v"))
            with lock:
                counts[status] = counts.get(status, 0) + 1

    threads = [threading.Thread(target=loop) for _ in range(16)]
    for t in threads:
        t.start()
    waits, bad, late = [], 0, 0
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        status, took = ask(gw.port, get("/healthz"))
        waits.append(took)
        bad += status != 200
        time.sleep(0.05)
    on_time, sent = gw.on_time()
    stop.set()
    for t in threads:
        t.join()
    print(f"queries: 16 clients looping full-range history for {seconds} s: answers {counts}; "
          f"/healthz {len(waits)} probes, p50 {1000 * percentile(waits, 50):.1f} ms, "
          f"p99 {1000 * percentile(waits, 99):.1f} ms, max {1000 * max(waits):.1f} ms, "
          f"{bad} not 200; rounds sent {sent}, all published on time: {on_time}")


def flood(gw, seconds):
    stop = threading.Event()
    flooded = {}
    body = '{"code":320,"text":"1"}'
    control = (f"POST /api/v1/devices/plant1/control HTTP/1.1\r\nHost: 127.0.0.1\r\n"
               f"Content-Length: {len(body)}\r\nConnection: close\r\n\r\n{body}")

    def loop():
        while not stop.is_set():
            status, _ = ask(gw.port, control, "127.0.0.5")
            flooded[status] = flooded.get(status, 0) + 1
            time.sleep(0.1)

    t = threading.Thread(target=loop)
    t.start()
    ack_body = '{"by":"ana"}'
    ack = (f"POST /api/v1/devices/plant1/alarms/plant1.x.y.1/ack HTTP/1.1\r\n"
           f"Host: 127.0.0.1\r\nAuthorization: Bearer {SECRET}\r\n"
           f"Content-Length: {len(ack_body)}\r\nConnection: close\r\n\r\n{ack_body}")
    holder = {}
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        status, _ = ask(gw.port, ack, "127.0.0.5")
        holder[status] = holder.get(status, 0) + 1
        time.sleep(0.25)
    stop.set()
    t.join()
    print(f"flood: client without the token, 10 a second: {flooded}; token holder beside it "
          f"(404: no such alarm raised): {holder}; 429s for the holder: {holder.get(429, 0)}")


def address(i):
    # 127.0.0.2 ... 127.0.0.251: 250 addresses that are not 127.0.0.1.
    return f"127.0.0.{2 + i}"


def crowd(gw, kind, seconds, addresses=250, per_address=16):
    """addresses x per_address connections, polite or slow, kept up (reconnecting
    when closed) on one selector thread; probes from 127.0.0.1 and 127.0.2.1."""
    resource.setrlimit(resource.RLIMIT_NOFILE, (resource.getrlimit(resource.RLIMIT_NOFILE)[1],) * 2)
    sel = selectors.DefaultSelector()
    stop = threading.Event()
    stats = {"connects": 0, "closed": 0}
    polite = get("/healthz").replace("Connection: close\r\n", "").encode()

    def connect(src):
        s = socket.socket()
        s.setblocking(False)
        try:
            s.bind((src, 0))
            s.connect_ex(("127.0.0.1", gw.port))
        except OSError:
            s.close()
            return
        stats["connects"] += 1
        sel.register(s, selectors.EVENT_READ | selectors.EVENT_WRITE,
                     {"src": src, "next": time.monotonic(), "opened": False})

    later = []  # (when, address): connections to open again

    def run():
        for i in range(addresses):
            for _ in range(per_address):
                connect(address(i))
        while not stop.is_set():
            now = time.monotonic()
            for key, mask in sel.select(0.05):
                s, d = key.fileobj, key.data
                gone = False
                if mask & selectors.EVENT_READ:
                    try:
                        gone = not s.recv(65536)
                    except OSError:
                        gone = True
                if not gone and mask & selectors.EVENT_WRITE and now >= d["next"]:
                    try:
                        if kind == "polite":
                            s.send(polite)
                            d["next"] = now + 4
                        else:
                            s.send(b"GET /healthz HTTP/1.1\r\nHost: 127.0.0.1\r\n" if not d["opened"]
                                   else b"X-Slow: 1\r\n")
                            d["next"] = now + 2
                        d["opened"] = True
                    except OSError:
                        gone = True
                if gone:
                    stats["closed"] += 1
                    sel.unregister(s)
                    s.close()
                    # A polite client comes back with its next request; a
                    # slow attacker at once.
                    later.append((d["next"] if kind == "polite" else now, d["src"]))
            for due, src in [x for x in later if x[0] <= now]:
                later.remove((due, src))
                connect(src)
            # Writable sockets are asked about again only when something is due.
            for key in list(sel.get_map().values()):
                want = selectors.EVENT_READ | (selectors.EVENT_WRITE if now >= key.data["next"] else 0)
                if key.events != want:
                    sel.modify(key.fileobj, want, key.data)
        for key in list(sel.get_map().values()):
            key.fileobj.close()

    t = threading.Thread(target=run)
    t.start()
    time.sleep(3)  # the crowd has come in
    health, holder = [], []
    end = time.monotonic() + seconds
    token = get("/api/v1/devices", f"Authorization: Bearer {SECRET}\r\n")
    while time.monotonic() < end:
        health.append(ask(gw.port, get("/healthz"), "127.0.0.1", 5))
        holder.append(ask(gw.port, token, "127.0.2.1", 5))
        time.sleep(0.5)
    on_time, sent = gw.on_time()
    stop.set()
    t.join()
    for name, probes in (("/healthz from 127.0.0.1", health), ("token request from 127.0.2.1", holder)):
        ok = [w for st, w in probes if st == 200]
        print(f"{kind}: {addresses} x {per_address} connections: {name}: {len(ok)} of "
              f"{len(probes)} answered 200, slowest {1000 * max(w for _, w in probes):.1f} ms, "
              f"within 1 s: {sum(1 for st, w in probes if st == 200 and w < 1.0)}")
    print(f"{kind}: attackers connected {stats['connects']} times, closed {stats['closed']}; "
          f"rounds sent {sent}, all published on time: {on_time}")


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--build", default=os.environ.get("BUILD_DIR", "build"))
    ap.add_argument("--rounds", type=int, default=100000)
    ap.add_argument("--seconds", type=int, default=20)
    ap.add_argument("--only", default="fields,queries,flood,polite,slow")
    a = ap.parse_args()
    wanted = a.only.split(",")
    with tempfile.TemporaryDirectory() as work:
        gw = Gateway(a.build, work, f"{work}/history.db")
        try:
            make_history(gw, a.rounds)
            gw.start()
            time.sleep(2)  # a few rounds in
            if "fields" in wanted:
                fields(gw, a.rounds)
            if "queries" in wanted:
                queries(gw, a.seconds)
            if "flood" in wanted:
                flood(gw, a.seconds)
            for kind in ("polite", "slow"):
                if kind in wanted:
                    crowd(gw, kind, a.seconds)
        finally:
            gw.stop()
            gw.bridge.terminate()


if __name__ == "__main__":
    main()
