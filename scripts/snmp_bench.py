#!/usr/bin/env python3
"""The SNMP subagent under a walk storm, while a live plant is followed.

Starts snmpd (AgentX master, an SNMPv3 authPriv user) on loopback, powersim
as a live plant at 9600 baud served over TCP, and smdgw following it with
--snmp-agentx. After a quiet spell it starts RATE snmpbulkwalk runs a second
of entPhySensorTable (SNMPv3 authPriv) for SECONDS, and prints:
  - the walks: how many, rows per walk, and their time (p50, p95, max);
  - the CPU time of smdgw's agent thread (smdgw-snmp) and of the whole
    process during the storm;
  - the rounds: the gaps between published records before and during the
    storm (they keep the plant's pace when the agent does not hold the line).

Usage: scripts/snmp_bench.py [--build build] [--seconds 30] [--rate 10]
"""

import argparse
import json
import os
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from proc_support import free_port, process_cpu, thread_cpu  # noqa: E402
from proc_support import stop_all, wait_for as wait  # noqa: E402


def wait_for(ok, seconds, what):
    wait(ok, seconds, what, "snmp_bench")

USER, AUTH, PRIV = "bench", "bench-auth-secret", "bench-priv-secret"
SENSORS = "1.3.6.1.2.1.99.1.1"


class Lines:
    """Stamps each line of a growing file with when it first appeared."""

    def __init__(self, path):
        self.path, self.stamps, self.stop = path, [], False
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def run(self):
        seen = 0
        while not self.stop:
            try:
                with open(self.path) as f:
                    lines = f.read().split("\n")[:-1]
            except FileNotFoundError:
                lines = []
            now = time.monotonic()
            for line in lines[seen:]:
                self.stamps.append((now, line))
            seen = len(lines)
            time.sleep(0.01)

    def records(self, since, until):
        out = []
        for t, line in list(self.stamps):
            if since <= t < until and '"event":"record"' in line:
                out.append(t)
        return out


def gaps(times):
    return [b - a for a, b in zip(times, times[1:])]


