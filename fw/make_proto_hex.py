#!/usr/bin/env python3
"""Writes proto.hex, the prototype FX2 (8051) image of this project.

The image is small on purpose: a reset vector, a start-up routine that sets the
stack and the CPU clock and then idles, and an identification block that the
virtual board reads as the firmware identifier. A physical board needs its
maker's FX2 bridge firmware in place of this file.

Usage: make_proto_hex.py [OUTPUT]   (default: proto.hex beside this script)
"""
import os
import struct
import sys

VERSION = 0x0100            # firmware version word, 1.0
ID_ADDRESS = 0x0100         # identification block, in code RAM
ID_MAGIC = b"QVFW"
ID_NAME = b"QV01 demo board prototype firmware"

# 8051 code. Addresses are FX2 code RAM addresses.
RESET = [0x02, 0x00, 0x80]  # 0000: LJMP 0x0080
START = [
    0xC2, 0xAF,             # 0080: CLR  EA           no interrupts
    0x75, 0x81, 0x5F,       # 0082: MOV  SP,#0x5F     stack above the register banks
    0x90, 0xE6, 0x00,       # 0085: MOV  DPTR,#0xE600 CPUCS
    0x74, 0x10,             # 0088: MOV  A,#0x10      CLKSPD = 48 MHz
    0xF0,                   # 008A: MOVX @DPTR,A
    0x80, 0xFE,             # 008B: SJMP $            idle
]


def id_block():
    # magic, version word (little-endian), NUL-terminated name
    return ID_MAGIC + struct.pack("<H", VERSION) + ID_NAME + b"\0"


def records(address, data):
    """Intel HEX data records of at most 16 bytes, never crossing a 16-byte line."""
    out = []
    pos = 0
    while pos < len(data):
        addr = address + pos
        n = min(16 - (addr % 16), len(data) - pos)
        chunk = data[pos:pos + n]
        body = bytes([n, addr >> 8, addr & 0xFF, 0x00]) + bytes(chunk)
        checksum = (-sum(body)) & 0xFF
        out.append(":" + body.hex().upper() + "%02X" % checksum)
        pos += n
    return out


def main():
    path = sys.argv[1] if len(sys.argv) > 1 else os.path.join(
        os.path.dirname(os.path.abspath(__file__)), "proto.hex")
    lines = []
    lines += records(0x0000, RESET)
    lines += records(0x0080, START)
    lines += records(ID_ADDRESS, id_block())
    lines.append(":00000001FF")
    with open(path, "w", newline="\n") as f:
        f.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
