"""A master that is not ours, from Debian's pymodbus, for modbuscalc serve.

    /usr/bin/python3 serve_peer.py tcp PORT        Modbus TCP on 127.0.0.1
    /usr/bin/python3 serve_peer.py rtu DEVICE      Modbus RTU, 19200 8N1

Reads requests from standard input, one a line, and answers each on its
own line of standard output:

    UNIT FUNCTION ADDRESS COUNT              1-4: read
    UNIT 5|6 ADDRESS VALUE                   write one coil (0/1) or register
    UNIT 15|16 ADDRESS VALUE...              write coils (0/1) or registers
    UNIT 22 ADDRESS AND OR                   mask write
    UNIT 23 ADDRESS COUNT WRITE VALUE...     read and write

    ok VALUE...          what a read returned (coils as 0/1); ok for a write
    exception CODE       a Modbus exception
    none                 no answer within the timeout (0.5 s)
"""

import sys

from pymodbus.client import ModbusSerialClient, ModbusTcpClient
from pymodbus.pdu import ExceptionResponse
from pymodbus.register_read_message import ReadWriteMultipleRegistersRequest
from pymodbus.register_write_message import MaskWriteRegisterRequest


def answer(client, words):
    unit, function, address, *rest = (int(w) for w in words)
    if function in (1, 2):
        call = client.read_coils if function == 1 else client.read_discrete_inputs
        result = call(address, rest[0], slave=unit)
    elif function in (3, 4):
        call = client.read_holding_registers if function == 3 else client.read_input_registers
        result = call(address, rest[0], slave=unit)
    elif function == 5:
        result = client.write_coil(address, bool(rest[0]), slave=unit)
    elif function == 6:
        result = client.write_register(address, rest[0], slave=unit)
    elif function == 15:
        result = client.write_coils(address, [bool(v) for v in rest], slave=unit)
    elif function == 16:
        result = client.write_registers(address, rest, slave=unit)
    elif function == 22:
        result = client.execute(MaskWriteRegisterRequest(address, rest[0], rest[1], unit=unit))
    elif function == 23:
        result = client.execute(ReadWriteMultipleRegistersRequest(
            read_address=address, read_count=rest[0], write_address=rest[1],
            write_registers=rest[2:], unit=unit))
    else:
        return "unknown function"
    if isinstance(result, ExceptionResponse):
        return "exception %d" % result.exception_code
    if result is None or not hasattr(result, "function_code") or result.isError():
        return "none"
    if function in (1, 2):
        return " ".join(["ok"] + [str(int(b)) for b in result.bits[:rest[0]]])
    if function in (3, 4, 23):
        return " ".join(["ok"] + [str(r) for r in result.registers])
    return "ok"


def main():
    kind, where = sys.argv[1], sys.argv[2]
    if kind == "tcp":
        client = ModbusTcpClient("127.0.0.1", port=int(where), timeout=1, retries=0)
    else:
        client = ModbusSerialClient(where, baudrate=19200, parity="N", timeout=1, retries=0)
    client.connect()
    for line in sys.stdin:
        if line.strip():
            try:
                print(answer(client, line.split()), flush=True)
            except Exception:  # a client that gave up on an answer
                print("none", flush=True)
    client.close()


if __name__ == "__main__":
    main()
