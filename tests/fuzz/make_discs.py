#!/usr/bin/env python3
"""Writes the disc images of the fuzz corpus into OUT/disc: sessions built
with genisoimage and xorrisofs, some of them damaged on purpose afterwards.
Trailing empty blocks are cut off (the readers never get there), which keeps
the files small. The tests read the same images.

    make_discs.py OUT"""

import os
import shutil
import struct
import subprocess
import sys
import tempfile

out = os.path.join(sys.argv[1], "disc")
os.makedirs(out, exist_ok=True)
BLOCK = 2048


def build(tree, tool="genisoimage", extra=()):
    fd, iso = tempfile.mkstemp(suffix=".iso")
    os.close(fd)
    # In UTC the stored date fields are the file's own, to the last second of a year.
    subprocess.run([tool, "-quiet", "-r", "-V", "CORPUS", *extra, "-o", iso, tree], check=True,
                   stderr=subprocess.DEVNULL, env=dict(os.environ, TZ="UTC"))
    with open(iso, "rb") as f:
        data = bytearray(f.read())
    os.unlink(iso)
    return data


def save(name, data):
    end = len(data)
    while end >= BLOCK and not any(data[end - BLOCK:end]):
        end -= BLOCK
    with open(os.path.join(out, name), "wb") as f:
        f.write(bytes(data[:end]))


def le32(b, at):
    return struct.unpack_from("<I", b, at)[0]


def put32(b, at, value):
    struct.pack_into("<I", b, at, value)
    struct.pack_into(">I", b, at + 4, value)


def root(img):
    rec = 16 * BLOCK + 156
    return le32(img, rec + 2), le32(img, rec + 10)


def susp(img, rec):
    """(offset, signature, length) of each system use entry of the record at rec."""
    length = img[rec]
    name_len = img[rec + 32]
    at = rec + 33 + name_len + (1 if name_len % 2 == 0 else 0)
    while at + 4 <= rec + length:
        n = img[at + 2]
        if n < 4:
            break
        yield at, bytes(img[at:at + 2]), n
        at += n


def rr_name(img, rec):
    name = b""
    for at, sig, n in susp(img, rec):
        if sig == b"NM":
            name += bytes(img[at + 5:at + n])
    return name


