"""A Modbus TCP device that answers the first request it ever gets twice:
first with a reply for another transaction, then with the right one, both
at once.

    /usr/bin/python3 stale_reply_server.py PORT

A client must take neither for the next request. Holding register a holds
a. Serves on 127.0.0.1 until it is stopped.
"""

import socket
import struct
import sys


def reply(transaction, unit, address, count):
    values = struct.pack(">%dH" % count, *[(address + i) & 0xFFFF for i in range(count)])
    pdu = bytes([3, len(values)]) + values
    return struct.pack(">HHHB", transaction, 0, len(pdu) + 1, unit) + pdu


answered = 0


def serve(connection):
    global answered
    while True:
        header = connection.recv(7, socket.MSG_WAITALL)
        if len(header) < 7:
            return
        transaction, _, length, unit = struct.unpack(">HHHB", header)
        pdu = connection.recv(length - 1, socket.MSG_WAITALL)
        _, address, count = struct.unpack(">BHH", pdu[:5])
        answer = reply(transaction, unit, address, count)
        if answered == 0:
            answer = reply((transaction + 1) & 0xFFFF, unit, address, count) + answer
        answered += 1
        connection.sendall(answer)


def main():
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", int(sys.argv[1])))
    listener.listen(1)
    while True:
        connection, _ = listener.accept()
        with connection:
            serve(connection)


if __name__ == "__main__":
    main()
