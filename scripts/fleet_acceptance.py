#!/usr/bin/python3
"""Ten thousand sites on one machine: fleetsim's simulated gateways publish to
Debian's Mosquitto; smdgw-fleet collectors, each on its shards, write into
Debian's VictoriaMetrics; vmalert evaluates examples/fleet/vmalert-rules.yml
and Debian's Alertmanager routes examples/fleet/alertmanager.yml to a webhook
receiver of this script. One collector is stopped for a while and the broker
restarted once. Printed at the end, and exit 1 when a check fails:

- every (gateway, pub_seq) of a record in VictoriaMetrics exactly once;
- the collectors' lag p99 outside the two disturbances (under 5 s);
- the most CONNECTs in one second after a lost connection after the broker's restart (at most N/20);
- the alert of a site put on battery at the webhook (within 60 s), and of a
  site gone silent ("site unreachable", within its for: time and the
  collector's silence bound);
- broker and collector CPU and peak RSS.

The full acceptance (about 35 minutes; fleetsim needs three open files per
gateway: the script raises the limit, which needs root or a hard limit of
`ulimit -Hn 31024` for 10,000 gateways):
    scripts/fleet_acceptance.py --gateways 10000 --interval 10 --duration 1800 \\
        --collectors 4 --stop-collector-at 600 --stop-for 60 --restart-broker-at 1200
A short slice:
    scripts/fleet_acceptance.py --gateways 1000 --interval 10 --duration 180 \\
        --stop-collector-at 40 --stop-for 30 --restart-broker-at 100
"""

import argparse
import http.server
import json
import os
import resource
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse
import urllib.request

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SHARDS = 64


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def more_files(gateways):
    """Room for the whole fleet. fleetsim holds three files per gateway (the
    socket and libmosquitto's wake-up pair), the broker one. The limits go up
    as far as allowed; the fleet is then split over as many fleetsim
    processes as the hard limit needs. Returns the number of parts."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    need = 3 * gateways + 1024
    if hard != resource.RLIM_INFINITY and hard < need:
        try:
            resource.setrlimit(resource.RLIMIT_NOFILE, (need, need))
            return 1
        except (ValueError, OSError):
            pass
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    if hard == resource.RLIM_INFINITY or hard >= need:
        return 1
    if hard < gateways + 1024:
        sys.exit("fleet_acceptance: the broker needs %d open files for %d gateways and the hard"
                 " limit is %d; raise it first (ulimit -Hn %d)"
                 % (gateways + 1024, gateways, hard, need))
    per = (hard - 1024) // 3
    return -(-gateways // per)


def merge_summaries(parts):
    """One summary of the fleetsim parts: counts add up, the per-site lists
    join, the reconnects of each wall-clock second add up, and the highest
    CONNECTs in one second is taken from those sums."""
    out = {"records": {}, "reconnects_by_second": {}}
    for p in parts:
        for k, v in p.items():
            if k == "records":
                out["records"].update(v)
            elif k == "reconnects_by_second":
                for second, n in v.items():
                    out[k][second] = out[k].get(second, 0) + n
            elif k == "max_reconnects_per_second":
                pass
            elif k == "seconds":
                out[k] = max(out.get(k, 0), v)
            else:
                out[k] = out.get(k, 0) + v
    out["max_reconnects_per_second"] = max(out["reconnects_by_second"].values(), default=0)
    del out["reconnects_by_second"]
    return out


def get(url, timeout=10):
    with urllib.request.urlopen(url, timeout=timeout) as r:
        return r.read().decode()


def wait_for(check, timeout, what):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        try:
            if check():
                return
        except OSError:
            pass
        time.sleep(0.2)
    sys.exit("fleet_acceptance: " + what + " did not happen within " + str(timeout) + " s")


def proc_figures(pid):
    """CPU seconds (user + system) and RSS in MB of a running process."""
    try:
        stat = open("/proc/%d/stat" % pid).read().rsplit(")", 1)[1].split()
        cpu = (int(stat[11]) + int(stat[12])) / os.sysconf("SC_CLK_TCK")
        rss = int(stat[21]) * os.sysconf("SC_PAGE_SIZE") / 1e6
        return cpu, rss
    except (OSError, IndexError, ValueError):
        return None


class Webhook(http.server.BaseHTTPRequestHandler):
    """Alertmanager's webhook receiver: the first time each alert fired."""
    fired = {}

    def do_POST(self):
        body = json.loads(self.rfile.read(int(self.headers["Content-Length"])))
        for a in body.get("alerts", []):
            key = (a["labels"].get("alertname"), a["labels"].get("gateway", ""))
            if a.get("status") == "firing":
                Webhook.fired.setdefault(key, time.time())
        self.send_response(200)
        self.end_headers()

    def log_message(self, *args):
        pass


