#!/usr/bin/env python3
"""Checks the linkage of DRAXO.dll from `objdump -p`.

A host loads the driver by name and calls one export, so the DLL must be a
32-bit PE whose only export is the undecorated `VpiMain`, and it must load
on a machine that has nothing but the system DLLs and the host's KORVAN.dll,
from which it takes `err` alone.
"""
import argparse
import re
import subprocess
import sys

ALLOWED_SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll"}
HOST_DLL = "korvan.dll"
HOST_IMPORTS = {"err"}


def parse(text):
    """Returns (file format, export names, export address count, {dll: [names]})."""
    fmt = None
    m = re.search(r"file format (\S+)", text)
    if m:
        fmt = m.group(1)

    exports = []
    address_entries = 0
    imports = {}
    section = None
    current_dll = None
    for line in text.splitlines():
        stripped = line.strip()
        if line.startswith("Export Address Table -- "):
            section = "eat"
            continue
        if line.startswith("[Ordinal/Name Pointer] Table"):
            section = "names"
            continue
        m = re.match(r"\s*DLL Name:\s*(\S+)", line)
        if m:
            section = "imports"
            current_dll = m.group(1)
            imports.setdefault(current_dll, [])
            continue
        if not stripped:
            section = None
            continue
        if section == "eat" and re.match(r"\[\s*\d+\]", stripped):
            address_entries += 1
        elif section == "names":
            m = re.match(r"\[\s*\d+\]\s+(\S+)", stripped)
            if m:
                exports.append(m.group(1))
        elif section == "imports":
            if stripped.startswith("vma:"):
                continue
            # "<vma>  <hint>  <name>", or an ordinal-only import "<vma>  <ordinal>"
            m = re.match(r"[0-9a-fA-F]+\s+(\d+)(?:\s+(\S+))?", stripped)
            if m:
                imports[current_dll].append(m.group(2) or "#" + m.group(1))
            else:
                section = None
    return fmt, exports, address_entries, imports


def check(text):
    problems = []
    fmt, exports, address_entries, imports = parse(text)
    if fmt != "pei-i386":
        problems.append(f"file format is {fmt}, not pei-i386 (a 32-bit PE)")
    if "(PE32)" not in text:
        problems.append("optional header is not PE32")
    if exports != ["VpiMain"]:
        problems.append(f"exports by name are {exports}, expected exactly ['VpiMain']")
    if address_entries != 1:
        problems.append(f"export address table has {address_entries} entries, expected 1")
    if not imports:
        problems.append("no import table found")
    for dll, names in imports.items():
        key = dll.lower()
        if key in ALLOWED_SYSTEM_DLLS:
            continue
        if key == HOST_DLL:
            if dll != "KORVAN.dll":
                problems.append(f"host library imported as {dll}, expected KORVAN.dll")
            if set(names) != HOST_IMPORTS or len(names) != len(HOST_IMPORTS):
                problems.append(f"imports from {dll} are {names}, expected only ['err']")
            continue
        problems.append(f"imports from {dll} ({', '.join(names)}): only KERNEL32.dll, "
                        "msvcrt.dll and KORVAN.dll may be imported")
    if not any(d.lower() == HOST_DLL for d in imports):
        problems.append("err is not imported from KORVAN.dll")
    return problems


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--objdump", required=True)
    ap.add_argument("dll")
    args = ap.parse_args()
    out = subprocess.run([args.objdump, "-p", args.dll], check=True, capture_output=True,
                         text=True).stdout
    problems = check(out)
    for p in problems:
        print(f"FAIL {args.dll}: {p}")
    if not problems:
        print(f"ok   {args.dll}: 32-bit PE, exports VpiMain only, imports err from KORVAN.dll "
              "besides KERNEL32.dll and msvcrt.dll")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
