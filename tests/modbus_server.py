"""A Modbus TCP server for modbuscalc's tests, from Debian's pymodbus.

    /usr/bin/python3 modbus_server.py PORT

Holding register a holds a, for every address 0..65535; input register a
holds 65535 - a, for 0..999 only, so that reading past it gives an
exception. Coil a is on where a is a multiple of 3, discrete input a where
a is odd. Serves on 127.0.0.1 until it is stopped.
"""

import asyncio
import sys

from pymodbus.datastore import (ModbusSequentialDataBlock, ModbusServerContext,
                                ModbusSlaveContext)
from pymodbus.server import StartAsyncTcpServer


def main():
    port = int(sys.argv[1])
    holding = ModbusSequentialDataBlock(0, list(range(65536)))
    inputs = ModbusSequentialDataBlock(0, [65535 - a for a in range(1000)])
    coils = ModbusSequentialDataBlock(0, [a % 3 == 0 for a in range(65536)])
    discrete = ModbusSequentialDataBlock(0, [a % 2 == 1 for a in range(65536)])
    store = ModbusSlaveContext(hr=holding, ir=inputs, co=coils, di=discrete, zero_mode=True)
    context = ModbusServerContext(slaves=store, single=True)
    asyncio.run(StartAsyncTcpServer(context=context, address=("127.0.0.1", port)))


if __name__ == "__main__":
    main()
