#!/usr/bin/env python3
"""Alarms people can trust on any line: the acceptance run.

For examples/demo.json and examples/gateway.json, the seeds FIRST to FIRST+SEEDS-1 x ROUNDS
rounds at three line settings,

  2 %/1 %      --corrupt 0.02 --drop 0.01
  4 %/4 %/2 %  --corrupt 0.04 --drop 0.04 --drop-commands 0.02
  cmd 3 %      --corrupt-commands 0.03 (commands only: their answers intact)

each with a fault plan (a load fuse, a mains failure, a module fault, each
coming and going twice), replayed through smdgw. The reference is a clean
line of the same seed and faults: every alarm must be raised and cleared in
the same order, never earlier than on the clean line (an earlier raise is a
false raise, an earlier clear a wrong clear). The script prints, per setting,
false raises, wrong clears, missed changes, the median and maximum delay of
raises and clears in rounds, and the share of rounds complete. Every section
a record marks fresh must hold the plant's values of its round (powersim
--json); Influx (--format influx) must carry only such values.

Then one live run per setting over a pseudo-terminal pair (seed 1, LIVE
rounds, examples/demo.json) with Prometheus, the history, the HTTP API, MQTT
(Debian's mosquitto, with --mqtt-damaged) into examples/fleet_to_influx.py
and a real InfluxDB 1.x (Debian's influxd), and the status page in headless
Chromium: no zero of a lost section reaches any of them, while the true 0 V
of the failed AC input is shown as 0.

No section alarm may rise on any noisy run. Then, per configuration, a DC
controller that stops answering its analog command (42/41) while it answers
its alarms: the section alarm within "section_stale_rounds" rounds, cleared
when the values return.

    scripts/noisy_line_acceptance.py --build build --seeds 100 --rounds 1000
    scripts/noisy_line_acceptance.py --build build --first-seed 500 --seeds 5 --rounds 200 --skip-live

Exit status 0 when every check holds, 1 otherwise. Everything runs on
loopback with bounded waits.
"""

import argparse
import json
import os
import re
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse
import urllib.request
from concurrent.futures import ThreadPoolExecutor

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "support"))
from pty_pair import PtyPair  # noqa: E402
CONFIGS = ["examples/demo.json", "examples/gateway.json"]
SETTINGS = [
    ("2 %/1 %", ["--corrupt", "0.02", "--drop", "0.01"]),
    ("4 %/4 %/2 %", ["--corrupt", "0.04", "--drop", "0.04", "--drop-commands", "0.02"]),
    ("cmd 3 %", ["--corrupt-commands", "0.03"]),
]
SECTION_ALARMS = ("smdgw-section-ac", "smdgw-section-rectifiers", "smdgw-section-dc")
STALE_ROUNDS = 10  # the default "section_stale_rounds"
SECTION_CID1 = {"ac": 0x40, "rectifiers": 0x41, "dc": 0x42}
FLOAT_TOLERANCE = 1e-4


def fault_plan(seed, rounds):
    """A fuse, a mains failure and a module fault, each coming and going twice."""
    shift = (37 * seed) % 50
    scale = rounds / 1000.0

    def at(a, b):
        return "%d-%d" % (max(1, int((a + shift) * scale)), max(2, int((b + shift) * scale)))

    faults = ["fuse:1:2@" + at(100, 180), "fuse:1:2@" + at(600, 650),
              "mains-fail:1@" + at(300, 360), "mains-fail:1@" + at(800, 830),
              "module-fault:2@" + at(450, 560), "module-fault:2@" + at(880, 940)]
    out = []
    for f in faults:
        out += ["--fault", f]
    return out


def run(cmd, **kw):
    r = subprocess.run(cmd, capture_output=True, text=True, **kw)
    if r.returncode != 0:
        raise RuntimeError("%s failed (%d): %s" % (" ".join(cmd), r.returncode, r.stderr[-2000:]))
    return r.stdout


def json_lines(text):
    out = []
    for line in text.splitlines():
        line = line.strip()
        if line.startswith("{"):
            try:
                out.append(json.loads(line))
            except ValueError:
                pass
    return out


