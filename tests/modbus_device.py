#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""A Modbus device for the tests and the benchmark: units 1 and 247, the
same device under both numbers, with 16 holding registers (addresses 0 to
15) and 16 input registers that hold 0x0000, 0x1111, ... 0xffff, served by
TCP on the loopback and, given a serial port, by RTU, both from the same
registers.

It prints the TCP port once both listen, appends a line to the log for every
read that it answers (the time, then the words in hexadecimal), and stops on
SIGTERM or SIGINT.  Requests for another unit get no answer.  SIGUSR1
toggles silence, as of a device whose cable is pulled; SIGUSR2 toggles
short answers, which leave out the last register asked for; SIGHUP toggles
whether the next answer comes 1.3 seconds late, later than a reader waits,
the device doing nothing else meanwhile, with each of its words inverted,
so that a reader that takes it for a later request's shows it.  It takes each of these signals
with a line on standard output, so that two sent one after the other are
both taken.

usage: modbus_device.py [--port PORT] [--rtu SERIAL] [--log FILE] [WORD ...]

The holding registers start with the words given, in hexadecimal, the rest
at 0.
"""
import argparse
import asyncio
import logging
import signal
import time

from pymodbus.datastore import (ModbusSequentialDataBlock, ModbusServerContext,
                                ModbusSlaveContext)
from pymodbus.exceptions import NoSuchSlaveException
from pymodbus.server.async_io import ModbusSerialServer, ModbusTcpServer
from pymodbus.transaction import ModbusRtuFramer


class Registers(ModbusSequentialDataBlock):
    def __init__(self, log, words):
        super().__init__(0, (words + [0] * 16)[:16])
        self.log = log

    def getValues(self, address, count=1):
        values = super().getValues(address, count)
        if self.log:
            words = " ".join("%04x" % v for v in values)
            self.log.write("%.6f %s\n" % (time.time(), words))
            self.log.flush()
        return values


class Units(ModbusServerContext):
    """Unit 1 alone, and none while silent: the servers then drop the
    request unanswered, as they do for a unit that is not there."""
    silent = False
    short = False
    late = False

    def __getitem__(self, unit):
        if self.silent:
            raise NoSuchSlaveException(unit)
        return super().__getitem__(unit)


async def serve(args):
    # The servers log every closed connection and every refused request.
    logging.getLogger("pymodbus").setLevel(logging.CRITICAL)
    log = open(args.log, "a", encoding="ascii") if args.log else None
    device = ModbusSlaveContext(
        hr=Registers(log, [int(w, 16) for w in args.words]),
        ir=ModbusSequentialDataBlock(0, [0x1111 * i for i in range(16)]),
        zero_mode=True)
    units = Units(slaves={1: device, 247: device}, single=False)
    def answer(response):
        if units.short and getattr(response, "registers", None):
            response.registers = response.registers[:-1]
        if units.late:
            units.late = False
            if getattr(response, "registers", None):
                response.registers = [w ^ 0xFFFF for w in response.registers]
            time.sleep(1.3)
        return response, False
    tcp = ModbusTcpServer(units, address=("127.0.0.1", args.port),
                          allow_reuse_address=True, ignore_missing_slaves=True,
                          response_manipulator=answer)
    serving = asyncio.create_task(tcp.serve_forever())
    await tcp.serving
    rtu = None
    if args.rtu:
        # A pseudo-terminal has no parity: its settings read back without
        # it, which the serial library takes for a failure.
        rtu = ModbusSerialServer(units, framer=ModbusRtuFramer, port=args.rtu,
                                 baudrate=19200, parity="N",
                                 ignore_missing_slaves=True,
                                 response_manipulator=answer)
        await rtu.start()
        if rtu.transport is None:
            raise SystemExit("modbus_device.py: cannot open " + args.rtu)
    print(tcp.server.sockets[0].getsockname()[1], flush=True)

    loop = asyncio.get_running_loop()
    stop = asyncio.Event()
    for sig in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(sig, stop.set)

    def toggle(what):
        setattr(units, what, not getattr(units, what))
        print(what, getattr(units, what), flush=True)
    loop.add_signal_handler(signal.SIGUSR1, toggle, "silent")
    loop.add_signal_handler(signal.SIGUSR2, toggle, "short")
    loop.add_signal_handler(signal.SIGHUP, toggle, "late")
    await stop.wait()
    if rtu:
        await rtu.shutdown()
    await tcp.server_close()
    serving.cancel()


parser = argparse.ArgumentParser()
parser.add_argument("--port", type=int, default=0)
parser.add_argument("--rtu")
parser.add_argument("--log")
parser.add_argument("words", nargs="*")
asyncio.run(serve(parser.parse_args()))
