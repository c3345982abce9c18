#!/usr/bin/env python3
"""The central consumer of a fleet of smdgw gateways: every MQTT message they
publish, into InfluxDB.

What each message kind (the topic's last level) becomes, in Influx line
protocol, tagged with the gateway (and the device where there is one):

  record   veltra_round (the round's quality and which sections it
           refreshed: ac_fresh, rectifiers_fresh, dc_fresh) and, for what the round
           refreshed, the measurements `smdgw --format influx` writes:
           veltra_system, veltra_ac, veltra_ac_input, veltra_rectifier,
           veltra_dc, with the same fields. Full and compact payloads
           (--mqtt-payload compact) alike. A round with "sections" writes the
           sections that are "fresh" only; one without them, all of a
           complete round and nothing but veltra_round of a damaged one.
  alarm    veltra_alarm, an event: tags alarm_id, key, message, seq; fields
           active (1.0 raised, 0.0 cleared), level, state and english
  alarms   veltra_alarms_active: field count, the device's active alarms
  state    veltra_state: tag state; field live (1.0 while live)
  status   smdgw_gateway: field online (1.0 online, 0.0 offline: a clean
           stop or the broker's last will), timestamped on arrival
  dropped  smdgw_dropped per kind: fields count (dropped since the notice
           before), first and last (when those were made), total (all kinds
           over the outbox's life)

Every timestamp but the status's is the event's own "time" (its nanoseconds
below the millisecond hold the message's pub_seq, so that two messages of a
series in one millisecond stay two points). A message that arrives twice
(delivery is at least once) is written once: its topic, boot_id and pub_seq
name it.

Input: with --mqtt URL it subscribes by itself (Debian's python3-paho-mqtt,
1.6) under a fixed client ID with a persistent session and QoS 1: while it is
stopped or stalled the broker keeps its messages, and it resumes where it
was. paho 1.6 acknowledges a message as soon as this program's handler
returns, with no way to acknowledge later: what is written to standard output
is then the reader's (Telegraf's) to keep, and with --influx a crash loses the
batch not yet written (at most a second's worth). Without --mqtt it reads the
lines of `mosquitto_sub -F '%t\\t%p'` (topic, a tab, the payload) on standard
input.

Output: Influx line protocol on standard output (for Telegraf's execd input),
or with --influx URL straight to InfluxDB 1.x's /write endpoint.

    fleet_to_influx.py --mqtt mqtts://broker.example.net:8883 --cafile fleet-ca.pem \\
        --auth central.auth --client-id central-influx \\
        --influx 'http://127.0.0.1:8086/write?db=fleet'
    mosquitto_sub -h broker -q 1 -c -i central-influx -F '%t\\t%p' -t 'smdgw/#' \\
        | fleet_to_influx.py
"""

import argparse
import json
import os
import signal
import ssl
import stat
import sys
import threading
import time
import urllib.error
import urllib.request
from collections import OrderedDict
from datetime import datetime
from urllib.parse import urlsplit

AC_CHANNELS = 2
RC_CHANNELS = 40
ALERT_M_SIZE = 10
# Names of messages already written, the oldest forgotten first.
SEEN_LIMIT = 100000
# --influx: lines are posted in batches of at most this many, or this old.
BATCH_LINES = 5000
BATCH_SECONDS = 1.0

# The compact record's short keys (docs/fleet.md has the table): the names
# of the full record they stand for.
COMPACT_RECORD = {"v": "out_v"}
COMPACT_AC = {"ia": "ia", "ib": "ib", "ic": "ic", "xa": "ia_alert", "xb": "ib_alert",
              "xc": "ic_alert", "br": "airlock_status", "st": "p40_43"}
COMPACT_INPUT = {"a": "a", "b": "b", "c": "c", "f": "f", "u": "p40_41", "xa": "alert_a",
                 "xb": "alert_b", "xc": "alert_c", "xf": "alert_f", "xu": "p40_44"}
