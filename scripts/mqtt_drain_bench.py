#!/usr/bin/env python3
"""How fast a gateway's MQTT backlog drains when the broker comes back.

A plant of 40 modules and two DC panels is replayed with no broker, so that
its messages (records, states, alarms) wait in the outbox; then the gateway
runs on an idle line against a local Mosquitto and the outbox is watched
until it is empty. Says the messages, the seconds from the connection to an
empty outbox, and the messages a second.

Usage: scripts/mqtt_drain_bench.py [--rounds N] [--runs N] [--smdgw PATH]
                                   [--powersim PATH] [--plugin PATH]
"""

import argparse
import os
import socket
import sqlite3
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from proc_support import free_port, stop_all, wait_for  # noqa: E402

PROGRAM = "mqtt_drain_bench"
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def waiting(db):
    """Rows in the outbox; None while the file cannot be read."""
    try:
        with sqlite3.connect(f"file:{db}?mode=ro", uri=True, timeout=1) as c:
            return c.execute("SELECT count(*) FROM mqtt_outbox").fetchone()[0]
    except sqlite3.Error:
        return None


def listening(port):
    try:
        socket.create_connection(("127.0.0.1", port), timeout=1).close()
        return True
    except OSError:
        return False


def one_run(args, work, cap, run):
    db = os.path.join(work, f"outbox-{run}.db")
    # The driver's log in the work folder: smdgw rotates its --log file.
    log = os.path.join(work, "driver.log")
    subprocess.run([args.smdgw, *args.plugin, "--config", os.path.join(ROOT, "examples/demo.json"),
                    "--replay", cap, "--log", log, "--clock-start", "2026-01-01T00:00:00Z",
                    "--mqtt", "mqtt://127.0.0.1:9",
                    "--mqtt-outbox", db], stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, check=True)
    total = waiting(db)
    port = free_port()
    conf = os.path.join(work, "mosquitto.conf")
    with open(conf, "w") as f:
        # BENCH_BROKER_EXTRA: more lines for the broker ("set_tcp_nodelay true").
        f.write(f"listener {port} 127.0.0.1\nallow_anonymous true\npersistence false\n"
                + os.environ.get("BENCH_BROKER_EXTRA", ""))
    line = os.path.join(work, f"line-{run}")
    os.mkfifo(line)
    # Held open for writing, nothing written: the line stays quiet.
    hold = os.open(line, os.O_RDWR | os.O_NONBLOCK)
    broker = subprocess.Popen(["mosquitto", "-c", conf], stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL)
    procs = [broker]
    try:
        wait_for(lambda: listening(port), 10, "the broker", PROGRAM)
        gw = subprocess.Popen([args.smdgw, *args.plugin, "--config", os.path.join(ROOT, "examples/demo.json"),
                               "--port", line, "--log", log,
                               "--mqtt", f"mqtt://127.0.0.1:{port}", "--mqtt-outbox", db,
                               "--gateway-id", f"drain{run}"],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        procs.append(gw)
        # From the first message gone to the last.
        wait_for(lambda: (waiting(db) or total) < total, 30, "the first message", PROGRAM)
        start = time.monotonic()
        wait_for(lambda: waiting(db) == 0, 300, "an empty outbox", PROGRAM)
        seconds = time.monotonic() - start
    finally:
        stop_all(procs)
        os.close(hold)
    return total, seconds


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--rounds", type=int, default=3000)
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--smdgw", default=os.path.join(ROOT, "build/smdgw"))
    ap.add_argument("--powersim", default=os.path.join(ROOT, "build/powersim"))
    ap.add_argument("--plugin", help="the driver plug-in, for an smdgw outside its build")
    args = ap.parse_args()
    args.plugin = ["--plugin", args.plugin] if args.plugin else []
    with tempfile.TemporaryDirectory() as work:
        cap = os.path.join(work, "sim.cap")
        subprocess.run([args.powersim, "--out", cap, "--rounds", str(args.rounds), "--modules",
                        "40", "--panels", "2", "--seed", "7",
                        "--fault", "breaker-trip:1@100-130"],
                       stderr=subprocess.DEVNULL, check=True)
        print(f"{'messages':>9} {'seconds':>8} {'msg/s':>8}")
        for run in range(args.runs):
            total, seconds = one_run(args, work, cap, run)
            print(f"{total:>9} {seconds:>8.2f} {total / seconds:>8.0f}")


if __name__ == "__main__":
    main()
