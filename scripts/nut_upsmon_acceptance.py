#!/usr/bin/env python3
"""upsmon as a secondary of the NUT server, on scaled time.

Each scenario runs powersim (a plant with a battery, --realtime on scaled
time) and smdgw (--time-scale, --nut-listen, --nut-users) over a
pseudo-terminal pair, and Debian's upsmon (nut-client) as a secondary with
POLLFREQ 1, HOSTSYNC 5, DEADTIME 5, FINALDELAY 0 and a SHUTDOWNCMD that
touches a file:

  mains       mains fails, the battery holds hours: nothing is shut down
  low         mains fails on a small battery: once ups.status has LB the file
              appears within 10 s
  lost-ol     the serial line goes quiet on line power: nothing is shut down
  lost-ob     the serial line goes quiet on battery: once the gateway answers
              DATA-STALE, upsmon counts the UPS dead after DEADTIME and, last
              seen on battery, shuts down

    scripts/nut_upsmon_acceptance.py --build build
    scripts/nut_upsmon_acceptance.py --build build low lost-ob

Exit status 0 when every check held, 1 otherwise.
"""

import argparse
import json
import os
import signal
import socket
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "support"))
from pty_pair import PtyPair  # noqa: E402
sys.path.insert(0, os.path.join(ROOT, "scripts"))
from proc_support import free_port  # noqa: E402

SCALE = "120"
UPSMON = "/lib/nut/upsmon"
USER, PASSWORD = "monuser", "mon pass"


def ask(port, request):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=5) as s:
            s.sendall(request.encode() + b"\n")
            return s.recv(4096).decode()
    except OSError:
        return ""


def wait_for(ok, seconds):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if ok():
            return True
        time.sleep(0.1)
    return ok()


def status(port):
    a = ask(port, "GET VAR plant1 ups.status")
    return a.split('"')[1] if a.startswith("VAR ") else a.strip()


class Run:
    def __init__(self, work, battery_ah, critical_min, mains_fail_round, stale_after_s):
        self.work, self.procs = work, []
        self.pty = PtyPair()
        self.port = free_port()
        config = {"devices": [{"name": "plant1", "data_id": 418, "address": 1,
                               "stale_after_s": stale_after_s,
                               "battery": {"strings_ah": [battery_ah],
                                           "runtime_critical_min": critical_min}}]}
        with open(work + "/gw.json", "w") as f:
            json.dump(config, f)
        users = work + "/nut.users"
        with open(users, "w") as f:
            f.write(f"{USER}\n{PASSWORD}\n")
        os.chmod(users, 0o600)
        self.gw = self.start(
            [os.path.join(ROOT, ARGS.build, "smdgw"), "--plugin",
             os.path.join(ROOT, ARGS.build, "libveltra_quelm_k418t_419.so"), "--config",
             work + "/gw.json", "--port", self.pty.name(1), "--time-scale", SCALE,
             "--nut-listen", f"127.0.0.1:{self.port}", "--nut-users", users], "gw")
        sim = [os.path.join(ROOT, ARGS.build, "powersim"), "--port", self.pty.name(0),
               "--realtime", "--time-scale", SCALE, "--rounds", "0", "--battery-ah",
               str(battery_ah), "--battery-strings", "1", "--fault", "load:50@1-"]
        if mains_fail_round:
            sim += ["--fault", f"mains-fail:1@{mains_fail_round}-",
                    "--fault", f"mains-fail:2@{mains_fail_round}-"]
        self.sim = self.start(sim, "sim")
        self.flag = work + "/shut-down"
        conf = work + "/upsmon.conf"
        with open(conf, "w") as f:
            f.write(f'MONITOR plant1@127.0.0.1:{self.port} 1 {USER} "{PASSWORD}" secondary\n'
                    "MINSUPPLIES 1\nPOLLFREQ 1\nPOLLFREQALERT 1\nHOSTSYNC 5\nDEADTIME 5\nFINALDELAY 0\n"
                    f'SHUTDOWNCMD "/usr/bin/touch {self.flag}"\n')
        os.chmod(conf, 0o600)
        with open(work + "/nut.conf", "w") as f:
            f.write("MODE=netclient\n")
        self.env = dict(os.environ, NUT_CONFPATH=work, NUT_STATEPATH=work)

    def start(self, argv, name, env=None):
        p = subprocess.Popen(argv, stdout=open(f"{self.work}/{name}.out", "w"),
                             stderr=open(f"{self.work}/{name}.err", "w"), env=env)
        self.procs.append(p)
        return p

    def live(self):
        return wait_for(lambda: status(self.port).startswith("OL"), 60)

    def start_upsmon(self):
        self.start([UPSMON, "-F", "-p"], "upsmon", self.env)
        return wait_for(lambda: "NUMLOGINS plant1 1" in ask(self.port, "GET NUMLOGINS plant1"), 20)

    def shut_down(self):
        return os.path.exists(self.flag)

    def close(self):
        for p in reversed(self.procs):
            if p.poll() is None:
                p.send_signal(signal.SIGTERM)
                try:
                    p.wait(10)
                except subprocess.TimeoutExpired:
                    p.kill()
        self.pty.close()


