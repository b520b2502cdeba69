#!/usr/bin/env python3
# Byte surgery on movie files for the test and benchmark media: damaged copies as cameras
# leave them, a 64-bit media-data header, "moov" text inside media data, padding, and
# cutting a file right after its media data.
#   movie-surgery.py damage|mdat64|moovtext|bigpad|cutmoov ARGS...
import os, random, struct, sys

def top_atoms(data):
    pos, out = 0, []
    while pos + 8 <= len(data):
        size, typ = struct.unpack(">I4s", data[pos:pos + 8])
        head = 8
        if size == 1:
            size = struct.unpack(">Q", data[pos + 8:pos + 16])[0]
            head = 16
        elif size == 0:
            size = len(data) - pos
        if size < head:
            raise SystemExit("bad atom size at %d" % pos)
        out.append((pos, size, typ, head))
        pos += size
    return out

def find(data, typ):
    for a in top_atoms(data):
        if a[2] == typ:
            return a
    raise SystemExit("no %r atom" % typ)

def read(path):
    with open(path, "rb") as f:
        return f.read()

def write(path, data):
    with open(path + ".part", "wb") as f:
        f.write(data)
    os.replace(path + ".part", path)

def garbage_range(payload_start, payload_len):
    n = min(65536, payload_len // 2)
    start = payload_start + payload_len // 2 - n // 2
    return start, n

def damage(orig, lost, cut, garbage, seed):
    data = read(orig)
    pos, size, _, head = find(data, b"mdat")
    payload_start, payload_len = pos + head, size - head
    write(lost, data[:pos + size])
    write(cut, data[:payload_start + payload_len * 6 // 10])
    start, n = garbage_range(payload_start, payload_len)
    noise = random.Random(seed).randbytes(n)
    g = bytearray(data[:pos + size])
    g[start:start + n] = noise
    write(garbage, bytes(g))

def mdat64(src, dst):
    # ffmpeg reserves an 8-byte "wide" (or "free") atom before a 32-bit "mdat" header;
    # together they become one 16-byte header, so the payload does not move.
    data = read(src)
    atoms = top_atoms(data)
    for i, (pos, size, typ, head) in enumerate(atoms):
        if typ == b"mdat" and head == 8 and i > 0:
            ppos, psize, ptyp, _ = atoms[i - 1]
            if ptyp in (b"wide", b"free") and psize == 8 and ppos + 8 == pos:
                hdr = struct.pack(">I4sQ", 1, b"mdat", size + 8)
                write(dst, data[:ppos] + hdr + data[pos + 8:])
                return
    raise SystemExit("no wide+mdat pair in " + src)

def moovtext(src, dst, dst_badmdat):
    # x264 stores its settings as text in a user-data SEI of the first picture; that text
    # is opaque to decoders, so it can carry a few false "moov" headers. Each one gets a
    # size that fits in the file, so only the type of its would-be first child gives it away.
    data = bytearray(read(src))
    pos, size, _, head = find(data, b"mdat")
    t = data.find(b"x264 - core", pos + head, pos + size)
    if t < 0:
        raise SystemExit("no x264 settings text in " + src)
    fake = struct.pack(">I", 0x00010101) + b"moov"
    valid = (b"mvhd", b"uuid", b"free", b"udta", b"trak")
    for off in (80, 200, 320):
        at = t + off
        data[at:at + 8] = fake
        for child in (at + 12, at + 20):
            if bytes(data[child:child + 4]) in valid:
                raise SystemExit("false moov at %d looks valid" % at)
        if at + 0x00010101 > len(data):
            raise SystemExit("file too small for the false moov size")
    write(dst, bytes(data))
    data[pos + 4:pos + 8] = b"xxxx"
    write(dst_badmdat, bytes(data))

def bigpad(src, dst, total, seed):
    # Pads the media data at its end, after the last chunk, so the index stays valid;
    # then overwrites the media-data type so a scan cannot jump over it.
    data = read(src)
    pos, size, _, head = find(data, b"mdat")
    if head != 8:
        raise SystemExit("expected a 32-bit mdat header in " + src)
    pad = max(0, total - len(data))
    filler = random.Random(seed).randbytes(pad)
    hdr = struct.pack(">I", size + pad) + b"\xde\xad\xbe\xef"
    write(dst, data[:pos] + hdr + data[pos + 8:pos + size] + filler + data[pos + size:])

def cutmoov(path):
    # Drops everything after the media data, in place (used on big files).
    with open(path, "r+b") as f:
        total = os.fstat(f.fileno()).st_size
        pos = 0
        while pos + 8 <= total:
            f.seek(pos)
            hdr = f.read(16)
            size, typ = struct.unpack(">I4s", hdr[:8])
            head = 8
            if size == 1:
                size, head = struct.unpack(">Q", hdr[8:16])[0], 16
            elif size == 0:
                size = total - pos
            if size < head:
                raise SystemExit("bad atom size at %d" % pos)
            if typ == b"mdat":
                f.truncate(pos + size)
                return
            pos += size
    raise SystemExit("no mdat in " + path)

cmd, args = sys.argv[1], sys.argv[2:]
if cmd == "damage":
    damage(args[0], args[1], args[2], args[3], int(args[4]))
elif cmd == "mdat64":
    mdat64(args[0], args[1])
elif cmd == "moovtext":
    moovtext(args[0], args[1], args[2])
elif cmd == "bigpad":
    bigpad(args[0], args[1], int(args[2]), int(args[3]))
elif cmd == "cutmoov":
    cutmoov(args[0])
else:
    raise SystemExit("unknown command " + cmd)
