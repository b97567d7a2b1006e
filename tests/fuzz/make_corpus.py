#!/usr/bin/env python3
"""Writes the hand-made inputs of the fuzz corpus into OUT/catalogue: stored
burn configurations made to break a reader, and valid ones to start from.
The disc images of OUT/disc are made by make_discs.py. The tests read the
same files, so every crafted input is both a test case and a fuzzing seed.

    make_corpus.py OUT"""

import os
import plistlib
import struct
import sys

out = os.path.join(sys.argv[1], "catalogue")
os.makedirs(out, exist_ok=True)


def write(name, data):
    with open(os.path.join(out, name), "wb") as f:
        f.write(data)


def binary_plist(objects, top=0):
    """objects: encoded objects whose references are one byte wide."""
    body = b"bplist00"
    offsets = []
    for o in objects:
        offsets.append(len(body))
        body += o
    table = len(body)
    for off in offsets:
        body += struct.pack(">I", off)
    body += b"\0" * 6 + bytes([4, 1]) + struct.pack(">QQQ", len(objects), top, table)
    return body


def ascii_string(s):
    if len(s) < 15:
        return bytes([0x50 | len(s)]) + s
    return b"\x5f\x12" + struct.pack(">I", len(s)) + s


def array_of_refs(refs):
    if len(refs) < 15:
        return bytes([0xA0 | len(refs)]) + bytes(refs)
    return b"\xaf\x12" + struct.pack(">I", len(refs)) + bytes(refs)


# Valid configurations: what this program writes, and the binary form.
sources = [
    {"aPath": "/home/u/Documents", "aPathComponent": "Documents", "isPermanent": "0", "sizeInMB": 12.5},
    {"aPath": "/home/u/caf\ufffd", "aPathBytes": b"/home/u/caf\xe9", "aPathComponent": "caf\ufffd",
     "aPathComponentBytes": b"caf\xe9", "isPermanent": "0", "sizeInMB": 0.25},
    {"aPath": "/srv/R&D <1> ]]>", "aPathComponent": "R&D <1> ]]>", "isPermanent": "0", "sizeInMB": 0.0},
]
write("valid.xml", plistlib.dumps(sources, fmt=plistlib.FMT_XML))
write("valid.bplist", plistlib.dumps(sources, fmt=plistlib.FMT_BINARY))
write("empty.xml", plistlib.dumps([], fmt=plistlib.FMT_XML))

deep = 100000
head = b'<?xml version="1.0" encoding="UTF-8"?>\n'

# Closing tags hidden in the document type's internal subset (in a comment
# and in an entity's value), then nesting far deeper than a list can be.
write("doctype-hides-closing-tags.xml",
      head + b"<!DOCTYPE plist [\n<!-- " + b"</array>" * deep + b" -->\n<!ENTITY e \"" + b"</array>" * deep +
      b"\">\n]>\n<plist version=\"1.0\">" + b"<array>" * deep + b"</plist>\n")
# The same hidden in a quoted "?>" of the XML declaration.
write("declaration-quoted-end.xml",
      b'<?xml version="1.0" standalone="?>' + b"</array>" * deep + b'"?>\n<plist version="1.0">' + b"<array>" * deep +
      b"</plist>\n")
# A NUL byte inside <string>.
write("nul-in-string.xml",
      b'<?xml version="1.0"?><plist><array><dict><key>aPath</key><string>/a\0b</string></dict></array></plist>')

# A list naming one dictionary with a 100 kB path 10,000 and 300,000 times.
big_dict = [array_of_refs([]), b"\xd1\x02\x03", ascii_string(b"aPath"), ascii_string(b"/" + b"a" * 100000)]
for times in (10000, 300000):
    objects = list(big_dict)
    objects[0] = array_of_refs([1] * times)
    write("shared-dict-%d.bplist" % times, binary_plist(objects))

# A list that holds itself, and one nested a thousand levels deep.
write("self-reference.bplist", binary_plist([array_of_refs([0, 0])]))
levels = 1000
body = b"bplist00"
offsets = []
for i in range(levels):
    offsets.append(len(body))
    body += b"\xa1" + struct.pack(">H", i + 1)
offsets.append(len(body))
body += b"\xa0"
table = len(body)
for off in offsets:
    body += struct.pack(">I", off)
body += b"\0" * 6 + bytes([4, 2]) + struct.pack(">QQQ", levels + 1, 0, table)
write("deep.bplist", body)

# A trailer whose offset table points past the end.
write("bad-trailer.bplist", b"bplist00\xa0" + b"\0" * 6 + bytes([8, 8]) + struct.pack(">QQQ", 1 << 60, 0, 9))
sys.exit(0)