def describe(values, unit="s"):
    if not values:
        return "none"
    values = sorted(values)
    p95 = values[min(len(values) - 1, int(0.95 * len(values)))]
    return (f"p50 {statistics.median(values):.3f} {unit}, p95 {p95:.3f} {unit}, "
            f"max {values[-1]:.3f} {unit} ({len(values)})")


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--build", default="build", help="the build folder (default build)")
    ap.add_argument("--seconds", type=float, default=30.0, help="length of the storm")
    ap.add_argument("--rate", type=float, default=10.0, help="walks started a second")
    ap.add_argument("--quiet", type=float, default=10.0, help="seconds before the storm")
    args = ap.parse_args()
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    build = os.path.join(root, args.build)
    for tool in ("snmpd", "snmpbulkwalk"):
        if not shutil.which(tool) and not os.path.exists("/usr/sbin/" + tool):
            sys.exit(f"snmp_bench: {tool} is missing (scripts/setup.sh installs snmpd and snmp)")

    work = tempfile.mkdtemp(prefix="snmp_bench.")
    procs = []
    try:
        env = dict(os.environ, MIBS="", SNMP_PERSISTENT_DIR=work + "/snmp-state", HOME=work)
        udp, line = free_port(socket.SOCK_DGRAM), free_port(socket.SOCK_STREAM)
        agentx = work + "/agentx"
        with open(work + "/snmpd.conf", "w") as f:
            f.write(f"agentAddress udp:127.0.0.1:{udp}\nmaster agentx\n"
                    f"agentXSocket unix:{agentx}\nagentXPerms 0660 0770\n"
                    f'createUser {USER} SHA "{AUTH}" AES "{PRIV}"\nrouser {USER} priv\n')
        with open(work + "/gw.json", "w") as f:
            json.dump({"devices": [{"name": "plant1", "data_id": 418, "address": 1}]}, f)
        procs.append(subprocess.Popen(
            ["/usr/sbin/snmpd", "-f", "-C", "-c", work + "/snmpd.conf", "-Lf", work + "/snmpd.log",
             "-p", work + "/snmpd.pid"], env=env))
        wait_for(lambda: os.path.exists(agentx), 10, "snmpd's AgentX socket")
        procs.append(subprocess.Popen(
            [build + "/powersim", "--listen", f"tcp:127.0.0.1:{line}", "--realtime", "--rounds",
             "0", "--interval", "1"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        time.sleep(0.3)
        out, err = open(work + "/out.json", "w"), open(work + "/err.txt", "w")
        gw = subprocess.Popen(
            [build + "/smdgw", "--plugin", build + "/libveltra_quelm_k418t_419.so", "--config",
             work + "/gw.json", "--port", f"tcp:127.0.0.1:{line}", "--snmp-agentx",
             "unix:" + agentx, "--snmp-state-dir", work, "--snmp-heartbeat", "0"],
            stdout=out, stderr=err)
        procs.append(gw)
        lines = Lines(work + "/out.json")
        wait_for(lambda: "registered with the AgentX master" in open(work + "/err.txt").read(), 10,
                 "the subagent's registration")

        walk = ["snmpbulkwalk", "-v3", "-l", "authPriv", "-u", USER, "-a", "SHA", "-A", AUTH,
                "-x", "AES", "-X", PRIV, "-On", "-t", "5", "-r", "0", f"udp:127.0.0.1:{udp}",
                SENSORS]
        quiet_start = time.monotonic()
        time.sleep(args.quiet)
        results, lock = [], threading.Lock()

        def one_walk():
            t0 = time.monotonic()
            r = subprocess.run(walk, env=env, capture_output=True, text=True)
            rows = r.stdout.count("\n") if r.returncode == 0 else -1
            with lock:
                results.append((time.monotonic() - t0, rows))

        cpu_agent0, cpu_all0 = thread_cpu(gw.pid, "smdgw-snmp"), process_cpu(gw.pid)
        storm_start = time.monotonic()
        threads, n = [], 0
        while time.monotonic() < storm_start + args.seconds:
            due = storm_start + n / args.rate
            if time.monotonic() < due:
                time.sleep(due - time.monotonic())
            t = threading.Thread(target=one_walk)
            t.start()
            threads.append(t)
            n += 1
        storm_end = time.monotonic()
        for t in threads:
            t.join()
        cpu_agent1, cpu_all1 = thread_cpu(gw.pid, "smdgw-snmp"), process_cpu(gw.pid)
        lines.stop = True

        latencies = [d for d, rows in results if rows > 0]
        failed = sum(1 for _, rows in results if rows <= 0)
        rows = max((r for _, r in results), default=0)
        before = gaps(lines.records(quiet_start, storm_start))
        during = gaps(lines.records(storm_start, storm_end))
        span = storm_end - storm_start
        print(f"walks: {len(results)} in {span:.1f} s ({len(results) / span:.1f}/s), "
              f"{rows} rows each, {failed} failed")
        print(f"walk time (snmpbulkwalk, SNMPv3 authPriv, process start included): "
              f"{describe(latencies)}")
        if cpu_agent0 is not None and cpu_agent1 is not None:
            agent = cpu_agent1 - cpu_agent0
            print(f"agent thread smdgw-snmp: {agent:.2f} s CPU over {span:.1f} s "
                  f"({100 * agent / span:.1f} % of a core)")
        print(f"smdgw, all threads: {cpu_all1 - cpu_all0:.2f} s CPU over {span:.1f} s")
        print(f"gaps between rounds before the storm: {describe(before)}")
        print(f"gaps between rounds during the storm: {describe(during)}")
        if before and during:
            drift = statistics.median(during) - statistics.median(before)
            print(f"median gap changed by {drift * 1000:+.0f} ms; "
                  f"largest gap {max(during):.3f} s against {max(before):.3f} s before")
    finally:
        stop_all(procs)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
