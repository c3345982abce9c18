#!/usr/bin/env python3
"""A central consumer for smdgw's MQTT record messages.

Reads the lines of `mosquitto_sub -F '%t\t%p'` (topic, a tab, the payload; a
topic may hold blanks, never a tab) on standard input and
writes the Influx line protocol that `smdgw --format influx` writes for the
same rounds: veltra_round (the round's quality and which sections it
refreshed), and for each section the round refreshed its measurements
(veltra_ac and veltra_ac_input; veltra_system and veltra_rectifier; veltra_dc),
with the same fields and the tag device, plus
a tag gateway (the topic level after the prefix's first one). The timestamp is
the round's "time". A message that arrives twice (delivery is at least once)
is written once: its boot_id and pub_seq name it.

    mosquitto_sub -h broker -p 8883 --cafile ca.pem -u central -P ... -q 1 \\
        -c -i central-influx -F '%t\t%p' -t 'smdgw/+/+/record' | python3 fleet_to_influx.py

Only the Python standard library is used.
"""

import json
import sys
from collections import OrderedDict
from datetime import datetime

AC_CHANNELS = 2
RC_CHANNELS = 40
ALERT_M_SIZE = 10
# Names of messages already written, the oldest forgotten first.
SEEN_LIMIT = 100000


def tag(text):
    return text.replace("\\", "\\\\").replace(",", "\\,").replace("=", "\\=").replace(" ", "\\ ")


def number(value):
    # smdgw writes every field as a float, integral values included.
    return repr(float(value))


def nanoseconds(iso_time):
    return int(datetime.fromisoformat(iso_time).timestamp() * 1000) * 1000000


SECTIONS = ("ac", "rectifiers", "dc")


def fresh(message, section):
    # The round refreshed the section ("sections" of the record message; a
    # message without it is whole when complete).
    default = "held" if message.get("complete") is False else "fresh"
    return message.get("sections", {}).get(section, default) == "fresh"


def round_line(gateway, device, message, stamp):
    damage = message.get("damage", {})
    fields = [("complete", 0 if message.get("complete") is False else 1),
              ("frame_errors", damage.get("frame_errors", 0)),
              ("unanswered_commands", damage.get("unanswered_commands", 0))]
    fields += [(s + "_fresh", 1 if fresh(message, s) else 0) for s in SECTIONS]
    return ("veltra_round,device=" + tag(device) + ",gateway=" + tag(gateway) + " " +
            ",".join(k + "=" + number(v) for k, v in fields) + " " + str(stamp))


def record_lines(gateway, device, message, stamp):
    record = message["record"]
    tags = "device=" + tag(device) + ",gateway=" + tag(gateway)
    out = []
    # A section the round did not refresh reads as zeros or old values: no line.
    section_of = {"veltra_system": "rectifiers", "veltra_rectifier": "rectifiers",
                  "veltra_ac": "ac", "veltra_ac_input": "ac", "veltra_dc": "dc"}

    def add(measurement, instance, fields):
        if not fresh(message, section_of[measurement]):
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


def main():
    seen = OrderedDict()
    for line in sys.stdin:
        topic, _, payload = line.rstrip("\n").partition("\t")
        levels = topic.split("/")
        if len(levels) < 4 or levels[-1] != "record":
            continue
        try:
            message = json.loads(payload)
        except ValueError:
            print("fleet_to_influx: not JSON on " + topic, file=sys.stderr)
            continue
        name = (topic, message.get("boot_id"), message.get("pub_seq"))
        if name in seen:
            continue
        seen[name] = True
        if len(seen) > SEEN_LIMIT:
            seen.popitem(last=False)
        gateway = levels[-3]
        stamp = nanoseconds(message["time"])
        print(round_line(gateway, message["device"], message, stamp))
        for out in record_lines(gateway, message["device"], message, stamp):
            print(out)
        sys.stdout.flush()


if __name__ == "__main__":
    main()
