#!/usr/bin/env python3
"""The NUT server under many pollers, while a live plant is followed.

Starts powersim as a live plant at 9600 baud served over TCP, a relay that
hands the line to smdgw and counts every byte smdgw sends towards the plant,
and smdgw following it with --nut-listen. CLIENTS connections then each send
LIST VAR once a second for SECONDS (as Home Assistant or a Prometheus NUT
exporter would), and it prints:
  - the answers: how many, how many late or wrong, and their time (p50, p99, max);
  - whether each client's polls kept their second (the lateness of each round);
  - the bytes smdgw sent towards the plant (a listening gateway sends none);
  - the CPU time of smdgw's NUT thread (smdgw-nut) and of the whole process.

Usage: scripts/nut_bench.py [--build build] [--clients 100] [--seconds 30]
"""

import argparse
import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from proc_support import free_port, process_cpu, thread_cpu  # noqa: E402
from proc_support import stop_all, wait_for as wait  # noqa: E402


def wait_for(ok, seconds, what):
    wait(ok, seconds, what, "nut_bench")


class Relay:
    """plant <-> smdgw, counting what smdgw sends."""

    def __init__(self, plant_port):
        self.plant_port, self.to_plant = plant_port, 0
        self.server = socket.socket()
        self.server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.server.bind(("127.0.0.1", 0))
        self.server.listen(1)
        self.port = self.server.getsockname()[1]
        threading.Thread(target=self.run, daemon=True).start()

    def pipe(self, a, b, count):
        while True:
            data = a.recv(4096)
            if not data:
                return
            if count:
                self.to_plant += len(data)
            b.sendall(data)

    def run(self):
        gw, _ = self.server.accept()
        plant = socket.create_connection(("127.0.0.1", self.plant_port))
        threading.Thread(target=self.pipe, args=(plant, gw, False), daemon=True).start()
        self.pipe(gw, plant, True)


def list_var(sock, buf):
    sock.sendall(b"LIST VAR plant1\n")
    while b"END LIST VAR plant1\n" not in buf[0]:
        data = sock.recv(65536)
        if not data:
            raise ConnectionError("closed")
        buf[0] += data
    answer, buf[0] = buf[0].split(b"END LIST VAR plant1\n", 1)
    return answer


def percentile(values, p):
    values = sorted(values)
    return values[min(len(values) - 1, int(p * len(values)))] if values else float("nan")


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--build", default="build", help="the build folder (default build)")
    ap.add_argument("--clients", type=int, default=100)
    ap.add_argument("--seconds", type=float, default=30.0)
    args = ap.parse_args()
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    build = os.path.join(root, args.build)
    work = tempfile.mkdtemp(prefix="nut_bench.")
    procs = []
    try:
        with open(work + "/gw.json", "w") as f:
            json.dump({"devices": [{"name": "plant1", "data_id": 418, "address": 1,
                                    "battery": {"strings_ah": [200]}}]}, f)
        line = free_port()
        procs.append(subprocess.Popen(
            [build + "/powersim", "--listen", f"tcp:127.0.0.1:{line}", "--realtime", "--rounds",
             "0", "--battery-ah", "200", "--battery-strings", "1", "--fault", "load:50@1-"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        time.sleep(0.3)
        relay = Relay(line)
        err = open(work + "/err.txt", "w")
        gw = subprocess.Popen(
            [build + "/smdgw", "--plugin", build + "/libveltra_quelm_k418t_419.so", "--config",
             work + "/gw.json", "--port", f"tcp:127.0.0.1:{relay.port}", "--nut-listen",
             "127.0.0.1:0", "--nut-max-connections", str(args.clients + 8),
             "--nut-max-per-client", str(args.clients + 8)],
            stdout=subprocess.DEVNULL, stderr=err)
        procs.append(gw)

        def port():
            text = open(work + "/err.txt").read()
            at = text.find("on 127.0.0.1:")
            return int(text[at + 13:].split(",")[0]) if at >= 0 else 0

        wait_for(lambda: port() > 0, 10, "the NUT server")
        nut = port()

        def live():
            with socket.create_connection(("127.0.0.1", nut)) as s:
                s.sendall(b"GET VAR plant1 ups.status\n")
                return s.recv(4096).startswith(b"VAR ")

        wait_for(live, 30, "a live round")
        results, lock = [], threading.Lock()
        start = time.monotonic() + 1.0
        before = relay.to_plant

        def client(k):
            sock = socket.create_connection(("127.0.0.1", nut))
            buf, mine = [b""], []
            offset = k / args.clients  # spread over the second
            n = 0
            while True:
                due = start + offset + n
                if due > start + args.seconds:
                    break
                wait = due - time.monotonic()
                if wait > 0:
                    time.sleep(wait)
                t0 = time.monotonic()
                try:
                    answer = list_var(sock, buf)
                    ok = b"VAR plant1 ups.status" in answer
                except (ConnectionError, OSError):
                    ok = False
                mine.append((time.monotonic() - t0, t0 - due, ok))
                n += 1
            sock.close()
            with lock:
                results.extend(mine)

        cpu_nut0, cpu_all0 = thread_cpu(gw.pid, "smdgw-nut"), process_cpu(gw.pid)
        threads = [threading.Thread(target=client, args=(k,)) for k in range(args.clients)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        cpu_nut1, cpu_all1 = thread_cpu(gw.pid, "smdgw-nut"), process_cpu(gw.pid)
        times = [d for d, _, ok in results if ok]
        late = sum(1 for _, lateness, _ in results if lateness > 0.5)
        wrong = sum(1 for _, _, ok in results if not ok)
        print(f"{args.clients} clients, LIST VAR once a second for {args.seconds:.0f} s: "
              f"{len(results)} answers, {wrong} wrong or missing, {late} polls more than 0.5 s late")
        print(f"answer time: p50 {percentile(times, 0.5) * 1000:.2f} ms, "
              f"p99 {percentile(times, 0.99) * 1000:.2f} ms, max {max(times) * 1000:.2f} ms")
        lateness = [lt for _, lt, _ in results]
        print(f"poll lateness: p99 {percentile(lateness, 0.99) * 1000:.1f} ms")
        print(f"bytes smdgw sent towards the plant during the bench: {relay.to_plant - before}")
        if cpu_nut0 is not None and cpu_nut1 is not None:
            print(f"smdgw-nut thread: {cpu_nut1 - cpu_nut0:.2f} s CPU over {args.seconds:.0f} s")
        print(f"smdgw, all threads: {cpu_all1 - cpu_all0:.2f} s CPU")
    finally:
        stop_all(procs)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
