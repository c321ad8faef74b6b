#!/usr/bin/env python3
"""Checks the linkage of libdraxo.so.

glibc exports its own err(3), which prints and exits. The driver must
export VpiMain alone, need libkorvan.so, and take err through korvan's
version node KORVAN_1, so that no other err can satisfy the reference.
"""
import argparse
import re
import subprocess
import sys


def run(*cmd):
    return subprocess.run(list(cmd), check=True, capture_output=True, text=True).stdout


def defined_exports(nm_out):
    names = []
    for line in nm_out.splitlines():
        fields = line.split()
        if len(fields) >= 3:
            names.append(fields[2].split("@")[0])
    return names


def err_references(dynsyms_out):
    """Names (with version) of the undefined dynamic symbols called err."""
    refs = []
    for line in dynsyms_out.splitlines():
        fields = line.split()
        # Num: Value Size Type Bind Vis Ndx Name [(version index)]
        if len(fields) >= 8 and fields[6] == "UND" and fields[7].split("@")[0] == "err":
            refs.append(fields[7])
    return refs


def needed(dynamic_out):
    return re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", dynamic_out)


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--nm", required=True)
    ap.add_argument("--readelf", required=True)
    ap.add_argument("library")
    args = ap.parse_args()
    lib = args.library

    problems = []
    exports = defined_exports(run(args.nm, "-D", "--defined-only", lib))
    if exports != ["VpiMain"]:
        problems.append(f"defined dynamic symbols are {exports}, expected exactly ['VpiMain']")

    refs = err_references(run(args.readelf, "--dyn-syms", "-W", lib))
    if refs != ["err@KORVAN_1"]:
        problems.append(f"err references are {refs}, expected exactly ['err@KORVAN_1']")

    libs = needed(run(args.readelf, "-d", "-W", lib))
    if "libkorvan.so" not in libs:
        problems.append(f"NEEDED is {libs}, which lacks libkorvan.so")

    for p in problems:
        print(f"FAIL {lib}: {p}")
    if not problems:
        print(f"ok   {lib}: exports VpiMain only, err@KORVAN_1, needs libkorvan.so")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