def alarm_changes(lines, round_of):
    """Per alarm identity, its changes (state, line round) in order."""
    out = {}
    k = 0
    for l in lines:
        if l.get("event") == "record":
            k += 1
        if l.get("event") != "alarm" or k == 0:
            continue
        ident = (l["key"], l["alarm_id"], l["seq"])
        out.setdefault(ident, []).append((l["state"], round_of[k - 1]))
    return out


def compare(expected, seen):
    """False raises, wrong clears, missed changes, delays of the matched ones."""
    false_raises = wrong_clears = missed = 0
    delays = {"raised": [], "cleared": []}
    for ident in set(expected) | set(seen):
        e = expected.get(ident, [])
        s = seen.get(ident, [])
        for k in range(max(len(e), len(s))):
            if k >= len(e):
                if s[k][0] == "raised":
                    false_raises += 1
                else:
                    wrong_clears += 1
                continue
            if k >= len(s):
                missed += 1
                continue
            if s[k][0] != e[k][0] or s[k][1] < e[k][1]:
                if s[k][0] == "raised":
                    false_raises += 1
                else:
                    wrong_clears += 1
                continue
            delays[s[k][0]].append(s[k][1] - e[k][1])
    return false_raises, wrong_clears, missed, delays


def close(a, b):
    return abs(float(a) - float(b)) <= FLOAT_TOLERANCE * max(1.0, abs(float(b)))


def pair_groups(section, rec, plant):
    """Per command pair of a section: whether the record's values of it are
    the plant's (a round's pairs may come from either of two line rounds
    when the opening command of the second was lost, as the driver collects
    them)."""
    if section == "dc":
        r, p = rec["dc"], plant["dc"]
        return [close(r["v"], p["v"]) and close(r["i"], p["i"]),          # 42/41
                r["alert_m"] == p["alert_m"][:len(r["alert_m"])]]         # 42/44
    if section == "ac":
        if rec["ac"]["channel_count"] != plant["ac"]["channel_count"]:
            return [False, False]
        pairs = list(zip(rec["ac_channels"], plant["ac_channels"]))
        return [all(close(r[k], p[k]) for r, p in pairs for k in "abcf"),  # 40/41
                all(r["p40_44"] == p["p40_44"] for r, p in pairs)]        # 40/44
    if rec["channel_count"] != plant["channel_count"]:
        return [False, False, False]
    pairs = list(zip(rec["channels"], plant["channels"]))
    return [all(close(r["out_i"], p["out_i"]) for r, p in pairs),          # 41/41
            all(r["shutdown"] == p["shutdown"] for r, p in pairs),         # 41/43
            all(r["fault"] == p["fault"] for r, p in pairs)]               # 41/44


def section_matches(section, rec, candidates):
    """Whether every pair's values of a section are one of the candidate
    rounds' plant values."""
    groups = [pair_groups(section, rec, p) for p in candidates]
    return all(any(g[k] for g in groups) for k in range(len(groups[0])))


