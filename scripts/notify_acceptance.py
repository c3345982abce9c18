#!/usr/bin/python3
"""Alarms that reach a person: the long acceptance runs of the notifications.

Three runs of smdgw following powersim over a pseudo-terminal pair, with the
time scaled, notifying a webhook receiver of this script's own and Debian's
python3-aiosmtpd as the mail server, both on loopback:

  flapping    10 changes of one alarm within 60 s (a breaker that trips every
              other round, 6 s apart), policy flap_changes 1 within 60 s, quiet
              60 s: at most 3 notifications (the first change, flapping, stable)
  delay       raise_delay_s 30: a 20 s breaker trip notifies nobody; a 40 s
              one is notified once, 30 s after it began (gateway time), and
              its clear once
  outage      the mail server down for an hour of scaled time while the alarm
              changes every five minutes; smdgw SIGKILLed and started again
              half-way; then the mail server comes up, and smdgw is killed
              again while the server holds its answer to the first mail:
              every message arrives, in the order of its sequence number, and
              the repeat carries the Message-ID of its first attempt

    scripts/notify_acceptance.py --build build
    scripts/notify_acceptance.py --build build --only outage

Prints the figures of each run; exit status 0 when every check holds, 1
otherwise. Every wait is bounded.
"""

import argparse
import email
import http.server
import json
import os
import signal
import socket
import sqlite3
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "support"))
from pty_pair import PtyPair  # noqa: E402

BREAKER = "419410701"  # AC input 1: breaker tripped (p40_44_0), level 1


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Receiver:
    """The webhook receiver: keeps every call's key and body."""

    def __init__(self):
        calls = self.calls = []

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_POST(self):
                n = int(self.headers.get("Content-Length", "0"))
                body = self.rfile.read(n)
                calls.append((time.monotonic(), self.headers.get("Idempotency-Key"),
                              json.loads(body)))
                self.send_response(200)
                self.send_header("Content-Length", "0")
                self.end_headers()

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.port = self.server.server_address[1]
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def events(self):
        return [e for _, _, body in self.calls for e in body["events"]]

    def close(self):
        self.server.shutdown()


class MailServer:
    """aiosmtpd in this process, started and stopped on one port."""

    def __init__(self, port):
        self.port = port
        self.mails = []
        self.controller = None
        # The first mail's answer is held this long: a kill meanwhile leaves
        # it taken by the server but not by smdgw's outbox.
        self.hold_first_s = 0.0

    def start(self):
        from aiosmtpd.controller import Controller

        import asyncio

        mails = self.mails
        owner = self

        class Handler:
            async def handle_DATA(self, server, session, envelope):
                mails.append(email.message_from_bytes(envelope.content))
                if len(mails) == 1 and owner.hold_first_s:
                    await asyncio.sleep(owner.hold_first_s)
                return "250 OK"

        self.controller = Controller(Handler(), hostname="127.0.0.1", port=self.port)
        self.controller.start()

    def stop(self):
        if self.controller:
            self.controller.stop()
            self.controller = None


class Gateway:
    def __init__(self, build, work, config, scale, line, extra=()):
        self.build, self.work, self.scale, self.line = build, work, scale, line
        self.config = os.path.join(work, "gw.json")
        with open(self.config, "w") as f:
            json.dump(config, f)
        self.extra = list(extra)
        self.proc = None
        self.runs = 0

    def start(self):
        self.runs += 1
        self.err_path = os.path.join(self.work, "err%d.txt" % self.runs)
        self.out = open(os.path.join(self.work, "out%d.txt" % self.runs), "w")
        self.err = open(self.err_path, "w")
        cmd = [os.path.join(self.build, "smdgw"), "--plugin",
               os.path.join(self.build, "libveltra_quelm_k418t_419.so"), "--config", self.config,
               "--port", self.line.name(1), "--time-scale", str(self.scale), "--notify-outbox",
               os.path.join(self.work, "notify.db"), "--http", "127.0.0.1:0"] + self.extra
        self.proc = subprocess.Popen(cmd, stdout=self.out, stderr=self.err)
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline:
            with open(self.err_path) as f:
                if "serving http://" in f.read():
                    return
            time.sleep(0.05)
        raise RuntimeError("smdgw did not start: " + open(self.err_path).read())

    def stop(self, sig=signal.SIGTERM):
        self.proc.send_signal(sig)
        self.proc.wait(timeout=30)
        self.out.close()
        self.err.close()

    def alarm_lines(self):
        lines = []
        for k in range(1, self.runs + 1):
            with open(os.path.join(self.work, "out%d.txt" % k)) as f:
                for line in f:
                    if '"event":"alarm"' in line:
                        lines.append(json.loads(line))
        return lines


