#!/usr/bin/env python3
"""Writes the sample HEX files of this folder. Deterministic: running it again
gives the same bytes.

full-app.hex  data in every 128-byte block of the chip's APP region
              (0x2000-0x9FFF), 16-byte records, an extended linear address
              record 0000 first and the end record last.
small.hex     a few records near 0x2000.
"""
import os


def record(address, rtype, data):
    body = bytes([len(data), address >> 8, address & 0xFF, rtype]) + bytes(data)
    checksum = (-sum(body)) & 0xFF
    return ":" + body.hex().upper() + "%02X" % checksum


def pattern(length, seed):
    """A xorshift32 byte stream: looks like code, never an all-0xFF block."""
    state = seed
    out = bytearray()
    for _ in range(length):
        state ^= (state << 13) & 0xFFFFFFFF
        state ^= state >> 17
        state ^= (state << 5) & 0xFFFFFFFF
        out.append(state & 0xFF)
    return out


def write(path, lines):
    with open(path, "w", newline="\n") as f:
        f.write("\n".join(lines) + "\n")


def main():
    here = os.path.dirname(os.path.abspath(__file__))

    image = pattern(0x8000, 0x5EED1234)
    for block in range(0, 0x8000, 128):  # one byte per block that is surely not 0xFF
        image[block] = block // 128 & 0x7F
    lines = [record(0, 0x04, [0x00, 0x00])]
    for offset in range(0, 0x8000, 16):
        lines.append(record(0x2000 + offset, 0x00, image[offset:offset + 16]))
    lines.append(record(0, 0x01, []))
    write(os.path.join(here, "full-app.hex"), lines)

    small = [record(0, 0x04, [0x00, 0x00])]
    small.append(record(0x2000, 0x00, list(range(16))))
    small.append(record(0x2010, 0x00, pattern(16, 0x0BADF00D)))
    small.append(record(0x2080, 0x00, b"VELKAN sample\x00\x01\x02"))
    small.append(record(0, 0x01, []))
    write(os.path.join(here, "small.hex"), small)


if __name__ == "__main__":
    main()
