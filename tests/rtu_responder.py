"""A Modbus RTU device of our own on one end of a pseudo-terminal pair, for
the tests that need a reply at a time of their choosing, which pymodbus's
server cannot give.

    /usr/bin/python3 rtu_responder.py PTY UNIT [OPTION ...]

Each OPTION is one of:
    late=N:SECONDS   answer the Nth request (from 1) that much later; every
                     other request is answered at once meanwhile, as a
                     device that queues its replies would
    rtt=MS           answer every request MS milliseconds later
    stale            before anything, send a reply nobody asked for, as a
                     device that answered an earlier run late leaves one
    count=PATH       write the number of requests received so far to PATH

Holding register a holds a; input register a holds 65535 - a; coil a is on
where a is a multiple of 3, discrete input a where a is odd. Writes (5, 6,
15, 16) change the coils and holding registers. Serves until stopped.
"""

import asyncio
import os
import struct
import sys
import termios
import tty


def crc16(data):
    crc = 0xFFFF
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return struct.pack("<H", crc)


def framed(body):
    return body + crc16(body)


class Device:
    def __init__(self, unit, options):
        self.unit = unit
        self.late, self.rtt, self.stale, self.count_path = None, 0.0, False, None
        for option in options:
            name, _, value = option.partition("=")
            if name == "late":
                n, seconds = value.split(":")
                self.late = (int(n), float(seconds))
            elif name == "rtt":
                self.rtt = int(value) / 1000.0
            elif name == "stale":
                self.stale = True
            elif name == "count":
                self.count_path = value
            else:
                raise SystemExit("unknown option " + option)
        self.holding = list(range(65536))
        self.coils = [a % 3 == 0 for a in range(65536)]
        self.requests = 0

    def count(self):
        if self.count_path:
            with open(self.count_path + ".new", "w") as out:
                out.write("%d\n" % self.requests)
            os.replace(self.count_path + ".new", self.count_path)

    def answer(self, body):
        function = body[1]
        address, count = struct.unpack(">HH", body[2:6])
        head = bytes([self.unit, function])
        if function in (1, 2):
            bits = [self.coils[a] if function == 1 else a % 2 == 1
                    for a in range(address, address + count)]
            data = bytearray((count + 7) // 8)
            for i, on in enumerate(bits):
                if on:
                    data[i // 8] |= 1 << (i % 8)
            return head + bytes([len(data)]) + bytes(data)
        if function in (3, 4):
            values = [self.holding[a] if function == 3 else (65535 - a) & 0xFFFF
                      for a in range(address, address + count)]
            return head + bytes([2 * count]) + struct.pack(">%dH" % count, *values)
        if function == 5:
            self.coils[address] = count == 0xFF00
            return body[:6]
        if function == 6:
            self.holding[address] = count
            return body[:6]
        if function == 15:
            for i in range(count):
                self.coils[address + i] = bool(body[7 + i // 8] >> (i % 8) & 1)
            return body[:6]
        if function == 16:
            for i in range(count):
                self.holding[address + i] = struct.unpack(">H", body[7 + 2 * i:9 + 2 * i])[0]
            return body[:6]
        return head[:1] + bytes([function | 0x80, 1])


def request_length(buffer):
    """The length of the request at the start of buffer, or None until it
    can be told."""
    if len(buffer) < 2:
        return None
    if buffer[1] in (15, 16):
        return None if len(buffer) < 7 else 9 + buffer[6]
    return 8


async def serve(path, device):
    fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    tty.setraw(fd)
    termios.tcflush(fd, termios.TCIOFLUSH)
    loop = asyncio.get_running_loop()
    if device.stale:
        os.write(fd, framed(bytes([device.unit, 3, 2, 0x03, 0xE7])))
    device.count()  # ready
    buffer = bytearray()

    def readable():
        nonlocal buffer
        try:
            buffer += os.read(fd, 4096)
        except BlockingIOError:
            return
        while True:
            length = request_length(buffer)
            if length is None or len(buffer) < length:
                return
            frame, buffer = bytes(buffer[:length]), buffer[length:]
            if crc16(frame[:-2]) != frame[-2:]:
                buffer.clear()  # garbled: start afresh
                return
            if frame[0] != device.unit:
                continue
            device.requests += 1
            device.count()
            delay = device.rtt
            if device.late and device.late[0] == device.requests:
                delay += device.late[1]
            reply = framed(device.answer(frame[:-2]))
            loop.call_later(delay, os.write, fd, reply)

    loop.add_reader(fd, readable)
    await asyncio.Event().wait()


def main():
    path, unit = sys.argv[1], int(sys.argv[2])
    asyncio.run(serve(path, Device(unit, sys.argv[3:])))


if __name__ == "__main__":
    main()
