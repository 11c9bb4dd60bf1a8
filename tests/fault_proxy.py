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
    count=PATH       write the number of requests received so far to PATH,
                     then the number of connections that carried one
    gateway=CODE     answer every request with exception CODE (10 or 11: a
                     gateway with no device behind it)
    dropevery=N      never answer every Nth request
    drop=N,M,...     never answer these requests (from 1)
    lacks=FUNCTION   answer exception 2 to every request of that function
    closefirst       close each connection at its first request, unanswered
    ackonly          answer writes as done without passing them on
    nofunction=F     answer exception 1 (illegal function) to function F
    except=A:CODE    answer exception CODE to writes that cover register A
    log=PATH         append each request's function, address and count to PATH
"""

import asyncio
import os
import struct
import sys


class Faults:
    def __init__(self, words):
        self.late, self.close, self.silent = None, 0, False
        self.refuse, self.rtt, self.count_path = 0, 0.0, None
        self.gateway, self.drop_every, self.drop, self.lacks = 0, 0, set(), None
        self.close_first = False
        self.ack_only, self.no_function, self.write_exception = False, None, None
        self.log_path = None
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
            elif name == "gateway":
                self.gateway = int(value)
            elif name == "dropevery":
                self.drop_every = int(value)
            elif name == "drop":
                self.drop = {int(n) for n in value.split(",")}
            elif name == "lacks":
                self.lacks = int(value)
            elif name == "closefirst":
                self.close_first = True
            elif name == "ackonly":
                self.ack_only = True
            elif name == "nofunction":
                self.no_function = int(value)
            elif name == "log":
                self.log_path = value
            elif name == "except":
                address, code = value.split(":")
                self.write_exception = (int(address), int(code))
            else:
                raise SystemExit("unknown fault " + word)
        self.requests = 0
        self.replies = 0
        self.connections = 0
        self.count()

    def count(self):
        if self.count_path:
            with open(self.count_path + ".new", "w") as out:
                out.write("%d %d\n" % (self.requests, self.connections))
            os.replace(self.count_path + ".new", self.count_path)

    def log(self, request):
        if self.log_path:
            function, address = request[7], struct.unpack(">H", request[8:10])[0]
            count = 1 if function in (5, 6) else struct.unpack(">H", request[10:12])[0]
            with open(self.log_path, "a") as out:
                out.write("%d %d %d\n" % (function, address, count))

    def dropped(self):
        n = self.requests
        return n in self.drop or (self.drop_every and n % self.drop_every == 0)


def exception(request, code):
    return request[:4] + struct.pack(">HB", 3, request[6]) + bytes([request[7] | 0x80, code])


def covers(request, register):
    """Whether a write request covers the register."""
    function, address = request[7], struct.unpack(">H", request[8:10])[0]
    count = 1 if function in (5, 6) else struct.unpack(">H", request[10:12])[0]
    return function in (5, 6, 15, 16) and address <= register < address + count


def acknowledged(request):
    """The answer a device gives to a write it carried out."""
    return request[:4] + struct.pack(">H", 6) + request[6:12]


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
        counted = False
        while True:
            request = await frame(reader)
            faults.requests += 1
            if replies_here == 0 and not counted:
                faults.connections += 1
                counted = True
            faults.log(request)
            faults.count()
            if faults.close_first and replies_here == 0:
                break
            if faults.silent or faults.dropped():
                continue
            function, count = request[7], struct.unpack(">H", request[10:12])[0]
            if faults.refuse and function in (1, 2, 3, 4) and count > faults.refuse:
                reply = exception(request, 3)
            elif faults.gateway:
                reply = exception(request, faults.gateway)
            elif faults.no_function == function:
                reply = exception(request, 1)
            elif faults.write_exception and covers(request, faults.write_exception[0]):
                reply = exception(request, faults.write_exception[1])
            elif faults.ack_only and function in (5, 6, 15, 16):
                reply = acknowledged(request)
            elif faults.lacks == function:
                reply = exception(request, 2)
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
