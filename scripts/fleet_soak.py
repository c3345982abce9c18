#!/usr/bin/python3
"""A fleet on one machine: N gateways (smdgw following powersim over TCP, one
plant each, a round about every second) publish to one Mosquitto broker with
the queue settings of docs/fleet.md; examples/fleet_to_influx.py is the
central consumer. The broker is restarted once (the gateways' reconnections
are timed: their spread is printed), then the consumer is stalled (SIGSTOP)
for a minute. At the end every record a gateway made must have reached the
consumer, or been announced as dropped by a notice: the script prints the
loss, the reconnect spread and the broker's CPU, and exits 1 on any loss.

Too long for CI (about two minutes); run by hand after building:
    scripts/fleet_soak.py [--gateways 50] [--stall 60] [--broker-defaults]
--broker-defaults runs the broker without the documented queue settings, to
see what Mosquitto's own limits (1000 queued messages a client) lose.
"""

import argparse
import os
import re
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def documented_queue_settings():
    """The broker lines of docs/fleet.md's "Keeping a stalled consumer's messages"."""
    doc = open(os.path.join(ROOT, "docs/fleet.md"), encoding="utf-8").read()
    part = doc[doc.index("### Keeping a stalled consumer's messages"):]
    block = part[part.index("```\n") + 4:]
    block = block[:block.index("```")]
    return [l for l in block.splitlines() if l and not l.startswith("#")]


def wait_port(port, seconds=10):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=0.2):
                return True
        except OSError:
            time.sleep(0.05)
    return False


def cpu_seconds(pid):
    try:
        fields = open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
    except OSError:
        return 0.0


