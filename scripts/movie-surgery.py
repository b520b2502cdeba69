#!/usr/bin/env python3
# Byte surgery on movie files for the test and benchmark media: damaged copies as cameras
# leave them, a 64-bit media-data header, "moov" text inside media data, padding, and
# cutting a file right after its media data, rewriting the NAL length prefixes of the
# video to 1 or 2 bytes, prefix units in front of every H.264 slice, and storing the video
# behind all other chunks.
#   movie-surgery.py damage|mdat64|moovtext|bigpad|cutmoov|nalsize|prefix|audiofirst ARGS...
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

CONTAINERS = (b"moov", b"trak", b"mdia", b"minf", b"stbl")

def children(data, start, end):
    pos = start
    while pos + 8 <= end:
        size, typ = struct.unpack(">I4s", data[pos:pos + 8])
        head = 8
        if size == 1:
            size, head = struct.unpack(">Q", data[pos + 8:pos + 16])[0], 16
        if size < head or pos + size > end:
            raise SystemExit("bad atom size at %d" % pos)
        yield pos, size, typ, head
        pos += size

def tables(data, start, end, out):
    # Collects the sample-table atoms and the handler type below one track.
    for pos, size, typ, head in children(data, start, end):
        if typ in CONTAINERS:
            tables(data, pos + head, pos + size, out)
        elif typ == b"hdlr":
            out.setdefault(typ, bytes(data[pos + head + 8:pos + head + 12]))  # the media handler comes first
        else:
            out[typ] = (pos, size, head)
    return out

def track_chunks(data, t):
    # The chunks of one track: (file offset, [sample sizes]) and where each stco entry lives.
    pos, size, head = t[b"stco"] if b"stco" in t else t[b"co64"]
    wide = b"co64" in t and b"stco" not in t
    count = struct.unpack(">I", data[pos + head + 4:pos + head + 8])[0]
    step = 8 if wide else 4
    entry_at = [pos + head + 8 + i * step for i in range(count)]
    offsets = [struct.unpack(">Q" if wide else ">I", data[a:a + step])[0] for a in entry_at]
    pos, size, head = t[b"stsc"]
    n = struct.unpack(">I", data[pos + head + 4:pos + head + 8])[0]
    runs = [struct.unpack(">III", data[pos + head + 8 + 12 * i:pos + head + 20 + 12 * i])[:2] for i in range(n)]
    pos, size, head = t[b"stsz"]
    fixed, n = struct.unpack(">II", data[pos + head + 4:pos + head + 12])
    size_at = [pos + head + 12 + 4 * i for i in range(n)] if fixed == 0 else []
    sizes = [struct.unpack(">I", data[a:a + 4])[0] for a in size_at] if fixed == 0 else [fixed] * n
    chunks, sample = [], 0
    for c in range(count):
        per = 0
        for first, spc in runs:
            if first <= c + 1:
                per = spc
        chunks.append((offsets[c], list(range(sample, sample + per))))
        sample += per
    return chunks, entry_at, step, sizes, size_at

def relength(sample, length_size):
    # Rewrites the 4-byte length prefixes of one video sample to length_size bytes.
    out, p = bytearray(), 0
    while p + 4 <= len(sample):
        n = struct.unpack(">I", sample[p:p + 4])[0]
        if n >= 1 << (8 * length_size) or p + 4 + n > len(sample):
            raise SystemExit("NAL unit of %d bytes does not fit a %d-byte length" % (n, length_size))
        out += n.to_bytes(length_size, "big") + sample[p + 4:p + 4 + n]
        p += 4 + n
    if p != len(sample):
        raise SystemExit("sample does not end with a whole NAL unit")
    return bytes(out)

