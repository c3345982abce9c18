#!/usr/bin/env python3
"""Bytes smdgw writes to storage per round on a live line, per output.

smdgw follows powersim over a pseudo-terminal pair (socat), as it follows a
plant on a serial port: rounds come one by one at the line's speed, so every
output writes as it would in the field (a replay would hand the history its
rounds in large batches). For each set of options the kernel's count of the
bytes the process caused to be written to storage (/proc/PID/io:
write_bytes less cancelled_write_bytes, counted in 4 KiB pages as they reach
the disk) is read at the second round and again the asked number of rounds
later, while smdgw runs on, and divided by them; what it writes once at
start and at the end is left out. SQLite copies the history's write-ahead
log into the database only every 4 MiB (some 700 rounds); so that a short
run shows that cost too, the bench copies the log at the start of the window
(uncounted) and at its end, counting the bytes of that copy. Standard output (the journal, under the
unit) is counted apart: journald writes it, not smdgw.

With --time-scale X the line runs X times faster, and the options measured
in seconds (--history-commit-s, --prometheus-interval, --mqtt-record-interval)
are divided by X, so that the figures per round stay those of a real line.
"""

import argparse
import os
import shutil
import socket
import sqlite3
import subprocess
import sys
import tempfile
import time


def io_written(pid="self"):
    """Storage bytes written by the process so far."""
    fields = {}
    with open(f"/proc/{pid}/io") as f:
        for line in f:
            key, _, value = line.partition(":")
            fields[key] = int(value)
    return fields["write_bytes"] - fields["cancelled_write_bytes"]


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(path, seconds=10.0):
    end = time.monotonic() + seconds
    while not os.path.exists(path):
        if time.monotonic() > end:
            raise RuntimeError(f"{path} did not appear")
        time.sleep(0.05)


def measure(a, work, extra, rounds):
    """(storage bytes per round, stdout bytes per round) for one run."""
    plant_end, gw_end = os.path.join(work, "plant"), os.path.join(work, "gateway")
    socat = subprocess.Popen(["socat", f"pty,raw,echo=0,link={plant_end}",
                              f"pty,raw,echo=0,link={gw_end}"])
    procs = [socat]
    try:
        wait_for(plant_end)
        wait_for(gw_end)
        gw = subprocess.Popen(
            [a.smdgw, "--plugin", a.plugin, "--config", a.config, "--port", gw_end,
             "--stats-interval", "0"] + extra,
            cwd=work, stdout=subprocess.PIPE, stderr=open(os.path.join(work, "err"), "w"))
        procs.append(gw)
        sim = subprocess.Popen(
            [a.powersim, "--port", plant_end, "--modules", "40", "--realtime",
             "--interval", "0.9", "--time-scale", str(a.time_scale), "--rounds", "0",
             "--seed", "7"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        procs.append(sim)
        # From the second round (the start and the first round write files
        # once per run) to rounds later, while the gateway runs on.
        seen, base, end, out_bytes = 0, None, None, 0
        history = os.path.join(work, "h.db")
        db = None
        for line in gw.stdout:
            if base is not None:
                out_bytes += len(line)
            if b'"event":"record"' not in line:
                continue
            seen += 1
            if seen == 2:
                if os.path.exists(history):
                    # The log starts empty; its copy into the database at
                    # the end is counted below.
                    db = sqlite3.connect(history, isolation_level=None)
                    db.execute("PRAGMA wal_checkpoint(PASSIVE)")
                base = io_written(gw.pid)
            if seen == 2 + rounds:
                end = io_written(gw.pid)
                break
        if end is None:
            err = open(os.path.join(work, "err")).read()
            raise RuntimeError(f"smdgw {' '.join(extra)} stopped early: {err}")
        if db is not None:
            # SQLite copies its write-ahead log into the database every 4 MiB
            # (some 700 rounds): the copy of the window's pages is done here
            # and counted, so that a short run shows the whole cost.
            before = io_written()
            db.execute("PRAGMA wal_checkpoint(PASSIVE)")
            end += io_written() - before
            db.close()
        return (end - base) / rounds, out_bytes / rounds
    finally:
        for p in reversed(procs):
            if p.poll() is None:
                p.terminate()
                try:
                    p.wait(10)
                except subprocess.TimeoutExpired:
                    p.kill()


def main():
    p = argparse.ArgumentParser(description=__doc__,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--smdgw", required=True)
    p.add_argument("--powersim", required=True)
    p.add_argument("--plugin", required=True)
    p.add_argument("--config", required=True, help="the gateway configuration")
    p.add_argument("--rounds", type=int, default=20, help="rounds measured per run")
    p.add_argument("--time-scale", type=float, default=4.0)
    p.add_argument("--only", default="", help="only the runs whose options contain this text")
    p.add_argument("--target", type=float, default=12000.0,
                   help="bytes per round allowed with the unit's defaults and --history")
    a = p.parse_args()
    for name in ("smdgw", "powersim", "plugin", "config"):
        setattr(a, name, os.path.abspath(getattr(a, name)))
    scale = a.time_scale
    commit = f"{10.0 / scale:g}"
    interval = f"{15.0 / scale:g}"
    runs = [
        ("the unit's defaults (no driver log)", []),
        ("--history (the target)", ["--history", "h.db", "--history-commit-s", commit]),
        ("--history, full (oldest rows deleted)", ["--history", "h.db", "--history-commit-s",
                                                   commit, "--history-max-rows", "10"]),
        ("--history, a commit per round", ["--history", "h.db", "--history-commit-s", "0"]),
        ("--prometheus", ["--prometheus", "p.prom", "--prometheus-interval", interval]),
        ("--prometheus after every round", ["--prometheus", "p.prom",
                                            "--prometheus-interval", "0"]),
        ("--log (the driver's log)", ["--log", "driver.log"]),
        ("--record", ["--record", "line.cap"]),
    ]
    broker = None
    if shutil.which("mosquitto"):
        port = free_port()
        broker = subprocess.Popen(["mosquitto", "-p", str(port)],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(0.5)
        runs.append(("--mqtt, outbox in --history", [
            "--history", "h.db", "--history-commit-s", commit,
            "--mqtt", f"mqtt://127.0.0.1:{port}"]))
        runs.append(("--mqtt, compact records every 60 s", [
            "--history", "h.db", "--history-commit-s", commit,
            "--mqtt", f"mqtt://127.0.0.1:{port}", "--mqtt-payload", "compact",
            "--mqtt-record-interval", f"{60.0 / scale:g}"]))
    runs = [r for r in runs if a.only in r[0]]
    print(f"40-module plant, {a.rounds} rounds per run, line x{scale:g} "
          f"(--history-commit-s {commit}, --prometheus-interval {interval})")
    print(f"{'options':42} {'storage B/round':>16} {'stdout B/round':>15}")
    results = {}
    try:
        for label, extra in runs:
            with tempfile.TemporaryDirectory(dir=os.environ.get("STORAGE_BENCH_DIR")) as work:
                written, out = measure(a, work, extra, a.rounds)
            results[label] = written
            print(f"{label:42} {written:16.0f} {out:15.0f}", flush=True)
    finally:
        if broker:
            broker.terminate()
            broker.wait()
    if "--history (the target)" not in results:
        return 0
    target = results["--history (the target)"]
    ok = target <= a.target
    print(f"\nthe unit's defaults with --history: {target:.0f} bytes per round, "
          f"target at most {a.target:.0f}: {'met' if ok else 'MISSED'}")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