class Broker:
    def __init__(self, work, defaults):
        self.work = work
        self.port = free_port()
        self.conf = os.path.join(work, "mosquitto.conf")
        lines = ["per_listener_settings false", "allow_anonymous true", "persistence true",
                 "persistence_location " + work + "/", "log_dest file " + work + "/broker.log",
                 f"listener {self.port} 127.0.0.1"]
        if os.geteuid() == 0:
            lines.insert(0, "user root")
        self.settings = [] if defaults else documented_queue_settings()
        open(self.conf, "w").write("\n".join(lines + self.settings) + "\n")
        self.proc = None
        self.cpu = 0.0

    def start(self):
        self.proc = subprocess.Popen(["/usr/sbin/mosquitto", "-c", self.conf],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if not wait_port(self.port):
            sys.exit("fleet_soak: the broker did not start: " + self.log())

    def stop(self):
        self.cpu += cpu_seconds(self.proc.pid)
        self.proc.terminate()
        self.proc.wait(30)

    def log(self):
        try:
            return open(os.path.join(self.work, "broker.log"), errors="replace").read()
        except OSError:
            return ""


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--gateways", type=int, default=50)
    parser.add_argument("--stall", type=float, default=60.0, help="seconds the consumer stalls")
    parser.add_argument("--warmup", type=float, default=15.0)
    parser.add_argument("--build", default=os.path.join(ROOT, "build"))
    parser.add_argument("--broker-defaults", action="store_true",
                        help="leave out the documented queue settings")
    args = parser.parse_args()
    smdgw = os.path.join(args.build, "smdgw")
    powersim = os.path.join(args.build, "powersim")
    work = tempfile.mkdtemp(prefix="fleet_soak.")
    procs = []
    try:
        broker = Broker(work, args.broker_defaults)
        print("broker settings: " + ("; ".join(broker.settings) or "Mosquitto's defaults"))
        broker.start()
        started = time.monotonic()
        url = f"mqtt://127.0.0.1:{broker.port}"
        consumer_out = os.path.join(work, "consumer.out")
        consumer_err = os.path.join(work, "consumer.err")
        consumer = subprocess.Popen(
            ["/usr/bin/python3", os.path.join(ROOT, "examples/fleet_to_influx.py"), "--mqtt", url,
             "--client-id", "central"], stdout=open(consumer_out, "w"),
            stderr=open(consumer_err, "w"))
        procs.append(consumer)
        for _ in range(100):
            if "connected to" in open(consumer_err).read():
                break
            time.sleep(0.1)
        gateways = []
        for i in range(args.gateways):
            name = f"gw-{i:03d}"
            port = free_port()
            # A round of 12 modules is 1.5 s at 9600 baud; 1.5 times faster.
            sim = subprocess.Popen(
                [powersim, "--listen", f"tcp:127.0.0.1:{port}", "--rounds", "0", "--realtime",
                 "--time-scale", "1.5", "--seed", str(i + 1)],
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            procs.append(sim)
            wait_port(port)
            gw = subprocess.Popen(
                [smdgw, "--config", os.path.join(ROOT, "examples/demo.json"), "--port",
                 f"tcp:127.0.0.1:{port}", "--log", "/dev/null", "--mqtt", url, "--mqtt-outbox",
                 os.path.join(work, name + ".db"), "--gateway-id", name],
                stdout=open(os.path.join(work, name + ".out"), "w"),
                stderr=open(os.path.join(work, name + ".err"), "w"))
            procs.append(gw)
            gateways.append((name, gw))
        print(f"{args.gateways} gateways publishing; warming up {args.warmup:.0f} s")
        time.sleep(args.warmup)

        # The broker restarts: every gateway loses it at once.
        broker.stop()
        broker.start()
        print("broker restarted; waiting 25 s for the gateways to return")
        time.sleep(25)
        outages = []
        for name, _ in gateways:
            err = open(os.path.join(work, name + ".err")).read()
            m = re.findall(r"after (\d+\.\d) s without the broker", err)
            if m:
                outages.append(float(m[-1]))
        back = len(outages)
        if outages:
            outages.sort()
            print(f"reconnected: {back} of {args.gateways}; outage per gateway (s): "
                  f"min {outages[0]:.1f}, median {statistics.median(outages):.1f}, "
                  f"90 % {outages[int(0.9 * (len(outages) - 1))]:.1f}, max {outages[-1]:.1f}")
            histogram = [0] * (int(outages[-1]) + 1)
            for o in outages:
                histogram[int(o)] += 1
            print("  per second: " + " ".join(f"{s}s:{n}" for s, n in enumerate(histogram) if n))

        # The consumer stalls.
        print(f"consumer stalled for {args.stall:.0f} s")
        consumer.send_signal(signal.SIGSTOP)
        time.sleep(args.stall)
        consumer.send_signal(signal.SIGCONT)
        time.sleep(10)
        for _, gw in gateways:
            gw.terminate()
        for _, gw in gateways:
            gw.wait(30)
        for p in procs[1:]:
            if p.poll() is None:
                p.terminate()
        # The consumer catches up: until its output stops growing.
        size, still = -1, 0
        for _ in range(240):
            now = os.path.getsize(consumer_out)
            still = still + 1 if now == size else 0
            size = now
            if still >= 10:
                break
            time.sleep(0.5)
        wall = time.monotonic() - started
        consumer.terminate()
        consumer.wait(30)
        broker.stop()

        # Every record made: received by the consumer or announced.
        received, announced = {}, {}
        for line in open(consumer_out):
            m = re.match(r"veltra_round,device=[^,]+,gateway=([^ ,]+) ", line)
            if m:
                received[m.group(1)] = received.get(m.group(1), 0) + 1
            m = re.match(r"smdgw_dropped,gateway=([^ ,]+),kind=record count=([0-9.]+)", line)
            if m:
                announced[m.group(1)] = announced.get(m.group(1), 0) + int(float(m.group(2)))
        made_total = lost_total = 0
        for name, _ in gateways:
            made = open(os.path.join(work, name + ".out")).read().count('"event":"record"')
            lost = made - received.get(name, 0) - announced.get(name, 0)
            made_total += made
            lost_total += max(lost, 0)
            if lost:
                print(f"  {name}: {made} records made, {received.get(name, 0)} received, "
                      f"{announced.get(name, 0)} announced as dropped: {lost} lost")
        drops = broker.log().count("Outgoing messages are being dropped")
        print(f"records made {made_total}, received {sum(received.values())}, announced as "
              f"dropped {sum(announced.values())}, lost {lost_total}")
        print(f"broker: {broker.cpu / wall * 100:.1f} % of a core over {wall:.0f} s; "
              f"'messages are being dropped' in its log: {drops}")
        return 1 if lost_total else 0
    finally:
        for p in procs:
            if p.poll() is None:
                p.kill()
                p.wait()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