COMPACT_MODULE = {"i": "out_i", "u": "p41_41", "off": "shutdown", "lim": "i_limit",
                  "chg": "charge", "us": "p41_43", "x": "fault", "xu": "p41_44"}
COMPACT_PANEL = {"v": "v", "i": "i", "bi": "dc_i", "ch": "channel", "u": "p", "xv": "alert_v",
                 "xf": "alert_m", "xu": "alert_p"}

# The measurements of each section a round may refresh.
SECTION_MEASUREMENTS = {
    "ac": ("veltra_ac", "veltra_ac_input"),
    "rectifiers": ("veltra_system", "veltra_rectifier"),
    "dc": ("veltra_dc",),
}


def tag(text):
    return text.replace("\\", "\\\\").replace(",", "\\,").replace("=", "\\=").replace(" ", "\\ ")


def string_field(text):
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def number(value):
    # smdgw writes every field as a float, integral values included.
    return repr(float(value))


def nanoseconds(iso_time):
    return int(datetime.fromisoformat(iso_time).timestamp() * 1000) * 1000000


def renamed(obj, keys):
    return {keys[k]: v for k, v in obj.items() if k in keys}


def full_record(compact):
    """The compact record with the full record's names and counts."""
    record = renamed(compact, COMPACT_RECORD)
    ac = renamed(compact.get("ac", {}), COMPACT_AC)
    inputs = [renamed(i, COMPACT_INPUT) for i in compact.get("in", [])]
    ac["channel_count"] = len(inputs)
    record["ac"] = ac
    record["ac_channels"] = inputs
    record["channels"] = [renamed(m, COMPACT_MODULE) for m in compact.get("m", [])]
    record["channel_count"] = len(record["channels"])
    for panel in ("dc", "dc2"):
        if panel in compact:
            p = renamed(compact[panel], COMPACT_PANEL)
            p["alert_m_count"] = len(p.get("alert_m", []))
            record[panel] = p
    return record


def round_line(gateway, device, message, stamp):
    damage = message.get("damage", {})
    fields = [("complete", 0 if message.get("complete") is False else 1),
              ("frame_errors", damage.get("frame_errors", 0)),
              ("unanswered_commands", damage.get("unanswered_commands", 0))]
    # Which sections the round refreshed, as `smdgw --format influx` writes them.
    refreshed = refreshed_measurements(message)
    fields += [(s + "_fresh", 1 if SECTION_MEASUREMENTS[s][0] in refreshed else 0)
               for s in SECTION_MEASUREMENTS]
    return ("veltra_round,device=" + tag(device) + ",gateway=" + tag(gateway) + " " +
            ",".join(k + "=" + number(v) for k, v in fields) + " " + str(stamp))


