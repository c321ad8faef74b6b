#!/usr/bin/env python3
"""The poller a user would write instead of a driver: pyserial, one REX
read of M1 at controller 01 after another, with the BCC checked.

    pyserial_poller.py PORT BAUD SECONDS

Prints one JSON line: reads, failures, seconds, reads_per_s, cpu_us_per_read.
"""
import json
import resource
import sys
import time

import serial

EOT, ENQ, STX, ETX = b"\x04", b"\x05", b"\x02", b"\x03"
REQUEST = EOT + b"01M1" + ENQ


def read_once(port):
    port.write(REQUEST)
    first = port.read(1)
    while first and first != STX:
        first = port.read(1)
    if first != STX:
        return False
    block = port.read_until(ETX, 64)
    bcc = port.read(1)
    port.write(EOT)
    if not block.endswith(ETX) or len(bcc) != 1:
        return False
    check = 0
    for b in block:
        check ^= b
    return check == bcc[0] and block.startswith(b"M1")


def cpu_seconds():
    r = resource.getrusage(resource.RUSAGE_SELF)
    return r.ru_utime + r.ru_stime


def main():
    path, baud, seconds = sys.argv[1], int(sys.argv[2]), float(sys.argv[3])
    port = serial.Serial(path, baud, timeout=1.0)
    port.reset_input_buffer()
    reads = failures = 0
    cpu0, t0 = cpu_seconds(), time.monotonic()
    while time.monotonic() - t0 < seconds:
        if read_once(port):
            reads += 1
        else:
            failures += 1
            port.reset_input_buffer()
    elapsed, cpu = time.monotonic() - t0, cpu_seconds() - cpu0
    port.close()
    print(json.dumps({"reads": reads, "failures": failures, "seconds": elapsed,
                      "reads_per_s": reads / elapsed,
                      "cpu_us_per_read": 1e6 * cpu / max(reads, 1)}))


if __name__ == "__main__":
    main()
