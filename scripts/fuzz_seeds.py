#!/usr/bin/env python3
"""Writes seed inputs for the fuzz targets from the wire test vectors: one file per vector."""
import hashlib
import json
import os
import sys

vectors = json.load(open(sys.argv[1]))
out = sys.argv[2]


def seed(target, hexes):
    folder = os.path.join(out, target)
    os.makedirs(folder, exist_ok=True)
    for h in hexes:
        data = bytes.fromhex(h)
        with open(os.path.join(folder, "seed-" + hashlib.sha1(data).hexdigest()[:16]), "wb") as f:
            f.write(data)


seed("message_decode_fuzz",
     [m["hex"] for m in vectors["messages"]] + [m["input"] for m in vectors["positiveDecode"]] +
     [n["input"] for n in vectors["negative"] if n["kind"] == "message"])
hs = vectors["handshake"]
seed("hello_decode_fuzz", [hs["clientHello"], hs["serverHello"]] +
     [n["input"] for n in vectors["negative"] if n["kind"] == "hello"])
