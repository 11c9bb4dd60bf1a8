"""A Modbus TCP proxy that brings the faults of a plant network between
modbuscalc and a real server, for the tests and the benchmark.

    /usr/bin/python3 fault_proxy.py LISTEN UPSTREAM [FAULT ...]

LISTEN and UPSTREAM are ports on 127.0.0.1; the proxy listens on ::1 too
where this machine has it. Each FAULT is one of:
    late=N:SECONDS   hold the Nth reply (from 1) back that long
    close=K          close the client's connection after every K replies
    silent           accept connections and never answer
    refuse=N         answer exception 3 to reads of more than N registers
    rtt=MS           a round trip of MS milliseconds more for each request
    count=PATH       write the number of requests received so far to PATH
"""

import asyncio
import struct
import sys


class Faults:
    def __init__(self, words):
        self.late, self.close, self.silent = None, 0, False
        self.refuse, self.rtt, self.count_path = 0, 0.0, None
        for word in words:
            name, _, value = word.partition("=")
            if name == "late":
                n, seconds = value.split(":")
                self.late = (int(n), float(seconds))
            elif name == "close":
                self.close = int(value)
            elif name == "silent":
                self.silent = True
            elif name == "refuse":
                self.refuse = int(value)
            elif name == "rtt":
                self.rtt = int(value) / 1000.0
            elif name == "count":
                self.count_path = value
            else:
                raise SystemExit("unknown fault " + word)
        self.requests = 0
        self.replies = 0
        self.count()

    def count(self):
        if self.count_path:
            with open(self.count_path, "w") as out:
                out.write("%d\n" % self.requests)


async def frame(reader):
    header = await reader.readexactly(7)
    length = struct.unpack(">H", header[4:6])[0]
    return header + await reader.readexactly(length - 1)


async def serve(faults, upstream_port, reader, writer):
    upstream = None
    try:
        if not faults.silent:
            upstream = await asyncio.open_connection("127.0.0.1", upstream_port)
        replies_here = 0
        while True:
            request = await frame(reader)
            faults.requests += 1
            faults.count()
            if faults.silent:
                continue
            function, count = request[7], struct.unpack(">H", request[10:12])[0]
            if faults.refuse and function in (1, 2, 3, 4) and count > faults.refuse:
                reply = request[:4] + struct.pack(">HB", 3, request[6]) + bytes([function | 0x80, 3])
            else:
                upstream[1].write(request)
                await upstream[1].drain()
                reply = await frame(upstream[0])
            faults.replies += 1
            delay = faults.rtt
            if faults.late and faults.late[0] == faults.replies:
                delay += faults.late[1]
            if delay:
                await asyncio.sleep(delay)
            writer.write(reply)
            await writer.drain()
            replies_here += 1
            if faults.close and replies_here % faults.close == 0:
                break
    except (asyncio.IncompleteReadError, ConnectionError):
        pass
    finally:
        writer.close()
        if upstream:
            upstream[1].close()


async def main():
    listen, upstream_port = int(sys.argv[1]), int(sys.argv[2])
    faults = Faults(sys.argv[3:])
    def handle(r, w):
        return serve(faults, upstream_port, r, w)
    servers = [await asyncio.start_server(handle, "127.0.0.1", listen)]
    try:
        servers.append(await asyncio.start_server(handle, "::1", listen))
    except OSError:
        pass  # no IPv6 here
    await asyncio.gather(*(server.serve_forever() for server in servers))


if __name__ == "__main__":
    asyncio.run(main())
