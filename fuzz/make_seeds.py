#!/usr/bin/env python3
"""Seed corpora for the fuzz targets, cut from small compressed data files that
the veld program packs (several dictionary sizes, block counts and both
writing settings).

usage: make_seeds.py VELD_PROGRAM OUTDIR
Writes OUTDIR/<target>/<name> for read_compressed, layout_decode, block_codec
and recover (whole files, some cut short or with the table damaged).
"""
import os
import struct
import subprocess
import sys
import tempfile


def text_bytes(n, seed):
    words = [b"alpha", b"beta", b"gamma", b"delta", b"epsilon", b"12345", b"\n", b";", b"  "]
    out = bytearray()
    x = seed
    while len(out) < n:
        x = (x * 1103515245 + 12345) & 0x7FFFFFFF
        out += words[x % len(words)]
    return bytes(out[:n])


def pack(veld, work, name, dict_size, case_size, threads, flush_every):
    raw = os.path.join(work, name + ".raw")
    packed = os.path.join(work, name + ".veld")
    with open(raw, "wb") as f:
        f.write(text_bytes(dict_size, 3) + text_bytes(case_size, dict_size + case_size))
    cmd = [veld, "pack", raw, packed, "--row0", str(dict_size), "--threads", str(threads), "--quiet"]
    if flush_every:
        cmd += ["--flush-every", str(flush_every)]
    subprocess.run(cmd, check=True)
    with open(packed, "rb") as f:
        return f.read()


def layout(data, P):
    case_start, info_pos, size = struct.unpack_from("<qqq", data, P)
    table = data[info_pos:info_pos + size]
    count = struct.unpack_from("<i", table, 20)[0]
    blocks = [struct.unpack_from("<qqii", table, 24 * (i + 1)) for i in range(count)]
    return table, blocks


def main():
    veld, outdir = sys.argv[1], sys.argv[2]
    targets = ["read_compressed", "layout_decode", "block_codec", "recover"]
    for t in targets:
        os.makedirs(os.path.join(outdir, t), exist_ok=True)

    def put(target, name, payload):
        with open(os.path.join(outdir, target, name), "wb") as f:
            f.write(payload)

    shapes = [  # name, P, case bytes, threads, flush every
        ("empty", 100, 0, 0, 0),
        ("one", 1000, 1, 0, 0),
        ("small", 1000, 20000, 1, 0),
        ("flushed", 333, 40000, 0, 9000),
        ("flushed-t1", 5000, 30000, 1, 7001),
        ("many", 64, 20000, 0, 1000),
    ]
    with tempfile.TemporaryDirectory() as work:
        for name, P, cases, threads, flush in shapes:
            data = pack(veld, work, name, P, cases, threads, flush)
            for ops in range(5):
                put("read_compressed", "%s-%d" % (name, ops), bytes([0]) + struct.pack("<H", P) + bytes([ops]) + data)
            put("read_compressed", name + "-swapped", bytes([1]) + struct.pack("<H", P) + bytes([2]) + data)
            # Early stop, and early stop with a block cache at setting 2.
            for flags in (4, 12):
                put("read_compressed", "%s-early%d" % (name, flags), bytes([flags]) + struct.pack("<H", P) + bytes([3]) + data)
            head = bytes([0]) + struct.pack("<H", P)
            put("recover", name, head + data)
            put("recover", name + "-cut", head + data[:P + 24 + (len(data) - P - 24) // 2])
            table, blocks = layout(data, P)
            info_pos = struct.unpack_from("<q", data, P + 8)[0]
            if len(table) > 30:
                damaged = bytearray(data)
                damaged[info_pos + 30] ^= 0x5A
                put("recover", name + "-table", head + bytes(damaged))
            put("layout_decode", name, bytes([0]) + table)
            put("layout_decode", name + "-swapped", bytes([1]) + table)
            for k, (opos, tpos, osize, tsize) in enumerate(blocks[:3]):
                put("block_codec", "%s-%d" % (name, k), struct.pack("<I", osize) + data[tpos:tpos + tsize])
    for t in targets:
        print("%s: %d seeds" % (t, len(os.listdir(os.path.join(outdir, t)))))


if __name__ == "__main__":
    main()
