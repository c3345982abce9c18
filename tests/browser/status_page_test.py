#!/usr/bin/env python3
"""The status page in a real browser.

smdgw follows powersim over a pair of pseudo-terminals with --http on a port
it picks. Headless Chromium then
  1. reads the page with --dump-dom (it returns at the load event) and finds
     the DC voltage the simulator sent, the module count and the message of an
     alarm raised before the page was loaded;
  2. over the DevTools protocol, keeps the page open while a new alarm is
     raised on the line and sees it appear without a reload, in the list of
     the last alarm changes too, and draws the 24 h chart from the history;
  3. keeps it open while the DC panel's responses are lost for two rounds:
     its figures stay those of the last round that brought them, marked as
     held, and the chart gets no point from those rounds;
  4. at 400 px wide, shows alarms of levels 1, 2 and 3 most severe first on
     the first screen (status_page_narrow.png);
  5. saves a screenshot (status_page.png) in the output folder.
Everything on loopback; every wait is bounded.
"""

import argparse
import base64
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import urllib.request

import websocket  # Debian's python3-websocket

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from pty_pair import PtyPair  # noqa: E402

CONFIG = {"devices": [{"name": "plant1", "data_id": 418, "address": 1,
                       "alarm_levels": {"120600180010": 3}}]}
CHROMIUM_FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                  "--disable-background-networking", "--disable-component-update",
                  "--disable-sync", "--hide-scrollbars", "--window-size=1280,1400"]


def fail(message):
    print("FAIL: " + message, file=sys.stderr)
    sys.exit(1)


def wait_for(what, check, seconds, shown=None):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        value = check()
        if value:
            return value
        time.sleep(0.1)
    fail("timed out waiting for " + what + (":\n" + str(shown()) if shown else ""))


def get_json(url):
    with urllib.request.urlopen(url, timeout=10) as r:
        return json.loads(r.read().decode("utf-8"))


def run_plant(args, port, rounds, faults, sent, seed=5):
    return run_plant_rounds(args, port, rounds, faults, sent, seed)[-1]["snapshot"]


def run_plant_rounds(args, port, rounds, faults, sent, seed=5):
    cmd = [args.powersim, "--port", port, "--rounds", str(rounds), "--seed", str(seed),
           "--json", sent]
    for f in faults:
        cmd += ["--fault", f]
    subprocess.run(cmd, check=True, timeout=60, stdout=subprocess.DEVNULL)
    with open(sent, encoding="utf-8") as f:
        return [json.loads(line) for line in f if line.strip()]


def start_chromium(extra, profile):
    return subprocess.Popen([args.chromium] + CHROMIUM_FLAGS + ["--user-data-dir=" + profile] + extra,
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                            start_new_session=True)


def stop_group(proc):
    if proc.poll() is None:
        os.killpg(proc.pid, signal.SIGTERM)
        try:
            proc.wait(10)
        except subprocess.TimeoutExpired:
            os.killpg(proc.pid, signal.SIGKILL)
            proc.wait()


class DevTools:
    def __init__(self, ws_url):
        self.ws = websocket.create_connection(ws_url, timeout=30, suppress_origin=True)
        self.next_id = 0
        self.events = []

    def call(self, method, **params):
        self.next_id += 1
        self.ws.send(json.dumps({"id": self.next_id, "method": method, "params": params}))
        while True:
            msg = json.loads(self.ws.recv())
            if msg.get("id") == self.next_id:
                if "error" in msg:
                    fail(method + ": " + json.dumps(msg["error"]))
                return msg.get("result", {})
            self.events.append(msg)

    def wait_event(self, method, seconds):
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            for e in self.events:
                if e.get("method") == method:
                    return e
            self.ws.settimeout(max(0.1, end - time.monotonic()))
            try:
                self.events.append(json.loads(self.ws.recv()))
            except websocket.WebSocketTimeoutException:
                break
        fail("no " + method + " within %d s" % seconds)

    def evaluate(self, expression):
        r = self.call("Runtime.evaluate", expression=expression, returnByValue=True)
        return r.get("result", {}).get("value")