def one_run(args, config, setting, seed, work):
    """Clean and noisy replays of one seed; returns the figures."""
    tag = "%s-%d-%d" % (os.path.basename(config).split(".")[0], SETTINGS.index(setting), seed)
    base = [args.powersim, "--rounds", str(args.rounds), "--seed", str(seed)] + \
        fault_plan(seed, args.rounds)
    clean_cap = os.path.join(work, tag + "-clean.cap")
    noisy_cap = os.path.join(work, tag + "-noisy.cap")
    sent_path = os.path.join(work, tag + "-noisy.json")
    run(base + ["--out", clean_cap])
    run(base + setting[1] + ["--out", noisy_cap, "--json", sent_path])
    gw = [args.smdgw, "--plugin", args.plugin, "--config", os.path.join(ROOT, config),
          "--log", "/dev/null"]
    clean = json_lines(run(gw + ["--replay", clean_cap]))
    noisy = json_lines(run(gw + ["--replay", noisy_cap]))
    sent = json_lines(open(sent_path, encoding="utf-8").read())
    round_of = [r["round"] for r in sent if r["published"]]
    expected = alarm_changes(clean, list(range(1, args.rounds + 1)))
    seen = alarm_changes(noisy, round_of)
    false_raises, wrong_clears, missed, delays = compare(expected, seen)
    section_alarms = sum(1 for l in noisy if l.get("event") == "alarm" and
                         l.get("alarm_id") in SECTION_ALARMS)
    records = [l for l in noisy if l.get("event") == "record"]
    complete = sum(1 for r in records if r["complete"])
    wrong_values = 0
    for k, rec in enumerate(records):
        r = round_of[k]
        for section, state in rec["sections"].items():
            if state != "fresh":
                continue
            candidates = [sent[r - 1]["snapshot"]]
            if r > 1 and not sent[r - 2]["published"]:
                candidates.append(sent[r - 2]["snapshot"])  # its close was lost: one round
            if not section_matches(section, rec["record"], candidates):
                wrong_values += 1
    influx_wrong = 0
    if seed == 1:
        # Influx of the same bytes: each section line is the plant's of its round.
        lines = run(gw + ["--replay", noisy_cap, "--format", "influx"]).splitlines()
        k = -1
        for line in lines:
            if line.startswith("veltra_round,"):
                k += 1
                continue
            if line.startswith("veltra_dc,") and ",panel=1 " in line and k >= 0:
                v = float(re.search(r"[ ,]v=([-0-9.e+]+)", line).group(1))
                r = round_of[k]
                options = [sent[r - 1]["snapshot"]["dc"]["v"]]
                if r > 1 and not sent[r - 2]["published"]:
                    options.append(sent[r - 2]["snapshot"]["dc"]["v"])
                if not any(close(v, o) for o in options):
                    influx_wrong += 1
    return {"setting": setting[0], "config": config, "seed": seed,
            "false_raises": false_raises, "wrong_clears": wrong_clears,
            "missed": missed, "delays": delays, "records": len(records), "complete": complete,
            "wrong_values": wrong_values, "influx_wrong": influx_wrong,
            "section_alarms": section_alarms,
            "alarms": sum(len(v) for v in expected.values())}


def stale_dc_run(args, config, work):
    """A DC controller that answers 42/44 but not 42/41 for rounds 21 to 60:
    returns a list of problems."""
    tag = "stale-" + os.path.basename(config).split(".")[0]
    cap = os.path.join(work, tag + ".cap")
    run([args.powersim, "--rounds", "100", "--seed", "1", "--never-answer", "42/41@21-60",
         "--out", cap])
    gw = [args.smdgw, "--plugin", args.plugin, "--config", os.path.join(ROOT, config),
          "--log", "/dev/null"]
    changes, k = [], 0
    for l in json_lines(run(gw + ["--replay", cap])):
        if l.get("event") == "record":
            k += 1
        if l.get("event") == "alarm" and l.get("alarm_id") == "smdgw-section-dc":
            changes.append((l["state"], k, l["message"]))
    problems = []
    if [c[0] for c in changes] != ["raised", "cleared"]:
        problems.append("%s: DC section alarm changes %s" % (config, changes))
    else:
        if not 21 <= changes[0][1] <= 20 + STALE_ROUNDS:
            problems.append("%s: raised in round %d" % (config, changes[0][1]))
        if changes[1][1] != 61:
            problems.append("%s: cleared in round %d, not 61" % (config, changes[1][1]))
        if "(42/41)" not in changes[0][2]:
            problems.append("%s: the message %r names no command" % (config, changes[0][2]))
    return problems


# ---- the live run ---------------------------------------------------------------------


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(what, check, seconds):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        try:
            v = check()
        except OSError:
            v = None
        if v:
            return v
        time.sleep(0.05)
    raise RuntimeError("timed out waiting for " + what)


def get_json(url):
    with urllib.request.urlopen(url, timeout=10) as r:
        return json.loads(r.read().decode("utf-8"))


def stop(proc, sig=signal.SIGTERM):
    if proc and proc.poll() is None:
        proc.send_signal(sig)
        try:
            proc.wait(20)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


