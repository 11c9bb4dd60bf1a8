"""A Modbus device for modbuscalc's tests, from Debian's pymodbus.

    /usr/bin/python3 modbus_server.py PORT            Modbus TCP on 127.0.0.1
    /usr/bin/python3 modbus_server.py --holes PORT    the same, with holes
    /usr/bin/python3 modbus_server.py --serial PTY UNITS  Modbus RTU, parity N
    /usr/bin/python3 modbus_server.py --units UNITS [--silent] PORT
                                            several units over TCP

Holding register a holds a, for every address 0..65535; input register a
holds 65535 - a, for 0..999 only, so that reading past it gives an
exception. Coil a is on where a is a multiple of 3, discrete input a where
a is odd. With --holes, holding registers 0..999 only, and of those not
100..109 nor 500, which the device answers with exception 2. Over a serial
line it answers only its UNITS (3 or 3,7,9), and is silent for the rest.
With --units, over TCP, those units each have such a store, and a request
for another unit gets exception 11 as from a gateway, or with --silent no
answer at all. Serves until it is stopped.
"""

import asyncio
import sys

from pymodbus.datastore import (ModbusSequentialDataBlock, ModbusServerContext,
                                ModbusSlaveContext, ModbusSparseDataBlock)
from pymodbus.server import StartAsyncSerialServer, StartAsyncTcpServer
from pymodbus.transaction import ModbusRtuFramer

HOLES = set(range(100, 110)) | {500}


def store(holes):
    if holes:
        holding = ModbusSparseDataBlock({a: a for a in range(1000) if a not in HOLES})
    else:
        holding = ModbusSequentialDataBlock(0, list(range(65536)))
    inputs = ModbusSequentialDataBlock(0, [65535 - a for a in range(1000)])
    coils = ModbusSequentialDataBlock(0, [a % 3 == 0 for a in range(65536)])
    discrete = ModbusSequentialDataBlock(0, [a % 2 == 1 for a in range(65536)])
    return ModbusSlaveContext(hr=holding, ir=inputs, co=coils, di=discrete, zero_mode=True)


def main():
    args = sys.argv[1:]
    if args[0] == "--serial":
        device = args[1]
        units = [int(unit) for unit in args[2].split(",")]
        context = ModbusServerContext(slaves={u: store(False) for u in units}, single=False)
        asyncio.run(StartAsyncSerialServer(context=context, framer=ModbusRtuFramer,
                                           port=device, baudrate=19200, parity="N",
                                           bytesize=8, stopbits=1))
        return
    if args[0] == "--units":
        units = [int(unit) for unit in args[1].split(",")]
        # pymodbus answers a unit it lacks with exception 11 only where one
        # of its units is 0 or 255: a spare one.
        context = ModbusServerContext(slaves={u: store(False) for u in units + [255]},
                                      single=False)
        asyncio.run(StartAsyncTcpServer(context=context, address=("127.0.0.1", int(args[-1])),
                                        ignore_missing_slaves="--silent" in args))
        return
    holes = args[0] == "--holes"
    port = int(args[-1])
    context = ModbusServerContext(slaves=store(holes), single=True)
    asyncio.run(StartAsyncTcpServer(context=context, address=("127.0.0.1", port)))


if __name__ == "__main__":
    main()