def record_lines(gateway, device, record, stamp, wanted):
    tags = "device=" + tag(device) + ",gateway=" + tag(gateway)
    out = []

    def add(measurement, instance, fields):
        if measurement not in wanted:
            return
        text = ",".join(k + "=" + number(v) for k, v in fields if v is not None)
        out.append(measurement + "," + tags + instance + " " + text + " " + str(stamp))

    # Modules and AC inputs as reported: veltra::reported_modules() and
    # veltra::reported_ac_inputs() in record/record_fields.cpp, kept equivalent.
    channels = record.get("channels", [])
    modules = min(record.get("channel_count", 0), RC_CHANNELS, len(channels))
    add("veltra_system", "", [("out_v", record.get("out_v")), ("modules", modules)])
    ac = record.get("ac", {})
    ac_channels = record.get("ac_channels", [])
    inputs = min(ac.get("channel_count", 0), AC_CHANNELS, len(ac_channels))
    add("veltra_ac", "", [("ia", ac.get("ia")), ("ib", ac.get("ib")), ("ic", ac.get("ic")),
                          ("inputs", inputs), ("ia_alert", ac.get("ia_alert")),
                          ("ib_alert", ac.get("ib_alert")), ("ic_alert", ac.get("ic_alert"))])
    for i in range(inputs):
        ch = ac_channels[i]
        add("veltra_ac_input", ",input=" + str(i + 1),
            [(k, ch.get(k)) for k in ("a", "b", "c", "f", "alert_a", "alert_b", "alert_c",
                                      "alert_f")])
    for j in range(modules):
        m = channels[j]
        add("veltra_rectifier", ",module=" + str(j + 1),
            [(k, m.get(k)) for k in ("out_i", "shutdown", "i_limit", "charge", "fault")])

    # Fuses reported and blown: veltra::reported_fuses() and veltra::blown_fuses()
    # in record/record_fields.cpp, kept equivalent (the record JSON cuts alert_m
    # to its count already).
    def panel(number_, p):
        alerts = p.get("alert_m", [])
        fuses = min(p.get("alert_m_count", 0), ALERT_M_SIZE, len(alerts))
        blown = sum(1 for a in alerts[:fuses] if a != 0)
        add("veltra_dc", ",panel=" + str(number_),
            [("v", p.get("v")), ("i", p.get("i")), ("alert_v", p.get("alert_v")),
             ("fuses", fuses), ("fuses_blown", blown)])

    panel(1, record.get("dc", {}))
    dc2 = record.get("dc2", {})
    # A plant with one panel leaves the second one empty: the rule of
    # veltra::has_second_panel() in record/record_fields.cpp, kept equivalent
    # (a NaN voltage arrives as null, which counts as present in both).
    if dc2.get("v", 0) != 0 or dc2.get("alert_m_count", 0) != 0:
        panel(2, dc2)
    return out


def refreshed_measurements(message):
    """The measurements a round refreshed: its fresh sections, or all of a
    complete round when it does not say, none of a damaged one."""
    sections = message.get("sections")
    if isinstance(sections, dict):
        return {m for name, state in sections.items() if state == "fresh"
                for m in SECTION_MEASUREMENTS.get(name, ())}
    if message.get("complete") is False:
        return set()
    return {m for ms in SECTION_MEASUREMENTS.values() for m in ms}


def record_message(gateway, message, stamp):
    device = message["device"]
    out = [round_line(gateway, device, message, stamp)]
    record = message.get("record")
    if record is None and isinstance(message.get("compact"), dict):
        record = full_record(message["compact"])
    if isinstance(record, dict):
        out += record_lines(gateway, device, record, stamp, refreshed_measurements(message))
    return out


def alarm_message(gateway, message, stamp):
    tags = ("veltra_alarm,device=" + tag(message["device"]) + ",gateway=" + tag(gateway) +
            ",alarm_id=" + tag(str(message.get("alarm_id", ""))) + ",key=" +
            tag(str(message.get("key", ""))) + ",message=" + tag(str(message.get("message", ""))) +
            ",seq=" + tag(str(message.get("seq", ""))))
    raised = message.get("state") == "raised"
    fields = ["active=" + number(1 if raised else 0), "level=" + number(message.get("level", 0)),
              "state=" + string_field(str(message.get("state", ""))),
              "english=" + string_field(str(message.get("english", "")))]
    return [tags + " " + ",".join(fields) + " " + str(stamp)]


def alarms_message(gateway, message, stamp):
    return ["veltra_alarms_active,device=" + tag(message["device"]) + ",gateway=" + tag(gateway) +
            " count=" + number(len(message.get("alarms", []))) + " " + str(stamp)]


def state_message(gateway, message, stamp):
    state = str(message.get("state", ""))
    return ["veltra_state,device=" + tag(message["device"]) + ",gateway=" + tag(gateway) +
            ",state=" + tag(state) + " live=" + number(1 if state == "live" else 0) + " " +
            str(stamp)]


