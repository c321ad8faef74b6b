#!/usr/bin/env python3
"""Plots reads per second against baud rate from docs/benchmark.csv:
the driver, the pyserial poller and the line's limit.

    plot.py [CSV [PNG]]
"""
import csv
import os
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

here = os.path.dirname(os.path.abspath(__file__))
src = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "..", "docs", "benchmark.csv")
dst = sys.argv[2] if len(sys.argv) > 2 else os.path.join(os.path.dirname(src), "benchmark.png")

series = {"read": {}, "pyserial-read": {}}
limit = {}
with open(src, newline="") as f:
    for row in csv.DictReader(f):
        baud = int(row["baud"])
        if baud == 0 or row["kind"] not in series or int(row["lines"]) != 1:
            continue
        series[row["kind"]][baud] = float(row["per_second"])
        limit[baud] = float(row["limit_per_second"])

fig, ax = plt.subplots(figsize=(7, 4.5))
for label, values, style in (("limit (wire time, 8N1)", limit, "k--"),
                             ("DRAXO driver", series["read"], "o-"),
                             ("pyserial poller", series["pyserial-read"], "s-")):
    bauds = sorted(values)
    ax.plot(bauds, [values[b] for b in bauds], style, label=label)
ax.set_xscale("log")
ax.set_yscale("log")
ax.set_xticks(sorted(limit))
ax.set_xticklabels([str(b) for b in sorted(limit)])
ax.set_xlabel("baud rate")
ax.set_ylabel("reads of 01M1 per second")
ax.set_title("One line against rexsim --pace")
ax.grid(True, which="both", alpha=0.3)
ax.legend()
fig.tight_layout()
fig.savefig(dst, dpi=120)
print(dst)