def scenario(name):
    work = tempfile.mkdtemp(prefix=f"nut_upsmon.{name}.")
    # Rounds of powersim on this scale are some 50 s of plant time each: mains
    # fails at round 20, past ten minutes of float.
    if name == "mains":
        run = Run(work, 400, 10, 20, 1200)
    elif name == "low":
        run = Run(work, 50, 20, 20, 1200)
    elif name == "lost-ol":
        run = Run(work, 200, 10, 0, 600)
    else:
        run = Run(work, 400, 10, 20, 600)
    ok = True

    def check(cond, what):
        nonlocal ok
        print(f"  {'ok  ' if cond else 'FAIL'} {what}")
        ok = ok and cond

    try:
        check(run.live(), "the plant is live, OL")
        check(run.start_upsmon(), "upsmon logged in (NUMLOGINS 1)")
        if name == "mains":
            check(wait_for(lambda: status(run.port).startswith("OB"), 120), "OB after mains failed")
            time.sleep(20)  # what must not happen, given time to happen
            check(not run.shut_down(), "nothing shut down on battery with hours left")
        elif name == "low":
            check(wait_for(lambda: "LB" in status(run.port).split(), 300), "LB reached")
            t0 = time.monotonic()
            appeared = wait_for(run.shut_down, 15)
            check(appeared and time.monotonic() - t0 <= 10.0,
                  f"shut down {time.monotonic() - t0:.1f} s after LB (at most 10 s)")
        elif name == "lost-ol":
            time.sleep(3)
            run.sim.send_signal(signal.SIGTERM)
            check(wait_for(lambda: status(run.port) == "ERR DATA-STALE", 60), "DATA-STALE")
            time.sleep(15)  # DEADTIME 5 and more
            check(not run.shut_down(), "nothing shut down with the line lost on line power")
        else:
            check(wait_for(lambda: status(run.port).startswith("OB"), 120), "OB after mains failed")
            time.sleep(3)
            run.sim.send_signal(signal.SIGTERM)
            check(wait_for(lambda: status(run.port) == "ERR DATA-STALE", 60), "DATA-STALE")
            t0 = time.monotonic()
            appeared = wait_for(run.shut_down, 20)
            check(appeared, f"shut down {time.monotonic() - t0:.1f} s after DATA-STALE "
                            "(DEADTIME 5 s, last seen on battery)")
    finally:
        run.close()
        if not ok:
            print(f"  logs kept in {work}")
    return ok


def main():
    global ARGS
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--build", default="build")
    ap.add_argument("scenarios", nargs="*", default=["mains", "low", "lost-ol", "lost-ob"])
    ARGS = ap.parse_args()
    if not os.path.exists(UPSMON):
        sys.exit("nut_upsmon_acceptance: upsmon is missing (scripts/setup.sh installs nut-client)")
    results = []
    for name in ARGS.scenarios:
        print(name)
        results.append(scenario(name))
    sys.exit(0 if all(results) else 1)


if __name__ == "__main__":
    main()