def prefix_units(sample, length_size=4):
    # Puts an H.264 prefix unit (type 14, the scalable extension's header of the base layer)
    # in front of every slice of one video sample, as slow-motion recordings do.
    out, p = bytearray(), 0
    while p + length_size <= len(sample):
        n = int.from_bytes(sample[p:p + length_size], "big")
        unit = sample[p + length_size:p + length_size + n]
        kind, nri = unit[0] & 0x1F, unit[0] & 0x60
        if kind in (1, 5):
            idr = 0x40 if kind == 5 else 0
            # svc_extension_flag, idr_flag; no inter-layer prediction; output_flag and the
            # reserved bits; then store_ref_base_pic_flag 0 and the extension flag 0 of a
            # reference picture, and the stop bit.
            body = bytes([nri | 14, 0x80 | idr, 0x80, 0x07, 0x20 if nri else 0x80])
            out += len(body).to_bytes(length_size, "big") + body
        out += sample[p:p + length_size + n]
        p += length_size + n
    return bytes(out)

def relayout(path, video=None, video_last=False, length_size=None):
    # Rewrites a movie (index after the media data) in place: every video sample goes
    # through video() (its size may change), and with video_last the chunks of the other
    # tracks but the last are stored first, then the video's, then that last chunk (as
    # phones that write their audio in front of the pictures). The chunk offsets and sample sizes follow; with length_size the
    # decoder configuration's NAL length size too.
    data = bytearray(read(path))
    mpos, msize, _, mhead = find(data, b"mdat")
    moov = find(data, b"moov")
    if moov[0] < mpos:
        raise SystemExit("expected the index after the media data in " + path)
    tracks = [tables(data, p + h, p + s, {}) for p, s, typ, h in children(data, moov[0] + moov[3], moov[0] + moov[1])
              if typ == b"trak"]
    plan = []
    for t in tracks:
        chunks, entry_at, step, sizes, size_at = track_chunks(data, t)
        is_video = t.get(b"hdlr") == b"vide"
        for i, (off, samples) in enumerate(chunks):
            plan.append((video_last and is_video, off, is_video, samples, entry_at[i], step, sizes, size_at))
    plan.sort(key=lambda c: c[:2])
    if video_last:
        # The last chunk of audio stays behind the pictures.
        last = max(i for i, c in enumerate(plan) if not c[2])
        plan.append(plan.pop(last))
    payload = bytearray()
    for _, off, is_video, samples, entry, step, sizes, size_at in plan:
        new_off = mpos + mhead + len(payload)
        data[entry:entry + step] = new_off.to_bytes(step, "big")
        for s in samples:
            body = bytes(data[off:off + sizes[s]])
            off += sizes[s]
            if is_video and video:
                body = video(body)
                if size_at:
                    data[size_at[s]:size_at[s] + 4] = struct.pack(">I", len(body))
            payload += body
    for t in tracks:
        if t.get(b"hdlr") != b"vide" or length_size is None:
            continue
        pos, size, _ = t[b"stsd"]
        for tag, at in ((b"avcC", 4), (b"hvcC", 21)):
            i = data.find(tag, pos, pos + size)
            if i >= 0:
                data[i + 4 + at] = (data[i + 4 + at] & 0xFC) | (length_size - 1)
    if mhead == 16:
        hdr = struct.pack(">I4sQ", 1, b"mdat", 16 + len(payload))
    else:
        hdr = struct.pack(">I4s", 8 + len(payload), b"mdat")
    write(path, bytes(data[:mpos]) + hdr + bytes(payload) + bytes(data[mpos + msize:]))

def nalsize(path, length_size):
    # The video's NAL length prefixes become length_size bytes long.
    relayout(path, lambda body: relength(body, length_size), length_size=length_size)

cmd, args = sys.argv[1], sys.argv[2:]
if cmd == "damage":
    damage(args[0], args[1], args[2], args[3], int(args[4]))
elif cmd == "mdat64":
    mdat64(args[0], args[1])
elif cmd == "moovtext":
    moovtext(args[0], args[1], args[2])
elif cmd == "bigpad":
    bigpad(args[0], args[1], int(args[2]), int(args[3]))
elif cmd == "nalsize":
    nalsize(args[0], int(args[1]))
elif cmd == "prefix":
    relayout(args[0], prefix_units)
elif cmd == "audiofirst":
    relayout(args[0], video_last=True)
elif cmd == "cutmoov":
    cutmoov(args[0])
else:
    raise SystemExit("unknown command " + cmd)