def start_influxd(work):
    http, rpc = free_port(), free_port()
    conf = os.path.join(work, "influxdb.conf")
    with open(conf, "w") as f:
        f.write('reporting-disabled = true\nbind-address = "127.0.0.1:%d"\n'
                '[meta]\n  dir = "%s/meta"\n[data]\n  dir = "%s/data"\n  wal-dir = "%s/wal"\n'
                '  query-log-enabled = false\n[http]\n  bind-address = "127.0.0.1:%d"\n'
                '  log-enabled = false\n' % (rpc, work, work, work, http))
    proc = subprocess.Popen(["influxd", "-config", conf], stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    url = "http://127.0.0.1:%d" % http

    def up():
        try:
            urllib.request.urlopen(url + "/ping", timeout=1)
            return True
        except OSError:
            return False

    wait_for("influxd", up, 30)
    urllib.request.urlopen(urllib.request.Request(
        url + "/query", data=urllib.parse.urlencode({"q": "CREATE DATABASE fleet"}).encode()))
    return proc, url


def influx_query(url, q):
    with urllib.request.urlopen(url + "/query?" + urllib.parse.urlencode({"db": "fleet", "q": q}),
                                timeout=10) as r:
        return json.loads(r.read().decode())


def live_run(args, setting, work):
    """One live run; returns a list of problems found."""
    problems = []
    seed, rounds = 1, args.live_rounds
    line = PtyPair()
    procs = []
    try:
        broker_port = free_port()
        bconf = os.path.join(work, "mosquitto.conf")
        with open(bconf, "w") as f:
            f.write("listener %d 127.0.0.1\nallow_anonymous true\npersistence false\n" % broker_port)
        broker = subprocess.Popen(["mosquitto", "-c", bconf], stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL)
        procs.append(broker)
        wait_for("mosquitto", lambda: socket.create_connection(("127.0.0.1", broker_port), 1), 20)
        sub_out = open(os.path.join(work, "mqtt.txt"), "w")
        sub = subprocess.Popen(["mosquitto_sub", "-h", "127.0.0.1", "-p", str(broker_port), "-q", "1",
                                "-F", "%t\t%p", "-t", "smdgw/+/+/record"], stdout=sub_out,
                               stderr=subprocess.DEVNULL)
        procs.append(sub)
        influxd, influx_url = start_influxd(os.path.join(work, "influx"))
        procs.append(influxd)
        prom = os.path.join(work, "p.prom")
        err_path = os.path.join(work, "gw.err")
        gw = subprocess.Popen(
            [args.smdgw, "--plugin", args.plugin, "--config", os.path.join(ROOT, "examples/demo.json"),
             "--port", line.name(1), "--prometheus", prom, "--history", os.path.join(work, "h.db"),
             "--http", "127.0.0.1:0", "--mqtt", "mqtt://127.0.0.1:%d" % broker_port,
             "--gateway-id", "site", "--mqtt-damaged", "--log", "/dev/null"],
            stdout=open(os.path.join(work, "gw.out"), "w"), stderr=open(err_path, "w"))
        procs.append(gw)

        def url_on_stderr():
            m = re.search(r"serving (http://127\.0\.0\.1:\d+/)", open(err_path).read())
            return m.group(1) if m else None
        url = wait_for("the gateway's URL", url_on_stderr, 30)
        # Look at Prometheus and the API while the rounds come.
        seen = {"prom_dc_zero": 0, "api_dc_zero": 0, "looks": 0, "ac1_zero": 0}
        done = threading.Event()

        def watch():
            while not done.is_set():
                try:
                    text = open(prom).read()
                    m = re.search(r'^veltra_dc_voltage_volts\{device="plant1",panel="1"\} (\S+)$',
                                  text, re.M)
                    if m and float(m.group(1)) == 0.0:
                        seen["prom_dc_zero"] += 1
                    m = re.search(r'^veltra_ac_input_voltage_volts\{device="plant1",input="1",'
                                  r'phase="a"\} (\S+)$', text, re.M)
                    if m and float(m.group(1)) == 0.0:
                        seen["ac1_zero"] += 1
                    d = get_json(url + "api/v1/devices/plant1")
                    if d["record"] and d["sections"]["dc"]["refreshed"] and d["record"]["dc"]["v"] == 0:
                        seen["api_dc_zero"] += 1
                    seen["looks"] += 1
                except (OSError, ValueError, KeyError, TypeError):
                    pass
                time.sleep(0.02)
        watcher = threading.Thread(target=watch, daemon=True)
        watcher.start()
        sent_path = os.path.join(work, "sent.json")
        faults = fault_plan(seed, rounds)
        # At the line's own pace, so that the outputs are looked at between rounds.
        run([args.powersim, "--port", line.name(0), "--rounds", str(rounds), "--seed", str(seed),
             "--realtime", "--interval", "0", "--json", sent_path] + setting[1] + faults,
            timeout=900)
        sent = json_lines(open(sent_path).read())
        published = sum(1 for r in sent if r["published"])
        wait_for("every round", lambda: get_json(url + "api/v1/devices/plant1")["rounds"] >= published, 60)
        done.set()
        watcher.join()
        if seen["looks"] < 20:
            problems.append("the watcher looked only %d times" % seen["looks"])
        for key in ("prom_dc_zero", "api_dc_zero"):
            if seen[key]:
                problems.append("%s: a zero DC voltage was shown %d times" % (key, seen[key]))
        if not seen["ac1_zero"]:
            problems.append("the failed AC input's true 0 V never reached Prometheus")
        plant_dc = [r["snapshot"]["dc"]["v"] for r in sent]
        # The history's complete rounds and refreshed fields.
        h = get_json(url + "api/v1/devices/plant1/history?fields=dc.v,ac_channels%5B0%5D.a,complete"
                     "&complete=1&since=0")
        if not h["rows"]:
            problems.append("the history gave no complete round")
        for row in h["rows"]:
            if row[3] != 1 or row[1] is None or not any(close(row[1], v) for v in plant_dc):
                problems.append("history row %s is not a complete round of the plant" % row)
                break
        all_rows = get_json(url + "api/v1/devices/plant1/history?fields=dc.v&since=0")["rows"]
        if any(r[1] == 0 for r in all_rows):
            problems.append("the history gave a zero DC voltage")
        # The page at the end: the DC voltage the API shows, which is the plant's.
        shown = get_json(url + "api/v1/devices/plant1")["record"]["dc"]["v"]
        dom = subprocess.run([args.chromium, "--headless", "--no-sandbox", "--disable-gpu",
                              "--user-data-dir=" + os.path.join(work, "chrome"), "--dump-dom", url],
                             capture_output=True, text=True, timeout=120).stdout
        values = re.findall(r'class="dcv" data-value="([^"]+)"', dom)
        if not values or not close(values[0], shown) or float(values[0]) == 0:
            problems.append("the page shows DC %s, the API %s" % (values[:1], shown))
        if not any(close(shown, v) for v in plant_dc):
            problems.append("the API's DC voltage %s is none of the plant's" % shown)
        stop(gw)
        stop(sub)
        sub_out.close()
        # MQTT records through the fleet consumer into InfluxDB.
        consumer = subprocess.run([sys.executable, os.path.join(ROOT, "examples/fleet_to_influx.py")],
                                  stdin=open(os.path.join(work, "mqtt.txt")), capture_output=True,
                                  text=True, timeout=120)
        body = consumer.stdout.encode()
        urllib.request.urlopen(urllib.request.Request(influx_url + "/write?db=fleet&precision=ns",
                                                      data=body), timeout=30)
        res = influx_query(influx_url, "SELECT count(v) FROM veltra_dc; "
                                       "SELECT count(v) FROM veltra_dc WHERE v = 0")
        counts = [r.get("series", [{"values": [[0, 0]]}])[0]["values"][0][1] for r in res["results"]]
        if counts[0] == 0:
            problems.append("InfluxDB holds no DC point from MQTT")
        if counts[1] != 0:
            problems.append("InfluxDB holds %d zero DC points from MQTT" % counts[1])
        print("  live %s: %d rounds, %d looks at Prometheus and the API, %d history rows, "
              "%d DC points in InfluxDB via MQTT" % (setting[0], published, seen["looks"],
                                                      len(h["rows"]), counts[0]))
    except (RuntimeError, OSError, subprocess.SubprocessError) as e:
        problems.append("live run: %s" % e)
    finally:
        for p in reversed(procs):
            stop(p)
        line.close()
    return problems


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--build", default="build", help="build folder with smdgw, powersim, the plug-in")
    p.add_argument("--seeds", type=int, default=10, help="how many seeds")
    p.add_argument("--first-seed", type=int, default=1, help="the first seed of the range")
    p.add_argument("--rounds", type=int, default=1000)
    p.add_argument("--live-rounds", type=int, default=200)
    p.add_argument("--skip-live", action="store_true", help="only the replays")
    p.add_argument("--jobs", type=int, default=2)
    p.add_argument("--chromium", default="/usr/bin/chromium")
    args = p.parse_args()
    build = os.path.abspath(args.build)
    args.smdgw = os.path.join(build, "smdgw")
    args.powersim = os.path.join(build, "powersim")
    args.plugin = os.path.join(build, "libveltra_quelm_k418t_419.so")
    work = tempfile.mkdtemp(prefix="smdgw-acceptance.")
    failed = False
    started = time.monotonic()
    try:
        jobs = [(c, s, seed) for s in SETTINGS for c in CONFIGS for seed in range(args.first_seed, args.first_seed + args.seeds)]
        with ThreadPoolExecutor(max_workers=args.jobs) as pool:
            results = list(pool.map(lambda j: one_run(args, j[0], j[1], j[2], work), jobs))
        print("seeds %d to %d x %d rounds, %s" % (args.first_seed, args.first_seed + args.seeds - 1,
                                                  args.rounds, " and ".join(CONFIGS)))
        print("%-12s %7s %7s %6s %6s %13s %13s %9s %7s %7s" % (
            "setting", "false", "wrong", "missed", "alarm", "raise delay", "clear delay",
            "complete", "values", "section"))
        print("%-12s %7s %7s %6s %6s %13s %13s %9s %7s %7s" % (
            "", "raises", "clears", "", "changes", "median/max", "median/max", "rounds", "wrong",
            "alarms"))
        for name, _ in SETTINGS:
            rs = [r for r in results if r["setting"] == name]
            fr = sum(r["false_raises"] for r in rs)
            wc = sum(r["wrong_clears"] for r in rs)
            mi = sum(r["missed"] for r in rs)
            raise_d = [d for r in rs for d in r["delays"]["raised"]]
            clear_d = [d for r in rs for d in r["delays"]["cleared"]]
            comp = sum(r["complete"] for r in rs) / max(1, sum(r["records"] for r in rs))
            wv = sum(r["wrong_values"] + r["influx_wrong"] for r in rs)
            changes = sum(r["alarms"] for r in rs)
            sa = sum(r["section_alarms"] for r in rs)

            def md(d):
                return "%g/%d" % (statistics.median(d), max(d)) if d else "-"
            print("%-12s %7d %7d %6d %6d %13s %13s %8.1f%% %7d %7d" % (
                name, fr, wc, mi, changes, md(raise_d), md(clear_d), 100 * comp, wv, sa))
            # Which seeds to look at: replay them with the same arguments.
            for r in rs:
                bad = [(k, r[k]) for k in ("false_raises", "wrong_clears", "missed",
                                           "wrong_values", "influx_wrong", "section_alarms")
                       if r[k]]
                if bad:
                    print("  seed %d, %s: %s" % (r["seed"], r["config"],
                                                 ", ".join("%s %d" % b for b in bad)))
            if fr or wc or mi or wv or sa or (raise_d and statistics.median(raise_d) > 1) or \
                    (clear_d and statistics.median(clear_d) > 1) or not changes:
                failed = True
        for config in CONFIGS:
            problems = stale_dc_run(args, config, work)
            for problem in problems:
                print("  FAIL stale DC values: " + problem)
                failed = True
            if not problems:
                print("  stale DC values (%s): the section alarm raised and cleared" % config)
        if not args.skip_live:
            for s in SETTINGS[:2]:
                live_work = os.path.join(work, "live-%d" % SETTINGS.index(s))
                os.makedirs(live_work)
                os.makedirs(os.path.join(live_work, "influx"))
                for problem in live_run(args, s, live_work):
                    print("  FAIL " + problem)
                    failed = True
        print("%s in %.0f s" % ("FAILED" if failed else "all checks hold", time.monotonic() - started))
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