def main():
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", default=os.path.join(ROOT, "build"))
    ap.add_argument("--gateways", type=int, default=1000)
    ap.add_argument("--interval", type=float, default=10)
    ap.add_argument("--duration", type=float, default=180)
    ap.add_argument("--collectors", type=int, default=4)
    ap.add_argument("--stop-collector-at", type=float, default=40)
    ap.add_argument("--stop-for", type=float, default=30)
    ap.add_argument("--restart-broker-at", type=float, default=100)
    ap.add_argument("--fault-at", type=float, default=15)
    args = ap.parse_args()
    parts = more_files(args.gateways)
    tmp = tempfile.mkdtemp(prefix="fleet-acceptance.")
    procs = []

    def start(name, argv, **kw):
        p = subprocess.Popen(argv, stdout=open(os.path.join(tmp, name + ".out"), "w"),
                             stderr=open(os.path.join(tmp, name + ".err"), "w"),
                             **kw)
        procs.append(p)
        return p

    # The broker: persistent sessions, room for a stopped collector's share.
    mqtt_port = free_port()
    conf = os.path.join(tmp, "mosquitto.conf")
    with open(conf, "w") as f:
        # As root the broker drops to its own user, which cannot write the
        # work folder: its sessions would not survive the restart.
        if os.geteuid() == 0:
            f.write("user root\n")
        f.write("listener %d 127.0.0.1\nallow_anonymous true\npersistence true\n"
                "persistence_location %s/\nmax_queued_messages 2000000\n"
                "max_queued_bytes 0\nmax_inflight_messages 100\nautosave_interval 300\n"
                % (mqtt_port, tmp))
    broker = start("mosquitto", ["/usr/sbin/mosquitto", "-c", conf])
    wait_for(lambda: socket.create_connection(("127.0.0.1", mqtt_port), 1).close() or True,
             30, "the broker")
    mqtt = "mqtt://127.0.0.1:%d" % mqtt_port

    vm_port = free_port()
    scrape = os.path.join(tmp, "scrape.yml")
    fleet_ports = [free_port() for _ in range(args.collectors)]
    with open(scrape, "w") as f:
        f.write("scrape_configs:\n  - job_name: smdgw-fleet\n    scrape_interval: 5s\n"
                "    static_configs:\n      - targets: [%s]\n"
                % ", ".join('"127.0.0.1:%d"' % p for p in fleet_ports))
    start("victoria-metrics", ["/usr/bin/victoria-metrics", "-storageDataPath=" + tmp + "/vm",
                               "-httpListenAddr=127.0.0.1:%d" % vm_port,
                               "-search.latencyOffset=0s", "-promscrape.config=" + scrape,
                               "-loggerLevel=ERROR"])
    vm = "http://127.0.0.1:%d" % vm_port
    wait_for(lambda: get(vm + "/health") == "OK", 30, "VictoriaMetrics")

    hook_port = free_port()
    hook = http.server.ThreadingHTTPServer(("127.0.0.1", hook_port), Webhook)
    threading.Thread(target=hook.serve_forever, daemon=True).start()
    am_port = free_port()
    am_conf = os.path.join(tmp, "alertmanager.yml")
    with open(os.path.join(ROOT, "examples/fleet/alertmanager.yml")) as f:
        text = f.read().replace("http://127.0.0.1:9099/alerts",
                                "http://127.0.0.1:%d/alerts" % hook_port)
    with open(am_conf, "w") as f:
        f.write(text)
    start("alertmanager", ["/usr/bin/prometheus-alertmanager", "--config.file=" + am_conf,
                           "--storage.path=" + tmp + "/am",
                           "--web.listen-address=127.0.0.1:%d" % am_port,
                           "--cluster.listen-address="])
    start("vmalert", ["/usr/bin/vmalert", "-rule=" + ROOT + "/examples/fleet/vmalert-rules.yml",
                      "-datasource.url=" + vm, "-notifier.url=http://127.0.0.1:%d" % am_port,
                      "-httpListenAddr=127.0.0.1:%d" % free_port(), "-loggerLevel=ERROR"])

    per = SHARDS // args.collectors
    ranges = ["%d-%d" % (i * per, SHARDS - 1 if i == args.collectors - 1 else (i + 1) * per - 1)
              for i in range(args.collectors)]
    fleet_bin = os.path.join(args.build, "smdgw-fleet")

    def collector(i):
        return start("fleet%d" % i, [fleet_bin, "--mqtt", mqtt, "--shards", ranges[i],
                                     "--influx-url", vm + "/write", "--tick", "10",
                                     "--silent-after", "60",
                                     "--state", os.path.join(tmp, "fleet%d.state" % i),
                                     "--http", "127.0.0.1:%d" % fleet_ports[i]])
    collectors = [collector(i) for i in range(args.collectors)]
    for p in fleet_ports:
        wait_for(lambda: "broker ok" in get("http://127.0.0.1:%d/healthz" % p), 30, "a collector")

    t0 = time.time()
    sims = [start("fleetsim%d" % k if parts > 1 else "fleetsim",
                  [os.path.join(args.build, "fleetsim"), "--mqtt", mqtt,
                   "--gateways", str(args.gateways), "--interval", str(args.interval),
                   "--duration", str(args.duration), "--shards", str(SHARDS),
                   "--on-battery", "1", "--silent", "1",
                   "--fault-at", str(args.fault_at), "--per-gateway",
                   "--part", "%d/%d" % (k, parts)])
            for k in range(1, parts + 1)]
    # Sampling once a second: lag histograms, CPU and RSS.
    samples = []  # (t, [bucket dicts per collector])
    peak = {"broker": 0.0, "collectors": 0.0}
    cpu0 = {"broker": proc_figures(broker.pid)[0],
            "collectors": sum(proc_figures(c.pid)[0] for c in collectors)}
    stopped_at = restarted_at = None
    stopped = False
    broker_cpu_before = 0.0
    while any(p.poll() is None for p in sims):
        t = time.time() - t0
        if stopped_at is None and t >= args.stop_collector_at:
            collectors[0].send_signal(signal.SIGTERM)
            collectors[0].wait(30)
            stopped_at, stopped = t, True
        if stopped and t >= args.stop_collector_at + args.stop_for:
            collectors[0] = collector(0)
            stopped = False
        if restarted_at is None and t >= args.restart_broker_at:
            broker_cpu_before += proc_figures(broker.pid)[0] - cpu0["broker"]
            broker.send_signal(signal.SIGTERM)
            broker.wait(60)
            broker = start("mosquitto2", ["/usr/sbin/mosquitto", "-c", conf])
            cpu0["broker"] = 0.0
            restarted_at = t
        row = []
        for i, p in enumerate(fleet_ports):
            if stopped and i == 0:
                row.append(None)
                continue
            try:
                text = get("http://127.0.0.1:%d/metrics" % p, 2)
            except OSError:
                row.append(None)
                continue
            b = {}
            for line in text.splitlines():
                if line.startswith("smdgw_fleet_message_lag_seconds_bucket"):
                    b[line.split('"')[1]] = int(line.rsplit(" ", 1)[1])
            row.append(b)
        samples.append((t, row))
        for name, pids in (("broker", [broker.pid]), ("collectors", [c.pid for c in collectors])):
            rss = sum((proc_figures(pid) or (0, 0))[1] for pid in pids)
            peak[name] = max(peak[name], rss)
        time.sleep(1)
    sim_rc = max(p.wait() for p in sims)
    summary = merge_summaries(
        json.loads(open(os.path.join(tmp, ("fleetsim%d.out" % k) if parts > 1 else "fleetsim.out")).read())
        for k in range(1, parts + 1))
    summary["processes"] = parts
    broker_cpu = broker_cpu_before + proc_figures(broker.pid)[0] - cpu0["broker"]
    coll_cpu = sum((proc_figures(c.pid) or (0, 0))[0] for c in collectors) - cpu0["collectors"]
    elapsed = time.time() - t0

    # Every record once: per gateway as many samples as it made, adding up to
    # 1 + 2 + ... + n.
    want = {g: (n, n * (n + 1) // 2) for g, n in summary["records"].items()}

    def query(q):
        r = json.loads(get(vm + "/api/v1/query?" + urllib.parse.urlencode({"query": q}), 120))
        return {m["metric"].get("gateway"): float(m["value"][1]) for m in r["data"]["result"]}
    got = {}

    def all_there():
        # From before the first record to now, however long this waits.
        window = "%ds" % (time.time() - t0 + 60)
        counts = query("count_over_time(veltra_round_pub_seq[%s])" % window)
        sums = query("sum_over_time(veltra_round_pub_seq[%s])" % window)
        got.clear()
        got.update({g: (int(counts.get(g, 0)), int(sums.get(g, 0))) for g in want})
        return got == want
    end = time.monotonic() + 120
    while time.monotonic() < end and not all_there():
        time.sleep(2)
    wrong = [g for g in want if got.get(g) != want[g]]

    # Lag p99 outside the disturbances (the collector's stop until 30 s after
    # its return, and 60 s after the broker's restart).
    quiet = []
    bounds = ["0.1", "0.25", "0.5", "1", "2", "5", "10", "30", "60", "+Inf"]
    for (t1, r1), (t2, r2) in zip(samples, samples[1:]):
        disturbed = (stopped_at is not None and
                     stopped_at - 1 <= t2 <= stopped_at + args.stop_for + 30) or \
                    (restarted_at is not None and restarted_at - 1 <= t2 <= restarted_at + 60)
        if disturbed:
            continue
        for a, b in zip(r1, r2):
            if a and b:
                quiet.append([b.get(k, 0) - a.get(k, 0) for k in bounds])
    totals = [sum(col) for col in zip(*quiet)] if quiet else [0] * len(bounds)
    p99 = None
    if totals[-1]:
        for k, n in zip(bounds, totals):
            if n >= 0.99 * totals[-1]:
                p99 = k
                break

    # Alerts: the site on battery and the silent one (site0 and site1 of
    # fleetsim's numbering) at the webhook.
    width = len(str(args.gateways))
    battery, silent = "site" + "0" * width, "site" + "0" * (width - 1) + "1"
    fault_time = t0 + args.fault_at
    end = time.monotonic() + 240
    while time.monotonic() < end and not (("SiteOnBattery", battery) in Webhook.fired and
                                          ("SiteUnreachable", silent) in Webhook.fired):
        time.sleep(1)
    on_battery = Webhook.fired.get(("SiteOnBattery", battery))
    unreachable = Webhook.fired.get(("SiteUnreachable", silent))

    figures = {
        "gateways": args.gateways, "interval_s": args.interval, "duration_s": args.duration,
        "fleetsim": summary, "fleetsim_exit": sim_rc,
        "records_exactly_once": len(want) - len(wrong),
        "records_wrong": {g: {"want": want[g], "got": got.get(g)} for g in wrong[:10]},
        "lag_p99_le_s": p99, "lag_samples": totals[-1],
        "max_reconnects_per_second": summary["max_reconnects_per_second"],
        "on_battery_alert_s": round(on_battery - fault_time, 1) if on_battery else None,
        "unreachable_alert_s": round(unreachable - fault_time, 1) if unreachable else None,
        "broker_cpu_percent": round(100 * broker_cpu / elapsed, 1),
        "collectors_cpu_percent": round(100 * coll_cpu / elapsed, 1),
        "broker_peak_rss_mb": round(peak["broker"], 1),
        "collectors_peak_rss_mb": round(peak["collectors"], 1),
        "work_dir": tmp,
    }
    print(json.dumps(figures, indent=1))
    for p in procs:
        if p.poll() is None:
            p.send_signal(signal.SIGTERM)
    for p in procs:
        try:
            p.wait(30)
        except subprocess.TimeoutExpired:
            p.kill()
    hook.shutdown()
    ok = (sim_rc == 0 and not wrong and p99 is not None and float(p99) <= 5 and
          summary["max_reconnects_per_second"] <= max(1, args.gateways // 20) and
          on_battery is not None and on_battery - fault_time <= 60 and unreachable is not None)
    print("fleet_acceptance: " + ("passed" if ok else "FAILED"))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