def plant(build, line, scale, interval_s, rounds, faults):
    """Rounds interval_s apart in scaled time; 0: at the line's full speed."""
    cmd = [os.path.join(build, "powersim"), "--port", line.name(0), "--rounds", str(rounds),
           "--seed", "5"]
    if interval_s:
        cmd += ["--realtime", "--interval", str(interval_s), "--time-scale", str(scale)]
    for f in faults:
        cmd += ["--fault", f]
    subprocess.run(cmd, check=True, timeout=600, stdout=subprocess.DEVNULL)


def wait_for(ok, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if ok():
            return True
        time.sleep(0.1)
    return ok()


def device(policy):
    return {"name": "plant1", "data_id": 418, "address": 1,
            "alarm_policy": {"alarms": {BREAKER: policy}}}


def webhook_notify(port):
    return {"targets": {"hook": {"type": "webhook",
                                 "url": "http://127.0.0.1:%d/hook" % port}},
            "routes": [{"alarm": BREAKER, "targets": ["hook"]}]}


def run_flapping(build, work):
    scale = 10
    hook = Receiver()
    line = PtyPair()
    gw = Gateway(build, work, {"devices": [device({"flap_changes": 1, "flap_window_s": 60,
                                                   "flap_quiet_s": 60})],
                               "notify": webhook_notify(hook.port)}, scale, line)
    gw.start()
    # Rounds 6 s apart; the breaker trips on odd rounds 1 to 9 and is back
    # on the even ones: 10 judged changes in 60 s, then 2 minutes quiet.
    faults = ["breaker-trip:1@%d-%d" % (r, r) for r in (1, 3, 5, 7, 9)]
    plant(build, line, scale, 6, 30, faults)
    wait_for(lambda: False, 2.0)
    gw.stop()
    line.close()
    judged = [a for a in gw.alarm_lines() if a.get("alarm_id") == BREAKER]
    events = hook.events()
    hook.close()
    print("flapping: %d changes shown on the JSON output, %d webhook calls telling %d changes: %s"
          % (len(judged), len(hook.calls), len(events),
             ", ".join(e["state"] + ("/" + e["reason"] if "reason" in e else "") for e in events)))
    reasons = [e.get("reason") for e in events]
    ok = 1 <= len(events) <= 3 and "flapping" in reasons and "stable" in reasons
    print("flapping: %s (at most 3 notifications: the first change, flapping, stable)"
          % ("ok" if ok else "FAILED"))
    return ok


def run_delay(build, work):
    scale = 10
    hook = Receiver()
    line = PtyPair()
    gw = Gateway(build, work, {"devices": [device({"raise_delay_s": 30})],
                               "notify": webhook_notify(hook.port)}, scale, line)
    gw.start()
    # Rounds 5 s apart: a trip of rounds 3-6 (20 s), one of rounds 12-19 (40 s).
    plant(build, line, scale, 5, 26, ["breaker-trip:1@3-6", "breaker-trip:1@12-19"])
    wait_for(lambda: False, 2.0)
    gw.stop()
    line.close()
    events = hook.events()
    hook.close()

    def ms(text):
        # 2026-12-09T15:30:02.000+00:00
        import datetime
        return datetime.datetime.fromisoformat(text).timestamp()

    raised = [e for e in events if e["state"] == "raised"]
    cleared = [e for e in events if e["state"] == "cleared"]
    waited = [ms(e["time"]) - ms(e["since"]) for e in raised]
    print("delay: %d raises notified (held %s s after the trip began), %d clears"
          % (len(raised), ", ".join("%.1f" % w for w in waited), len(cleared)))
    ok = len(raised) == 1 and len(cleared) == 1 and 29.0 <= waited[0] <= 36.0
    print("delay: %s (the 20 s trip notifies nobody; the 40 s one is raised at 30 s)"
          % ("ok" if ok else "FAILED"))
    return ok


def run_outage(build, work):
    scale = 120
    smtp = MailServer(free_port())
    line = PtyPair()
    gw = Gateway(build, work, {
        "devices": [device({})],
        "notify": {"site": "north", "targets": {"mail": {
            "type": "email", "smtp_url": "smtp://127.0.0.1:%d" % smtp.port,
            "starttls": "optional", "from": "smdgw@example.net", "to": ["oncall@example.net"]}},
            "routes": [{"targets": ["mail"]}]}}, scale, line)
    gw.start()
    # The breaker changes every five minutes of scaled time (2.5 s) for an
    # hour; each change is two rounds at the line's full speed (the pacing of
    # a real line would stretch a round over many scaled seconds).
    started = time.monotonic()
    for k in range(12):
        if k == 6:
            gw.stop(signal.SIGKILL)
            gw.start()
        fault = ["breaker-trip:1@1-"] if k % 2 == 0 else []
        plant(build, line, scale, 0, 2, fault)
        time.sleep(300.0 / scale)
    outage_s = time.monotonic() - started
    db = sqlite3.connect(os.path.join(work, "notify.db"))
    waiting = db.execute("SELECT count(*) FROM notify_outbox").fetchone()[0]
    made = db.execute("SELECT last FROM notification_sequence WHERE channel = 'notify'").fetchone()[0]
    db.close()
    # The mail server comes up; while it holds its answer to the first mail,
    # smdgw is killed again: that mail must come again under its Message-ID.
    smtp.hold_first_s = 3.0
    smtp.start()
    wait_for(lambda: len(smtp.mails) >= 1, 30)
    gw.stop(signal.SIGKILL)
    gw.start()
    came = wait_for(lambda: len(set(m["Message-ID"] for m in smtp.mails)) >= waiting, 60)
    back_s = time.monotonic() - started - outage_s
    wait_for(lambda: False, 2.0)
    gw.stop()
    smtp.stop()
    line.close()
    changes = len(gw.alarm_lines())
    seqs = [int(m["X-Smdgw-Sequence"]) for m in smtp.mails]
    ids = [m["Message-ID"] for m in smtp.mails]
    repeats = len(ids) - len(set(ids))
    same_id = all(ids[i] == ids[j] for i in range(len(ids)) for j in range(len(ids))
                  if seqs[i] == seqs[j])
    in_order = seqs == sorted(seqs)
    print("outage: %.0f s of real time (%.1f h scaled), %d alarm changes shown, %d messages "
          "numbered, %d waiting in the outbox when the mail server came up, %d mails in %.1f s "
          "after it, %d repeats" % (outage_s, outage_s * scale / 3600, changes, made, waiting,
                                    len(smtp.mails), back_s, repeats))
    missing = sorted(set(range(1, made + 1)) - set(seqs))
    if missing:
        print("outage: numbers never received (taken, not stored before the kill): %s" % missing)
    ok = came and waiting > 0 and in_order and same_id and repeats >= 1 and \
        len(set(seqs)) >= waiting
    print("outage: %s (everything arrives, in order, a repeat with its Message-ID)"
          % ("ok" if ok else "FAILED"))
    return ok


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--build", default=os.path.join(ROOT, "build"))
    p.add_argument("--only", choices=["flapping", "delay", "outage"])
    a = p.parse_args()
    results = []
    for name, fn in (("flapping", run_flapping), ("delay", run_delay), ("outage", run_outage)):
        if a.only and a.only != name:
            continue
        with tempfile.TemporaryDirectory(prefix="notify-") as work:
            results.append(fn(os.path.abspath(a.build), work))
    return 0 if all(results) else 1


if __name__ == "__main__":
    sys.exit(main())
