#!/usr/bin/env python3
"""draxo.exe with DRAXO.dll and KORVAN.dll under wine, against rexsim.

The simulator's pty is mapped into the private wine prefix as a COM port
(a symlink in dosdevices). A write, a read back and a segment round trip
go through the real DLL; the simulator's control socket and trace show
what reached the line.
"""
import argparse
import json
import os
import socket
import subprocess
import sys
import tempfile
import time


def fail(message):
    print("FAIL: " + message)
    sys.exit(1)


def control(sock_path, command):
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
        s.settimeout(5)
        s.connect(sock_path)
        s.sendall((command + "\n").encode())
        data = b""
        while not data.endswith(b"\n"):
            chunk = s.recv(4096)
            if not chunk:
                break
            data += chunk
    return data.decode().strip()


def run_wine(exe, args, workdir):
    # wine's helper processes inherit the output and outlive the program:
    # collect it through a file, never a pipe.
    with tempfile.TemporaryFile(dir=workdir) as out:
        status = subprocess.call(["wine", exe] + args, stdin=subprocess.DEVNULL,
                                 stdout=out, stderr=subprocess.STDOUT, cwd=workdir,
                                 timeout=120)
        out.seek(0)
        return status, out.read().decode(errors="replace")


def records(output):
    rows = []
    for line in output.splitlines():
        line = line.strip()
        if line.startswith("{"):
            rows.append(json.loads(line))
    return rows


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--rexsim", required=True)
    ap.add_argument("--exe", required=True)
    ap.add_argument("--port", default="COM8")
    args = ap.parse_args()

    prefix = os.environ["WINEPREFIX"]
    os.environ["WINEDEBUG"] = "-all"
    os.environ["WINEDLLOVERRIDES"] = "mscoree,mshtml=;winemenubuilder.exe=d"
    workdir = tempfile.mkdtemp(prefix="draxo-exe-", dir=os.getcwd())
    sock = os.path.join(workdir, "rexsim.sock")
    trace_path = os.path.join(workdir, "trace.txt")
    link = os.path.join(prefix, "dosdevices", args.port.lower())

    subprocess.call(["wineserver", "-p30"], stdin=subprocess.DEVNULL,
                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    with open(trace_path, "w") as trace:
        sim = subprocess.Popen([args.rexsim, "--stations", "1", "--frozen", "--trace",
                                "--control", sock], stdout=subprocess.PIPE, stderr=trace,
                               text=True)
    try:
        slave = sim.stdout.readline().strip()
        if not slave.startswith("/dev/"):
            fail("rexsim gave no pty: %r" % slave)
        for _ in range(50):
            if os.path.exists(sock):
                break
            time.sleep(0.1)
        if os.path.lexists(link):
            os.remove(link)
        os.symlink(slave, link)
        print("%s -> %s" % (args.port, slave))
        line = ["--port", args.port, "--stations", "1", "--timeout", "300", "--format", "jsonl"]

        status, out = run_wine(args.exe, ["write"] + line + ["01S1=123", "0125=3", "01RR=7"],
                               workdir)
        print(out)
        rows = records(out)
        if status != 0 or [r["result"] for r in rows] != [0, 0, 0]:
            fail("write: exit %d, results %s" % (status, [r.get("result") for r in rows]))
        if float(control(sock, "get 1 S1")) != 123.0:
            fail("the simulator holds S1 = %s" % control(sock, "get 1 S1"))
        if float(control(sock, "get 1 PN03RR")) != 7.0:
            fail("the simulator holds PN03RR = %s" % control(sock, "get 1 PN03RR"))

        status, out = run_wine(args.exe, ["read"] + line + ["--select", "0125=3", "01S1", "0125",
                                                            "01RR"], workdir)
        print(out)
        rows = records(out)
        values = [(r["gate"], r["result"], r["value"]) for r in rows]
        if status != 0 or values != [("01S1", 0, 123.0), ("0125", 0, 3), ("01RR", 0, 7.0)]:
            fail("read: exit %d, %s" % (status, values))
    finally:
        sim.terminate()
        sim.wait(timeout=10)
        if os.path.lexists(link):
            os.remove(link)
    with open(trace_path) as t:
        trace = t.read()
    if "> EOT 01 PN03RR ENQ" not in trace or "STX PN03RR" not in trace:
        fail("the segment selection did not reach the line:\n" + trace)
    print("3 passed, 0 failed")


if __name__ == "__main__":
    main()
