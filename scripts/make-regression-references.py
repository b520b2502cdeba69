#!/usr/bin/env python3
# Regression inputs for the false-success oracle: damaged copies of a healthy reference
# movie, each with one small damage that once let a repair end in success with an output
# that does not play. Every damage names an atom of the movie index, which occurrence of it,
# an offset inside it and the bytes written there (or a new type code).
#   make-regression-references.py REFERENCE.mov OUTDIR
# OUTDIR/corpus.txt lists "<file> <expected exit status of a repair with it>".
import os, struct, sys

# name, atom type, occurrence, offset in the atom, bytes written, expected status
CASES = [
    ("mvhd-timescale-0", b"mvhd", 0, 20, struct.pack(">I", 0), 12),
    ("mvhd-timescale-max", b"mvhd", 0, 20, struct.pack(">I", 0xFFFFFFFF), 12),
    ("mdhd-video-timescale-0", b"mdhd", 0, 20, struct.pack(">I", 0), 12),
    ("mdhd-sound-timescale-max", b"mdhd", 1, 20, struct.pack(">I", 0xFFFFFFFF), 12),
    ("stsd-255-entries", b"stsd", 0, 12, struct.pack(">I", 255), 12),
    ("avcC-255-pps", None, 0, 0, b"", 12),
    ("avcC-length-size-3", b"avcC", 0, 12, b"\xfe", 12),
    ("stsz-huge-count", b"stsz", 0, 16, struct.pack(">I", 0x0FFFFFFF), 12),
    ("stsz-missing", b"stsz", 0, 4, b"free", 12),
    ("mvhd-missing", b"mvhd", 0, 4, b"free", 12),
    ("esds-info-overruns", None, 0, 0, b"", 12),
    ("stsd-count-in-flags", b"stsd", 0, 11, struct.pack(">I", 2), 12),
]

def atom_at(data, typ, nth):
    pos = -1
    for _ in range(nth + 1):
        pos = data.index(typ, pos + 1)
    return pos - 4

def descriptor_body(data, tag_pos):
    p = tag_pos + 1
    while data[p] & 0x80:
        p += 1
    return p + 1

def damage(data, name, typ, nth, offset, new):
    data = bytearray(data)
    if name == "avcC-255-pps":
        a = atom_at(data, b"avcC", 0)
        sps_len = struct.unpack(">H", data[a + 14:a + 16])[0]
        data[a + 16 + sps_len] = 255
    elif name == "esds-info-overruns":
        es = atom_at(data, b"esds", 0) + 12
        config = descriptor_body(data, descriptor_body(data, es) + 3)
        data[descriptor_body(data, config + 13) - 1] = 0x7F
    else:
        a = atom_at(data, typ, nth) + offset
        data[a:a + len(new)] = new
    return bytes(data)

def main():
    if len(sys.argv) != 3:
        raise SystemExit("usage: make-regression-references.py REFERENCE.mov OUTDIR")
    with open(sys.argv[1], "rb") as f:
        healthy = f.read()
    out = sys.argv[2]
    os.makedirs(out, exist_ok=True)
    lines = []
    for name, typ, nth, offset, new, status in CASES:
        path = os.path.join(out, name + ".mov")
        with open(path, "wb") as f:
            f.write(damage(healthy, name, typ, nth, offset, new))
        lines.append("%s %d\n" % (name + ".mov", status))
    with open(os.path.join(out, "corpus.txt"), "w") as f:
        f.writelines(lines)

main()