def dropped_message(gateway, message, stamp):
    out = []
    for k in message.get("dropped", []):
        out.append("smdgw_dropped,gateway=" + tag(gateway) + ",kind=" + tag(str(k.get("kind"))) +
                   " count=" + number(k.get("count", 0)) + ",total=" +
                   number(message.get("dropped_total", 0)) + ",first=" +
                   string_field(str(k.get("first", ""))) + ",last=" +
                   string_field(str(k.get("last", ""))) + " " + str(stamp))
    return out


DEVICE_KINDS = {"record": record_message, "alarm": alarm_message, "alarms": alarms_message,
                "state": state_message}


class Consumer:
    """Turns (topic, payload) into lines, once per message."""

    def __init__(self, write):
        self.write = write
        self.seen = OrderedDict()

    def take(self, topic, payload):
        levels = topic.split("/")
        kind = levels[-1]
        if kind == "status" and len(levels) >= 2:
            online = payload.strip() == b"online" if isinstance(payload, bytes) else \
                payload.strip() == "online"
            self.write(["smdgw_gateway,gateway=" + tag(levels[-2]) + " online=" +
                        number(1 if online else 0) + " " + str(time.time_ns())])
            return
        handler = DEVICE_KINDS.get(kind)
        gateway_level = -3
        if kind == "dropped":
            handler, gateway_level = dropped_message, -2
        if handler is None or len(levels) < -gateway_level:
            return
        try:
            message = json.loads(payload)
        except ValueError:
            print("fleet_to_influx: not JSON on " + topic, file=sys.stderr)
            return
        if not isinstance(message, dict) or "time" not in message:
            print("fleet_to_influx: not an smdgw message on " + topic, file=sys.stderr)
            return
        name = (topic, message.get("boot_id"), message.get("pub_seq"))
        if name in self.seen:
            return
        self.seen[name] = True
        if len(self.seen) > SEEN_LIMIT:
            self.seen.popitem(last=False)
        try:
            # The time to the millisecond; below it the message's pub_seq, so
            # that two messages of a series in one millisecond stay two points.
            stamp = nanoseconds(message["time"]) + int(message.get("pub_seq") or 0) % 1000000
            lines = handler(levels[gateway_level], message, stamp)
        except (KeyError, TypeError, ValueError) as e:
            print("fleet_to_influx: cannot read a message on " + topic + ": " + str(e),
                  file=sys.stderr)
            return
        self.write(lines)


class InfluxOutput:
    """Lines posted to InfluxDB 1.x's /write in batches; retried while it is down."""

    def __init__(self, url):
        self.url = url
        self.lines = []
        self.since = time.monotonic()
        # paho's thread adds, the main thread flushes a quiet batch.
        self.lock = threading.Lock()

    def __call__(self, lines):
        with self.lock:
            self.lines += lines
            if len(self.lines) >= BATCH_LINES or time.monotonic() - self.since >= BATCH_SECONDS:
                self.post()

    def flush(self):
        with self.lock:
            self.post()

    def post(self):
        if not self.lines:
            self.since = time.monotonic()
            return
        body = ("\n".join(self.lines) + "\n").encode()
        delay = 1.0
        while True:
            try:
                with urllib.request.urlopen(urllib.request.Request(self.url, data=body),
                                            timeout=30) as r:
                    r.read()
                break
            except urllib.error.HTTPError as e:
                # A point InfluxDB refuses would be refused again.
                print("fleet_to_influx: InfluxDB refused a batch: " + str(e.code) + " " +
                      e.read().decode(errors="replace").strip(), file=sys.stderr)
                if e.code < 500:
                    break
            except (urllib.error.URLError, OSError) as e:
                print("fleet_to_influx: cannot reach InfluxDB: " + str(e) + "; retrying",
                      file=sys.stderr)
            time.sleep(delay)
            delay = min(delay * 2, 30.0)
        self.lines = []
        self.since = time.monotonic()


def print_output(lines):
    for line in lines:
        print(line)
    sys.stdout.flush()


