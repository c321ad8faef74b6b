#!/usr/bin/env python3
"""The far end of a serial line for tests under wine.

Opens a pseudo-terminal, prints the path of its slave side on the first line
of standard output, and holds the master open, reading and discarding what
arrives, until it is killed or its parent process goes away. It keeps the
slave open too, so that the line survives the driver's close and reopen.
"""
import os
import pty
import select
import sys
import tty


def main() -> int:
    master, slave = pty.openpty()
    tty.setraw(slave)
    print(os.ttyname(slave), flush=True)
    parent = os.getppid()
    while os.getppid() == parent:
        ready, _, _ = select.select([master], [], [], 1.0)
        if ready:
            try:
                os.read(master, 4096)
            except OSError:
                pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
