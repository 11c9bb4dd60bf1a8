#!/usr/bin/python3
"""export's configurations as telegraf and Home Assistant read them.

Random maps (hosts, serial defaults, units, every type and format, odd
names) are exported; the TOML and YAML are parsed with Python's own TOML
reader and PyYAML, and each rule of the engines' documentation is checked,
with every line of the map found exactly once, at its own address. The
Node-RED flow's requests are checked against what the protocol carries.
A failure names its seed.

usage: export_rules_test.py MODBUSCALC [MAPS]
"""

import csv
import json
import os
import random
import re
import subprocess
import sys
import tempfile
import tomllib

import yaml

FORMATS = {"u16": 1, "s16": 1, "hex": 1, "u32": 2, "s32": 2, "f32": 2, "u64": 4, "s64": 4,
           "f64": 4}
TELEGRAF_TYPES = {"u16": "UINT16", "hex": "UINT16", "s16": "INT16", "u32": "UINT32",
                  "s32": "INT32", "f32": "FLOAT32", "u64": "UINT64", "s64": "INT64",
                  "f64": "FLOAT64"}
WIDTH = {"INT16": 1, "UINT16": 1, "INT32": 2, "UINT32": 2, "FLOAT32": 2, "INT64": 4,
         "UINT64": 4, "FLOAT64": 4}
HA_TYPES = {"int16": 1, "uint16": 1, "int32": 2, "uint32": 2, "float32": 2, "int64": 4,
            "uint64": 4, "float64": 4}
KINDS = {"0": "coil", "1": "discrete", "3": "input", "4": "holding"}
ORDERS = ["ABCD", "CDAB", "BADC", "DCBA"]


class Failure(Exception):
    pass


def check(condition, what):
    if not condition:
        raise Failure(what)


def random_map(rng, path):
    hosts = ["192.0.2.1:502", "192.0.2.2:1502", "[2001:db8::5]", ""]
    lines, taken = [], set()
    while len(lines) < rng.randint(5, 60):
        kind = rng.choice("0134")
        fmt = "BOOL" if kind in "01" else rng.choice(list(FORMATS))
        width = 1 if kind in "01" else FORMATS[fmt]
        address = rng.randint(1, 65536 - width + 1)
        host = rng.choice(hosts)
        unit = str(rng.randint(1, 5)) if rng.random() < 0.8 else ""
        key = (host, unit, kind, address)
        if key in taken:
            continue
        taken.add(key)
        name = f"{rng.choice(['Temp', 'Flow', 'Pump', 'Ventil Ä', 'x'])} {len(lines)}" \
            + rng.choice(["", " °C", "-%", "/s", '"q"'])
        lines.append([name, host, unit, f"{kind}{address:05d}", fmt])
    with open(path, "w", newline="") as f:
        w = csv.writer(f)
        w.writerow(["name", "host", "unit", "ref", "format"])
        w.writerows(lines)
    return lines


def device_of(line):
    """The line's link and unit as export must write them."""
    name, host, unit, ref, fmt = line
    link = host or "/dev/ttyUSB3"
    if link.startswith("[") and link.endswith("]"):
        link += ":502"
    elif ":" not in link and not link.startswith("/"):
        link += ":502"
    return link, int(unit or 9)


def expected_points(lines):
    points = {}
    for line in lines:
        link, unit = device_of(line)
        kind = KINDS[line[3][0]]
        points[(link, unit, kind, int(line[3][1:]) - 1)] = line
    return points


def check_telegraf(text, lines, order):
    config = tomllib.loads(text)
    want = expected_points(lines)
    seen = {}
    controllers = set()
    for plugin in config["inputs"]["modbus"]:
        check(plugin["configuration_type"] == "request", "not the request configuration")
        controller = plugin["controller"]
        check(controller not in controllers, f"{controller}: two plugins on one controller")
        controllers.add(controller)
        check(re.fullmatch(r"tcp://.+:\d+|file:///dev/.+", controller), controller)
        link = controller[len("tcp://"):] if controller.startswith("tcp://") \
            else controller[len("file://"):]
        if controller.startswith("file://"):
            check(plugin["baud_rate"] == 19200 and plugin["parity"] in ("N", "E", "O")
                  and plugin["transmission_mode"] == "RTU", "serial settings")
        check(re.fullmatch(r"\d+(s|ms|us)", plugin["timeout"]), "timeout " + plugin["timeout"])
        names = {}
        for request in plugin["request"]:
            # One slave_id a request, given as a number.
            check(isinstance(request["slave_id"], int), "slave_id")
            check(request["byte_order"] == order, "byte order " + request["byte_order"])
            check(request["register"] in ("coil", "discrete", "holding", "input"), "register")
            used = set()
            for field in request["fields"]:
                check("scale" not in field or field["scale"] != 0, "a scale of 0")
                bits = request["register"] in ("coil", "discrete")
                check(bits == ("type" not in field), "a type where there is none, or none")
                width = 1 if bits else WIDTH[field["type"]]
                # Its 1, 2 or 4 consecutive registers, no other field's.
                span = set(range(field["address"], field["address"] + width))
                check(not span & used, f"fields overlap at {field['address']}")
                used |= span
                key = (request["slave_id"], request["register"], field["name"])
                check(key not in names, "one name twice in a metric: " + field["name"])
                names[key] = True
                check(re.fullmatch(r"[A-Za-z0-9_]+", field["name"]), "name " + field["name"])
                point = (link, request["slave_id"], request["register"], field["address"])
                check(point in want, f"{point}: no line of the map")
                check(point not in seen, f"{point}: twice")
                line = want[point]
                if not bits:
                    check(field["type"] == TELEGRAF_TYPES[line[4]], f"{point}: type")
                seen[point] = True
    check(len(seen) == len(want), f"{len(want) - len(seen)} lines missing")