def read_auth(path):
    st = os.stat(path)
    if st.st_mode & (stat.S_IRWXG | stat.S_IRWXO):
        sys.exit("fleet_to_influx: --auth " + path + ": others may read it (chmod 600)")
    with open(path, encoding="utf-8") as f:
        lines = f.read().splitlines()
    if not lines or not lines[0]:
        sys.exit("fleet_to_influx: --auth " + path + ": no user name on its first line")
    return lines[0], lines[1] if len(lines) > 1 else ""


def run_mqtt(args, consumer, output):
    try:
        import paho.mqtt.client as mqtt
    except ImportError:
        sys.exit("fleet_to_influx: --mqtt needs paho-mqtt (Debian: python3-paho-mqtt)")
    url = urlsplit(args.mqtt)
    if url.scheme not in ("mqtt", "mqtts") or not url.hostname:
        sys.exit("fleet_to_influx: --mqtt " + args.mqtt + ": not mqtt://HOST[:PORT] or "
                 "mqtts://HOST[:PORT]")
    tls = url.scheme == "mqtts"
    client = mqtt.Client(client_id=args.client_id, clean_session=False)
    if args.auth:
        client.username_pw_set(*read_auth(args.auth))
    if tls:
        client.tls_set(ca_certs=args.cafile, cert_reqs=ssl.CERT_REQUIRED)

    def on_connect(c, userdata, flags, rc):
        if rc != 0:
            print("fleet_to_influx: the broker refused the connection: " +
                  mqtt.connack_string(rc), file=sys.stderr)
            return
        print("fleet_to_influx: connected to " + url.netloc + (
            ", resuming the session" if flags.get("session present") else ", a new session"),
              file=sys.stderr)
        c.subscribe(args.topic, qos=1)

    def on_message(c, userdata, msg):
        consumer.take(msg.topic, msg.payload)

    client.on_connect = on_connect
    client.on_message = on_message
    client.reconnect_delay_set(1, 30)
    client.connect_async(url.hostname, url.port or (8883 if tls else 1883), keepalive=30)
    stop = threading.Event()
    for sig in (signal.SIGTERM, signal.SIGINT):
        signal.signal(sig, lambda *_: stop.set())
    client.loop_start()
    while not stop.wait(BATCH_SECONDS):
        if hasattr(output, "flush"):
            output.flush()
    # What was taken is written before leaving; the broker keeps the rest.
    client.disconnect()
    client.loop_stop()
    if hasattr(output, "flush"):
        output.flush()


def run_stdin(consumer):
    for line in sys.stdin:
        topic, _, payload = line.rstrip("\n").partition("\t")
        consumer.take(topic, payload)


def main():
    parser = argparse.ArgumentParser(
        description="Writes what a fleet of smdgw gateways publishes over MQTT to InfluxDB.",
        epilog=__doc__.split("\n\n")[-1], formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--mqtt", metavar="URL",
                        help="subscribe to this broker (mqtt://HOST[:PORT], mqtts://HOST[:PORT]) "
                             "instead of reading mosquitto_sub's lines on standard input")
    parser.add_argument("--topic", default="smdgw/#", help="topic filter (default: smdgw/#)")
    parser.add_argument("--client-id", default="fleet-to-influx",
                        help="the persistent session's client ID (default: fleet-to-influx)")
    parser.add_argument("--cafile", metavar="FILE", help="CA certificates for mqtts://")
    parser.add_argument("--auth", metavar="FILE",
                        help="user name and password for the broker, one line each (chmod 600)")
    parser.add_argument("--influx", metavar="URL",
                        help="write to InfluxDB 1.x, e.g. http://127.0.0.1:8086/write?db=fleet "
                             "(default: line protocol on standard output)")
    args = parser.parse_args()
    output = InfluxOutput(args.influx) if args.influx else print_output
    consumer = Consumer(output)
    if args.mqtt:
        run_mqtt(args, consumer, output)
    else:
        run_stdin(consumer)
        if args.influx:
            output.flush()


if __name__ == "__main__":
    main()