def main():
    work = tempfile.mkdtemp(prefix="smdgw-browser.")
    os.makedirs(args.out, exist_ok=True)
    line = PtyPair()
    gateway = chromium = None
    try:
        config = os.path.join(work, "gw.json")
        with open(config, "w", encoding="utf-8") as f:
            json.dump(CONFIG, f)
        err_path = os.path.join(work, "err.txt")
        with open(os.path.join(work, "out.txt"), "w") as out, open(err_path, "w") as err:
            gateway = subprocess.Popen(
                [args.smdgw, "--plugin", args.plugin, "--config", config, "--port", line.name(1),
                 "--http", "127.0.0.1:0", "--log", os.path.join(work, "driver.log"),
                 "--history", os.path.join(work, "history.db"), "--history-commit-s", "0"],
                stdout=out, stderr=err)

        def url_on_stderr():
            with open(err_path, encoding="utf-8") as f:
                m = re.search(r"serving (http://127\.0\.0\.1:\d+/)", f.read())
            return m.group(1) if m else None
        url = wait_for("the gateway's URL", url_on_stderr, 20)

        # Three rounds with module 3 faulty, before the page is loaded.
        sent = os.path.join(work, "sent.json")
        snapshot = run_plant(args, line.name(0), 3, ["module-fault:3@1-"], sent)
        wait_for("three rounds", lambda: get_json(url + "api/v1/devices")[0]["rounds"] >= 3, 20)

        # 1. The DOM at the load event.
        dom = subprocess.run([args.chromium] + CHROMIUM_FLAGS +
                             ["--user-data-dir=" + os.path.join(work, "profile-dump"),
                              "--dump-dom", url],
                             capture_output=True, timeout=90, text=True).stdout
        values = re.findall(r'class="dcv" data-value="([^"]+)"', dom)
        if not values:
            fail("no DC voltage in the DOM:\n" + dom[:3000])
        if abs(float(values[0]) - snapshot["dc"]["v"]) > 1e-3:
            fail("DC voltage %s on the page, %s sent" % (values[0], snapshot["dc"]["v"]))
        count = re.search(r'class="sub module-count" data-count="(\d+)"', dom)
        if not count or int(count.group(1)) != snapshot["channel_count"]:
            fail("module count %s on the page, %d sent" %
                 (count.group(1) if count else None, snapshot["channel_count"]))
        for text in ("模块3模块故障告警状态", "Module 3: fault alarm"):
            if text not in dom:
                fail("alarm text %r not in the DOM" % text)
        print("dump-dom: DC %s V, %s modules, alarm of module 3 shown" % (values[0], count.group(1)))

        # 2. A live page over the DevTools protocol.
        profile = os.path.join(work, "profile-live")
        chromium = start_chromium(["--remote-debugging-port=0", "--remote-allow-origins=*",
                                   "about:blank"], profile)
        port_file = os.path.join(profile, "DevToolsActivePort")
        wait_for("DevToolsActivePort", lambda: os.path.exists(port_file) and
                 open(port_file).read().strip(), 60)
        devtools_port = open(port_file).read().split()[0]
        targets = wait_for("a page target", lambda: [
            t for t in get_json("http://127.0.0.1:%s/json/list" % devtools_port)
            if t.get("type") == "page"], 30)
        cdp = DevTools(targets[0]["webSocketDebuggerUrl"])
        cdp.call("Page.enable")
        cdp.call("Page.navigate", url=url)
        cdp.wait_event("Page.loadEventFired", 60)
        cdp.evaluate("window.__loadedOnce = 'yes'")
        wait_for("the event stream", lambda: cdp.evaluate(
            "document.getElementById('link').textContent") == "live", 30)
        if cdp.evaluate("document.body.innerText.includes('AC input 1: breaker tripped')"):
            fail("the breaker alarm is there before it was raised")
        navigations = sum(1 for e in cdp.events if e.get("method") == "Page.frameNavigated")

        run_plant(args, line.name(0), 2, ["module-fault:3@1-", "breaker-trip:1@1-"], sent)
        wait_for("the breaker alarm on the open page", lambda: cdp.evaluate(
            "document.body.innerText.includes('AC input 1: breaker tripped') && "
            "document.body.innerText.includes('第1路交流输入-交流输入空开跳')"), 30)
        if cdp.evaluate("window.__loadedOnce") != "yes":
            fail("the page was reloaded")
        if sum(1 for e in cdp.events if e.get("method") == "Page.frameNavigated") != navigations:
            fail("the page navigated again")
        print("devtools: the breaker alarm appeared without a reload")

        # The alarm log's list has the new change; a longer range comes from the history.
        wait_for("the breaker alarm among the last changes", lambda: cdp.evaluate(
            "Array.from(document.querySelectorAll('ul.changes li .raised')).some(function (e) {"
            " return e.parentNode.textContent.includes('第1路交流输入-交流输入空开跳'); })"), 30)
        cdp.evaluate("document.querySelector('button[data-range=\"24 h\"]').click()")
        wait_for("the 24 h chart from the history", lambda: cdp.evaluate(
            "document.querySelector('button[data-range=\"24 h\"]').className === 'on' && "
            "document.body.textContent.includes('DC voltage and load, last 24 h') && "
            "document.querySelectorAll('svg.chart path').length > 0"), 30,
            lambda: cdp.evaluate("document.querySelector('.ranges').parentNode.parentNode.innerText"))
        cdp.evaluate("document.querySelector('button[data-range=\"1 h\"]').click()")
        print("devtools: the change is in the alarm log's list; the 24 h chart is drawn from the history")

        # 3. The DC panel's responses lost for two rounds: its figures stay.
        rounds = run_plant_rounds(args, line.name(0), 3, ["module-fault:3@1-", "mute:dc@2-3"],
                                  sent, seed=6)
        if not rounds[0]["sections_intact"]["dc"] or rounds[2]["sections_intact"]["dc"]:
            fail("the simulator did not lose the DC panel as asked: " + json.dumps(rounds))
        expected_v = rounds[0]["snapshot"]["dc"]["v"]
        wait_for("the DC panel marked held", lambda: cdp.evaluate(
            "(document.querySelector('section[data-section=dc]') || {}).getAttribute && "
            "document.querySelector('section[data-section=dc]').getAttribute('data-state') === 'held'"
            " && document.querySelector('section[data-section=rectifiers]')"
            ".getAttribute('data-state') === 'fresh'"), 30)
        wait_for("three more rounds", lambda: get_json(url + "api/v1/devices")[0]["rounds"] >= 8, 20)
        shown_v = cdp.evaluate("parseFloat(document.querySelector('td.dcv').getAttribute('data-value'))")
        if shown_v is None or abs(shown_v - expected_v) > 1e-3:
            fail("DC voltage %s on the page after the panel went quiet; %s was its last value" %
                 (shown_v, expected_v))
        if not cdp.evaluate("document.body.innerText.includes('values from ')"):
            fail("the held DC figures carry no age")
        detail = get_json(url + "api/v1/devices/plant1")
        if detail["sections"]["dc"]["state"] != "held" or abs(detail["record"]["dc"]["v"] - expected_v) > 1e-3:
            fail("the API shows " + json.dumps(detail["sections"]) + " " + str(detail["record"]["dc"]["v"]))
        print("devtools: DC %.2f V kept and marked held while the panel was lost" % shown_v)

        # 4. On a phone, three alarms of three levels: the most severe first,
        #    on the first screen; an AC phase that is down stands out.
        run_plant_rounds(args, line.name(0), 4, ["module-fault:3@1-", "breaker-trip:1@1-",
                                                 "mute:dc@1-4"], sent, seed=7)
        levels_js = ("Array.from(document.querySelectorAll('ul.alarms li:not(.pending)'))"
                     ".map(function (e) { return parseInt(e.className.slice(1), 10); })")
        wait_for("alarms of levels 1, 2 and 3", lambda: {1, 2, 3} <= set(cdp.evaluate(levels_js)),
                 30, lambda: cdp.evaluate("document.querySelector('ul.alarms').innerText"))
        levels = cdp.evaluate(levels_js)
        if levels != sorted(levels):
            fail("the alarms are not most severe first: levels %s" % levels)
        cdp.call("Emulation.setDeviceMetricsOverride", width=400, height=800, deviceScaleFactor=1,
                 mobile=True)
        top = wait_for("the alarms on the first screen at 400 px", lambda: cdp.evaluate(
            "(function () { var r = document.querySelector('ul.alarms li').getBoundingClientRect();"
            " return r.top >= 0 && r.bottom <= window.innerHeight ? String(Math.round(r.top)) : null; })()"), 10,
            lambda: cdp.evaluate("JSON.stringify(document.querySelector('ul.alarms li')"
                                 ".getBoundingClientRect())"))
        if cdp.evaluate("document.querySelector('ul.alarms li').className") != "l1":
            fail("the first alarm at 400 px is not of level 1")
        shot = cdp.call("Page.captureScreenshot", format="png")
        with open(os.path.join(args.out, "status_page_narrow.png"), "wb") as f:
            f.write(base64.b64decode(shot["data"]))
        cdp.call("Emulation.clearDeviceMetricsOverride")
        print("devtools: at 400 px the level 1 alarm is first, %s px from the top" % top)

        # 5. The screenshot for the README.
        shot = cdp.call("Page.captureScreenshot", format="png", captureBeyondViewport=True)
        path = os.path.join(args.out, "status_page.png")

        with open(path, "wb") as f:
            f.write(base64.b64decode(shot["data"]))
        print("screenshot: " + path)
    finally:
        if chromium:
            stop_group(chromium)
        if gateway and gateway.poll() is None:
            gateway.send_signal(signal.SIGTERM)
            try:
                gateway.wait(20)
            except subprocess.TimeoutExpired:
                gateway.kill()
                gateway.wait()
        line.close()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    p = argparse.ArgumentParser(description=__doc__)
    p.add_argument("--smdgw", required=True)
    p.add_argument("--powersim", required=True)
    p.add_argument("--plugin", required=True)
    p.add_argument("--chromium", default="/usr/bin/chromium")
    p.add_argument("--out", required=True, help="folder for the screenshot")
    args = p.parse_args()
    main()