def check_home_assistant(text, lines, order):
    config = yaml.safe_load(text)
    want = expected_points(lines)
    seen = {}
    hubs, ids = set(), set()
    for hub in config["modbus"]:
        # Home Assistant loads a host (or a port) once, and each hub name once.
        where = hub["port"] if hub["type"] == "serial" else (hub["host"], hub["port"])
        check(where not in hubs and hub["name"] not in hubs, f"{where}: two hubs")
        hubs |= {where, hub["name"]}
        check(hub["type"] in ("tcp", "serial"), "type")
        check(isinstance(hub["timeout"], int) and hub["timeout"] >= 1, "timeout")
        if hub["type"] == "serial":
            link = hub["port"]
            check(hub["method"] == "rtu" and hub["parity"] in ("E", "O", "N"), "serial")
        else:
            host = hub["host"]
            link = (f"[{host}]" if ":" in host else host) + f":{hub['port']}"
        for component, entities in (("sensor", hub.get("sensors", [])),
                                    ("binary_sensor", hub.get("binary_sensors", []))):
            for entity in entities:
                slug = re.sub(r"[^a-z0-9]+", "_", entity["name"].lower()).strip("_")
                check(f"{component}.{slug}" not in ids, "one entity id twice: " + slug)
                ids.add(f"{component}.{slug}")
                check(isinstance(entity["slave"], int), "slave")
                check(0 <= entity["address"] <= 65535, "address")
                if component == "sensor":
                    check(entity["input_type"] in ("holding", "input"), "input_type")
                    width = HA_TYPES[entity["data_type"]]
                    swap = entity.get("swap")
                    # No word to swap in one register.
                    check(swap in (None, "byte", "word", "word_byte"), "swap")
                    check(width > 1 or swap in (None, "byte"), "a word swap of one register")
                    expected = {"ABCD": None, "BADC": "byte", "CDAB": "word" if width > 1
                                else None, "DCBA": "word_byte" if width > 1 else "byte"}[order]
                    check(swap == expected, f"swap {swap} for {order}")
                    kind = entity["input_type"]
                else:
                    check(entity["input_type"] in ("coil", "discrete_input"), "input_type")
                    kind = "discrete" if entity["input_type"] == "discrete_input" else "coil"
                check(isinstance(entity.get("scan_interval", 1), int), "scan_interval")
                point = (link, entity["slave"], kind, entity["address"])
                check(point in want, f"{point}: no line of the map")
                check(point not in seen, f"{point}: twice")
                seen[point] = True
    check(len(seen) == len(want), f"{len(want) - len(seen)} lines missing")


def check_node_red(text, lines):
    flow = json.loads(text)
    want = expected_points(lines)
    clients = {n["id"]: n for n in flow if n["type"] == "modbus-client"}
    ids = [n["id"] for n in flow]
    check(len(ids) == len(set(ids)), "one id twice")
    named = 0
    for node in flow:
        if node["type"] != "modbus-read":
            continue
        check(node["server"] in clients, "a read without its client")
        quantity = int(node["quantity"])
        bits = node["dataType"] in ("Coil", "Input")
        check(1 <= quantity <= (2000 if bits else 125), f"quantity {quantity}")
        check(int(node["adr"]) + quantity <= 65536, "past the last address")
        decoder = next(n for n in flow if n["id"] == node["wires"][0][0])
        named += len(re.findall(r"value\(\d+, ", decoder["func"]))
    check(named == len(want), f"{named} values decoded of {len(want)}")


def main():
    modbuscalc = sys.argv[1]
    maps = int(os.environ.get("PROPERTY_REQUESTS", "3000")) // 30 if len(sys.argv) < 3 \
        else int(sys.argv[2])
    with tempfile.TemporaryDirectory() as scratch:
        path = os.path.join(scratch, "map.csv")
        for seed in range(1, max(maps, 2) + 1):
            rng = random.Random(seed)
            lines = random_map(rng, path)
            order = rng.choice(ORDERS)
            common = ["--header", "--name-column", "name", "--host-column", "host",
                      "--unit-column", "unit", "--format-column", "format", "-n", "ref",
                      "--serial", "/dev/ttyUSB3", "--unit", "9", "--word-order", order,
                      "--interval", str(rng.randint(1, 60)), path]
            try:
                for target, checker in (("telegraf", check_telegraf),
                                        ("home-assistant", check_home_assistant),
                                        ("node-red", lambda t, l, o: check_node_red(t, l))):
                    done = subprocess.run([modbuscalc, "export", "--to", target] + common,
                                          capture_output=True, text=True)
                    check(done.returncode == 0, f"{target}: exit {done.returncode}: "
                          + done.stderr)
                    try:
                        checker(done.stdout, lines, order)
                    except Failure as failure:
                        raise Failure(f"{target}: {failure}")
            except Failure as failure:
                sys.exit(f"FAIL (seed {seed}): {failure}")
        print(f"ok: {maps} maps, each for telegraf, Home Assistant and Node-RED")


if __name__ == "__main__":
    main()
