#!/usr/bin/env python3
# Writes a package as another packer would (no member checksums), with
# members of the given names that dpkpack itself would never write:
#   raw_package.py OUTPUT NAME...
# Each member holds its name and a line feed, dated 2024-01-01.
import struct, sys, zlib


def text(t):
    u = t.encode("utf-16-le")
    return struct.pack("<I", len(u) // 2) + u


def record(body):
    return struct.pack("<I", len(body) + 4) + body


image, area = struct.pack("<II", 1, 1) + record(text("en") + text("P") + text("V") + text("")), b""
image += struct.pack("<I", len(sys.argv) - 2)
ticks = (1704067200 + 11644473600) * 10**7  # 2024-01-01, as a file time
for name in sys.argv[2:]:
    data = name.encode() + b"\n"
    image += record(text(name) + struct.pack("<IIII", ticks & 0xFFFFFFFF, ticks >> 32, len(area), len(data)))
    area += data
deflate = zlib.compressobj(9, zlib.DEFLATED, -15)
open(sys.argv[1], "wb").write(deflate.compress(image + area) + deflate.flush())
