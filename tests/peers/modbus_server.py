#!/usr/bin/python3
"""MODBUS slave for the buslink tests, built on Debian's python3-pymodbus.

Serves units 1 and 2 over TCP (127.0.0.1) or RTU on a serial device, with
1000 items of every kind whose values follow from their addresses:
  coil a: a % 3 == 0, discrete input a: a % 2 == 1,
  holding register a: (a * 7 + unit) & 0xFFFF, input register a: 1000 + a.
Addresses from 1000 up answer "illegal data address", and so do the
addresses given with --holes (in every table), so that a read across one
fails as a whole, as on many devices. Prints "READY <port>" once it serves.
With --exit-after N it answers N requests and then exits without answering,
like a slave that disappears.
"""
import argparse
import asyncio
import os
import sys

from pymodbus.datastore import (ModbusSequentialDataBlock, ModbusServerContext,
                                ModbusSlaveContext, ModbusSparseDataBlock)
from pymodbus.server.async_io import ModbusSerialServer, ModbusTcpServer
from pymodbus.transaction import ModbusRtuFramer, ModbusSocketFramer

SIZE = 1000


def block(value, holes):
    if not holes:
        return ModbusSequentialDataBlock(0, [value(a) for a in range(SIZE)])
    return ModbusSparseDataBlock({a: value(a) for a in range(SIZE) if a not in holes})


def unit_context(unit, holes):
    return ModbusSlaveContext(
        co=block(lambda a: a % 3 == 0, holes),
        di=block(lambda a: a % 2 == 1, holes),
        hr=block(lambda a: (a * 7 + unit) & 0xFFFF, holes),
        ir=block(lambda a: 1000 + a, holes),
        zero_mode=True)


async def main():
    parser = argparse.ArgumentParser()
    where = parser.add_mutually_exclusive_group(required=True)
    where.add_argument("--tcp", type=int, metavar="PORT", help="0 picks a free port")
    where.add_argument("--rtu", metavar="DEVICE")
    parser.add_argument("--baud", type=int, default=38400)
    parser.add_argument("--exit-after", type=int, default=-1)
    parser.add_argument("--holes", default="", metavar="A,B,...")
    args = parser.parse_args()

    holes = {int(a) for a in args.holes.split(",") if a}
    context = ModbusServerContext(slaves={1: unit_context(1, holes), 2: unit_context(2, holes)}, single=False)
    answered = 0

    def manipulate(response):
        nonlocal answered
        if 0 <= args.exit_after <= answered:
            os._exit(0)
        answered += 1
        return response, False

    if args.tcp is not None:
        server = ModbusTcpServer(context, ModbusSocketFramer, address=("127.0.0.1", args.tcp),
                                 allow_reuse_address=True, response_manipulator=manipulate)
        task = asyncio.create_task(server.serve_forever())
        await server.serving
        port = server.server.sockets[0].getsockname()[1]
    else:
        server = ModbusSerialServer(context, ModbusRtuFramer, port=args.rtu, baudrate=args.baud,
                                    response_manipulator=manipulate)
        await server.start()
        task = asyncio.create_task(server.serve_forever())
        port = 0
    print(f"READY {port}", flush=True)
    await task


if __name__ == "__main__":
    try:
        asyncio.run(main())
    except KeyboardInterrupt:
        sys.exit(0)