def find(img, extent, length, name):
    pos, end = extent * BLOCK, extent * BLOCK + length
    while pos < end:
        n = img[pos]
        if n == 0:
            pos = (pos // BLOCK + 1) * BLOCK
            continue
        if rr_name(img, pos) == name:
            return pos
        pos += n
    raise KeyError(name)


def lookup(img, path):
    extent, length = root(img)
    rec = None
    for part in path.split("/"):
        rec = find(img, extent, length, part.encode())
        extent, length = le32(img, rec + 2), le32(img, rec + 10)
    return rec


with tempfile.TemporaryDirectory() as tmp:
    def tree(name):
        path = os.path.join(tmp, name)
        os.makedirs(path)
        return path

    # A session as this program burns them: files, folders, links, an odd
    # name, dates, and folders deep enough for genisoimage to relocate them.
    t = tree("plain")
    os.makedirs(os.path.join(t, "dir/sub"))
    with open(os.path.join(t, "a.txt"), "w") as f:
        f.write("hello\n")
    with open(os.path.join(t, "dir/sub/b.txt"), "w") as f:
        f.write("b" * 5000)
    with open(os.path.join(t.encode(), b"caf\xe9"), "w") as f:
        f.write("latin-1\n")
    os.symlink("a.txt", os.path.join(t, "link"))
    os.symlink("../nowhere", os.path.join(t, "dir/dangling"))
    os.makedirs(os.path.join(t, "d1/d2/d3/d4/d5/d6/d7/d8/d9/d10"))
    with open(os.path.join(t, "d1/d2/d3/d4/d5/d6/d7/d8/d9/d10/deep.txt"), "w") as f:
        f.write("deep\n")
    os.utime(os.path.join(t, "a.txt"), (1000000000, 1000000000))
    os.utime(os.path.join(t, "dir/sub/b.txt"), (1735689599, 1735689599))  # 2024-12-31 23:59:59
    save("plain-genisoimage.iso", build(t))
    save("plain-xorrisofs.iso", build(t, "xorrisofs"))

    # A folder whose record points back at the root folder.
    img = build(t)
    put32(img, lookup(img, "dir") + 2, root(img)[0])
    save("folder-loops-to-root.iso", img)

    # A relocated folder's placeholder whose child link points at the root.
    img = build(t)
    rec = lookup(img, "d1/d2/d3/d4/d5/d6/d7")
    rec = find(img, le32(img, rec + 2), le32(img, rec + 10), b"d8")
    cl = [at for at, sig, n in susp(img, rec) if sig == b"CL"][0]
    put32(img, cl + 4, root(img)[0])
    save("relocation-loops-to-root.iso", img)

    # A file whose plain record is dated ten years before its Rock Ridge
    # times, which are the ones that count.
    img = build(t)
    img[lookup(img, "a.txt") + 18] -= 10
    save("record-date-differs.iso", img)

    # The same, with Rock Ridge times that are the modification time alone,
    # the entry ending with it.
    at, n = [(at, n) for at, sig, n in susp(img, lookup(img, "a.txt")) if sig == b"TF"][0]
    flags = img[at + 4]
    assert flags & 0x02 and not flags & 0x80 and n >= 16
    stamp = at + 5 + 7 * (flags & 0x01)
    img[at:at + n] = b"TF\x0c\x01\x02" + img[stamp:stamp + 7] + b"PD" + bytes([n - 12, 1]) + bytes(n - 16)
    save("modify-time-only.iso", img)

    # A folder that lies beyond the end of the disc.
    img = build(t)
    put32(img, lookup(img, "dir") + 2, 0x7FFFFFF0)
    save("folder-beyond-end.iso", img)

    # A record whose continuation area is the record itself.
    img = build(t)
    rec = lookup(img, "a.txt")
    px = [(at, n) for at, sig, n in susp(img, rec) if sig == b"PX"][0]
    sua = rec + 33 + img[rec + 32] + (1 if img[rec + 32] % 2 == 0 else 0)
    ce = bytearray(b"CE\x1c\x01" + bytes(24))
    put32(ce, 4, sua // BLOCK)
    put32(ce, 12, sua % BLOCK)
    put32(ce, 20, rec + img[rec] - sua)
    img[px[0]:px[0] + 28] = ce
    img[px[0] + 28:px[0] + px[1]] = b"PD" + bytes([px[1] - 28, 1]) + bytes(px[1] - 32)
    save("continuation-loops.iso", img)

    # A chain of 17 continuation areas, one more than a reader follows, in the
    # unused blocks before the volume descriptors; the name is in the last one.
    img = build(t)
    rec = lookup(img, "a.txt")
    px = [(at, n) for at, sig, n in susp(img, rec) if sig == b"PX"][0]
    for at, sig, n in list(susp(img, rec)):
        if sig == b"NM":
            img[at:at + 2] = b"PD"
    areas = [BLOCK + 64 * i for i in range(17)]

    def ce(to):
        entry = bytearray(b"CE\x1c\x01" + bytes(24))
        put32(entry, 4, to // BLOCK)
        put32(entry, 12, to % BLOCK)
        put32(entry, 20, 64)
        return entry
    img[px[0]:px[0] + 28] = ce(areas[0])
    img[px[0] + 28:px[0] + px[1]] = b"PD" + bytes([px[1] - 28, 1]) + bytes(px[1] - 32)
    for here, there in zip(areas, areas[1:]):
        img[here:here + 28] = ce(there)
    img[areas[-1]:areas[-1] + 15] = b"NM\x0f\x01\x00unread.txt"
    save("continuation-chain-17.iso", img)

    # A file in two extents, as mkisofs writes files too large for one:
    # two records of one name, the first marked "more to come".
    t = tree("split")
    with open(os.path.join(t, "a.txt"), "w") as f:
        f.write("a" * BLOCK)
    with open(os.path.join(t, "b.txt"), "w") as f:
        f.write("b\n")
    img = build(t)
    first, second = lookup(img, "a.txt"), lookup(img, "b.txt")
    img[first + 25] |= 0x80
    img[second + 33:second + 34] = b"A"
    nm = [at for at, sig, n in susp(img, second) if sig == b"NM"][0]
    img[nm + 5:nm + 6] = b"a"
    save("two-extents.iso", img)

    # A file whose record says its data goes on in the next record, which
    # is a folder's.
    t = tree("cut")
    os.makedirs(os.path.join(t, "b"))
    with open(os.path.join(t, "a.txt"), "w") as f:
        f.write("a\n")
    img = build(t)
    img[lookup(img, "a.txt") + 25] |= 0x80
    save("continuation-cut-short.iso", img)

    # Names no folder can hold: "..", one with a slash, and a NUL; and a
    # link whose record has no mode entry, only its target.
    t = tree("names")
    for name in ("aa", "bbbb", "cccc", "fine"):
        with open(os.path.join(t, name), "w") as f:
            f.write(name)
    os.symlink("fine", os.path.join(t, "ln"))
    img = build(t)
    for old, new in ((b"aa", b".."), (b"bbbb", b"b/bb"), (b"cccc", b"c\0cc")):
        rec = lookup(img, old.decode())
        nm = [at for at, sig, n in susp(img, rec) if sig == b"NM"][0]
        img[nm + 5:nm + 5 + len(new)] = new
    px = [at for at, sig, n in susp(img, lookup(img, "ln")) if sig == b"PX"][0]
    img[px:px + 2] = b"XX"
    save("unusable-names.iso", img)

    # Two hundred hard links of one 50 kB file: one copy of the data.
    t = tree("links")
    with open(os.path.join(t, "f0"), "wb") as f:
        f.write(bytes(range(256)) * 200)
    for i in range(1, 200):
        os.link(os.path.join(t, "f0"), os.path.join(t, "f%d" % i))
    save("hard-links-200.iso", build(t))

    # Folders nested 150 deep.
    t = tree("deep")
    os.makedirs(os.path.join(t, *["x"] * 150))
    save("folders-150-deep.iso", build(t))
sys.exit(0)
