#!/usr/bin/env python3
"""Writes the seed corpus under fuzz/corpus/<target>/.

The seeds follow the input layouts described at the top of each target's
source; the gate and identifier orders below match the targets' tables.
Run it again after changing a layout; it replaces the corpus folders.
"""
import math
import pathlib
import shutil
import struct

ROOT = pathlib.Path(__file__).resolve().parent / "corpus"

STX, ETX, EOT, ENQ, ACK, NAK = b"\x02", b"\x03", b"\x04", b"\x05", b"\x06", b"\x15"


def bcc(data: bytes) -> int:
    x = 0
    for b in data:
        x ^= b
    return x


def frame(text: bytes, good_bcc: bool = True) -> bytes:
    body = text + ETX
    check = bcc(body) if good_bcc else bcc(body) ^ 0x5A
    return STX + body + bytes([check])


def write(target: str, seeds: dict) -> None:
    folder = ROOT / target
    if folder.exists():
        shutil.rmtree(folder)
    folder.mkdir(parents=True)
    for name, data in seeds.items():
        (folder / name).write_bytes(data)


def parser_seeds() -> dict:
    float_gate, analog_gate = b"\x03", b"\x00"
    cases = {
        "parameter": float_gate + b"01M1",
        "parameter-lower": float_gate + b"15cl",
        "parameter-long": float_gate + b"02TR-tail",
        "segment": analog_gate + b"0125",
        "segment-type2": b"\x02" + b"0930",
        "segment-spaced": analog_gate + b"01 49",
        "segment-as-float": float_gate + b"0141",
        "parameter-as-analog": analog_gate + b"01M1",
        "undeclared": float_gate + b"03M1",
        "station-16": float_gate + b"16M1",
        "plus-sign": float_gate + b"+1M1",
        "minus-sign": float_gate + b"-1M1",
        "leading-space": float_gate + b" 5 M1",
        "placeholder": float_gate + b"01@@",
        "unknown": float_gate + b"01ZZ",
        "short": float_gate + b"01",
        "overlong": float_gate + b"01M1" + b"x" * 60,
        "embedded-nul": float_gate + b"01\x00M1",
        "high-bytes": float_gate + b"01\xff\xfe",
    }
    return cases


def init_file_seeds() -> dict:
    return {
        "two-stations": b"1 = P200\n2 = P200\n",
        "crlf-ifg": b"IFG = 10\r\n3=P200\r\n\r\n15 = P200\r\n",
        "all-sixteen": b"".join(b"%d = P200\n" % n for n in range(16)),
        "station-16": b"16 = P200\n",
        "beyond-32-bits": b"4294967296 = P200\nIFG = 4294967296\n",
        "signed": b"-1 = P200\n+2 = P200\nIFG = -5\n",
        "other-type": b"5 = P100\n6 = p200\n",
        "no-final-newline": b"IFG=7\n7 = P200",
        "long-line": b"1 = P200 " + b"x" * 300 + b"\n8 = P200\n",
        "nul-inside": b"1 = P\x00200\n9 = P200\n",
        "blank-and-junk": b"\n\n   \n# comment\n4=\n=P200\n",
        "empty": b"",
    }


# (echo text, time-valued) per gate, in fuzz_receive's order.
RECEIVE_GATES = [
    (b"M1", False),
    (b"TR", True),
    (b"PN03RR", False),
    (b"PN03SN07LE", False),
    (b"PN03SN07TM", True),
    (b"PN03TN12RE", False),
    (b"PN03TN12TO", True),
    (b"PO01P1", False),
    (b"AN16A1", False),
    (b"ET", True),
    (b"@@", False),
]


def receive_seed(gate: int, reply: bytes, mode: int = 0, timeout: int = 10, delay: int = 2) -> bytes:
    return bytes([gate, mode, timeout, delay]) + reply


