#!/usr/bin/python3
"""The Node-RED flow that export writes, run by Node-RED itself.

modbuscalc serves a map of every format in one word order; export writes
the map as a flow; Node-RED runs it headless with node-red-contrib-modbus,
a file node added after each decoding node; every value Node-RED decodes
must equal what modbuscalc read gives for the same line.

usage: node_red_test.py MODBUSCALC NODE_RED_DIR
NODE_RED_DIR holds node_modules with node-red and node-red-contrib-modbus.
"""

import csv
import io
import json
import os
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time

MAP = """name,ref,format,value
Boiler temp,402306,f32,21.5
Setpoint,402310,s16,-40
Counter,402320,u32,4000000000
Energy,402330,u64,18446744073709551615
Debt,402340,s64,-9007199254740993
Ratio,402350,f64,0.1
Status,402360,hex,0xBEEF
Raw,402361,u16,65535
Level,300010,s32,-123456
Pump run,000001,BOOL,1
Pump fault,000002,BOOL,0
Alarm,100003,BOOL,1
"""


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(what, ready, seconds=60):
    until = time.monotonic() + seconds
    while time.monotonic() < until:
        if ready():
            return
        time.sleep(0.1)
    sys.exit(f"FAIL: {what} within {seconds} s")


def accepts(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=0.2):
            return True
    except OSError:
        return False


def same(node, shown, fmt):
    """Whether Node-RED's value is the one read shows."""
    if fmt in ("f32", "f64"):
        if not isinstance(node, (int, float)):
            return False
        if fmt == "f32":
            return struct.pack("<f", node) == struct.pack("<f", float(shown))
        return float(node) == float(shown)
    if fmt == "hex":
        return node == shown
    # Whole numbers: a number, or beyond 2^53 its text.
    return str(node) == shown


def main():
    modbuscalc, node_red_dir = sys.argv[1], sys.argv[2]
    node_red = os.path.join(node_red_dir, "node_modules", ".bin", "node-red")
    if not os.access(node_red, os.X_OK):
        print(f"SKIP: no Node-RED in {node_red_dir} (scripts/test installs it)")
        sys.exit(77)
    with tempfile.TemporaryDirectory() as scratch:
        plant = os.path.join(scratch, "plant.csv")
        with open(plant, "w") as f:
            f.write(MAP)
        port = free_port()
        common = ["-n", "ref", "--header", "--columns", "ref", "--format-column", "format",
                  "--word-order", "DCBA"]
        server = subprocess.Popen(
            [modbuscalc, "serve", "--listen", f"127.0.0.1:{port}", "-q", "--value-column",
             "value"] + common + [plant], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        red = None
        try:
            wait_for("modbuscalc serve listening", lambda: accepts(port))
            host = ["--host", f"127.0.0.1:{port}"]
            exported = subprocess.run(
                [modbuscalc, "export", "--to", "node-red", "--name-column", "name",
                 "--interval", "0.5"] + common + host + [plant],
                capture_output=True, text=True, check=True)
            flow = json.loads(exported.stdout)
            read = subprocess.run([modbuscalc, "read"] + common + host + [plant],
                                  capture_output=True, text=True, check=True)
            rows = list(csv.reader(io.StringIO(read.stdout)))
            expected = {row[0]: (row[-1], row[2]) for row in rows[1:]}

            # What each decoding node sends, one JSON line each, to a file.
            out = os.path.join(scratch, "values.jsonl")
            tab = next(node["id"] for node in flow if node["type"] == "tab")
            decoders = [node for node in flow if node["type"] == "function"]
            for n, node in enumerate(decoders):
                to_text, to_file = f"text{n}", f"file{n}"
                node["wires"] = [[to_text]]
                flow.append({"id": to_text, "type": "function", "z": tab, "outputs": 1,
                             "func": "msg.payload = JSON.stringify(msg.payload);\nreturn msg;",
                             "wires": [[to_file]]})
                flow.append({"id": to_file, "type": "file", "z": tab, "filename": out,
                             "filenameType": "str", "appendNewline": True, "createDir": False,
                             "overwriteFile": "false", "encoding": "none", "wires": []})
            flow_file = os.path.join(scratch, "flow.json")
            with open(flow_file, "w") as f:
                json.dump(flow, f)
            settings = os.path.join(scratch, "settings.js")
            user_dir = os.path.join(scratch, "user")
            os.mkdir(user_dir)
            with open(settings, "w") as f:
                f.write("module.exports = { uiPort: 0, uiHost: '127.0.0.1', "
                        f"flowFile: {json.dumps(flow_file)}, userDir: {json.dumps(user_dir)}, "
                        "credentialSecret: false, "
                        "logging: { console: { level: 'warn' } } };\n")
            red_log = open(os.path.join(scratch, "node-red.log"), "w")
            red = subprocess.Popen([node_red, "--settings", settings, "--userDir", user_dir,
                                    flow_file], stdout=red_log, stderr=subprocess.STDOUT,
                                   start_new_session=True)

            # Each decoding node has sent at least once.
            got = {}

            def all_sent():
                if not os.path.exists(out):
                    return False
                got.clear()
                with open(out) as f:
                    for line in f:
                        if line.strip():
                            got.update(json.loads(line))
                return set(got) >= set(expected)
            try:
                wait_for("every value from Node-RED", all_sent)
            except SystemExit:
                red_log.flush()
                print(open(os.path.join(scratch, "node-red.log")).read())
                raise

            failures = []
            for name, (shown, fmt) in expected.items():
                if not same(got[name], shown, fmt):
                    failures.append(f"{name}: Node-RED {got[name]!r}, modbuscalc read {shown!r}")
            if "Error" in [shown for shown, _ in expected.values()]:
                failures.append("modbuscalc read failed a line: " + read.stderr)
            if failures:
                sys.exit("FAIL:\n" + "\n".join(failures))
            print(f"ok: {len(expected)} values, {len(decoders)} requests, equal")
        finally:
            if red:
                os.killpg(red.pid, signal.SIGTERM)
                red.wait()
            server.terminate()
            server.wait()


if __name__ == "__main__":
    main()