def receive_seeds() -> dict:
    seeds = {}
    analog_values = [b"0001.0", b"-012.5", b"000100", b"1.2.3", b"-000.0", b"0." + b"0" * 60 + b"1"]
    time_values = [b"12.34.56", b"00.00.00", b"99.99.99"]
    for i, (echo, time) in enumerate(RECEIVE_GATES):
        values = time_values + analog_values[:1] if time else analog_values[:3]
        for j, value in enumerate(values):
            seeds[f"gate{i:02d}-value{j}"] = receive_seed(i, frame(echo + value))
    m1 = RECEIVE_GATES[0][0]
    pn = RECEIVE_GATES[3][0]
    good = frame(m1 + b"0001.0")
    seeds.update({
        "value-tiny": receive_seed(0, frame(m1 + analog_values[5])),
        "value-minus-zero": receive_seed(0, frame(m1 + b"-000.0")),
        "value-points": receive_seed(0, frame(m1 + b"1..2")),
        "value-lone-minus": receive_seed(0, frame(m1 + b"-")),
        "value-lone-point": receive_seed(0, frame(m1 + b".")),
        "value-empty": receive_seed(0, frame(m1)),
        "value-letter": receive_seed(0, frame(m1 + b"12a4")),
        "time-signed": receive_seed(1, frame(b"TR-1.-2.-3")),
        "time-short": receive_seed(1, frame(b"TR12.34.5")),
        "time-one-digit": receive_seed(1, frame(b"TR1.2.34.5")),
        "echo-other": receive_seed(3, frame(b"PN03SN08LE0001.0")),
        "echo-short": receive_seed(3, frame(pn[:4])),
        "bcc-error": receive_seed(0, frame(m1 + b"0001.0", good_bcc=False)),
        "bcc-error-every": receive_seed(0, frame(m1 + b"0001.0", good_bcc=False), mode=2),
        "no-etx": receive_seed(0, STX + m1 + b"0001.0"),
        "no-bcc": receive_seed(0, STX + m1 + b"0001.0" + ETX),
        "no-stx": receive_seed(0, m1 + b"0001.0" + ETX + b"\x00"),
        "overlong": receive_seed(0, frame(m1 + b"1" * 140)),
        # The text between STX and ETX fills at most 127 of the 130 bytes.
        "overlong-exact": receive_seed(0, frame(m1 + b"0" * 125 + b"1")),
        "fits-exact": receive_seed(0, frame(m1 + b"0" * 124 + b"1")),
        "babble-then-frame": receive_seed(0, b"x" * 250 + good),
        "babble-endless": receive_seed(0, b"\xaa" * 400 + good, mode=2),
        "eot-run": receive_seed(0, EOT * 10 + good),
        "eot-run-long": receive_seed(0, EOT * 320 + good),
        "eot-then-babble": receive_seed(0, EOT * 150 + b"y" * 149 + good),
        "nak": receive_seed(0, NAK),
        "ack": receive_seed(0, ACK),
        "nak-every": receive_seed(0, NAK, mode=2),
        "silence": receive_seed(0, b""),
        "silence-port-timeout": receive_seed(0, b"", timeout=0),
        "late": receive_seed(0, good, delay=200, timeout=10),
        "dribbled": receive_seed(3, frame(pn + b"0042.5"), mode=1 | (5 << 2)),
        "dribbled-slow": receive_seed(0, good, mode=1 | (63 << 2), timeout=5),
        "dribbled-every": receive_seed(2, frame(b"PN03RR0007.0"), mode=3 | (1 << 2)),
        "two-frames": receive_seed(0, frame(m1 + b"0002.0") + good, mode=2),
        "placeholder": receive_seed(10, good),
    })
    return seeds


# (identifier index position in fuzz_write_value's table) -> time-valued.
WRITE_CODES = 18
WRITE_TIME = {1, 4, 6, 7, 10}


def f32(value: float) -> bytes:
    return struct.pack("<f", value)


def write_seed(code: int, station: int, value: bytes, selectors=(0, 0, 0, 0, 0)) -> bytes:
    return bytes([code, station]) + value + bytes(selectors)


def write_value_seeds() -> dict:
    seeds = {}
    analog = [0.0, 1.5, -1.0, -99999.0, -99999.5, 999999.0, 999999.5, 1e6, -0.5, 123.9]
    times = [0.0, 123456.0, 995959.0, 995960.0, 7000.0, 60.0, 59.9, -0.5, -1.0, 1000000.0]
    specials = {"nan": struct.pack("<I", 0x7FC00001), "inf": f32(math.inf),
                "minus-inf": f32(-math.inf), "denormal": struct.pack("<I", 0x00000001),
                "max": struct.pack("<I", 0x7F7FFFFF)}
    for code in range(WRITE_CODES):
        values = times if code in WRITE_TIME else analog
        for j, v in enumerate(values):
            seeds[f"code{code:02d}-value{j}"] = write_seed(code, code % 3, f32(v), (3, 7, 12, 1, 16))
        if code in (0, 1, 13):
            for name, bits in specials.items():
                seeds[f"code{code:02d}-{name}"] = write_seed(code, 0, bits)
    seeds["selectors-high"] = write_seed(3, 1, f32(42.0), (16, 16, 16, 16, 16))
    seeds["selectors-missing"] = bytes([5, 2]) + f32(42.0)
    return seeds


def crash_seeds() -> None:
    """Inputs that showed a fault in the driver, kept out of the corpus so
    that a bounded run stays meaningful until the fault is mended."""
    folder = ROOT.parent / "crashes-found"
    folder.mkdir(exist_ok=True)
    m1 = RECEIVE_GATES[0][0]
    (folder / "fuzz_receive-infinite-value").write_bytes(receive_seed(0, frame(m1 + b"9" * 60)))


def main() -> None:
    write("fuzz_parser", parser_seeds())
    write("fuzz_init_file", init_file_seeds())
    write("fuzz_receive", receive_seeds())
    write("fuzz_write_value", write_value_seeds())
    crash_seeds()


if __name__ == "__main__":
    main()
