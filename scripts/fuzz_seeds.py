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
# Version-2 records around two valid P-256 points: a server hello with one and with two shares, and the
# client's finish for each.
point_a = ("04a56fa807caaa53a4d28dbb9853b9815c61a411118a6fe516a8798434751470f9010153ac33d0d5f2047ffdb1a3e42c9b4e6be6"
           "62766e1eeb4116988ede5f912c")
point_b = ("0406557e482bd03097ad0cbaa5df82115460d951e3451962f1eaf4367a420676d09857ccbc522686c83d1852abfa8ed6e4a1155c"
           "f8f1543ceca528afb591a1e0b7")
v2_head = "504c443102" + "03" + "11" * 16 + "00030d40"
v2_name = "00000005" + b"Ekran".hex()
seed("spake2_records_fuzz", [v2_head + "01" + point_b + v2_name, v2_head + "02" + point_b + point_a + v2_name,
                             point_a + "22" * 32, point_a + "22" * 32 + "33" * 32])
# Real Opus packets: SILK mono 20 ms, hybrid stereo 20 ms, CELT 2.5 ms, 10 ms and 20 ms, plus a bare TOC.
seed("opus_decode_fuzz", [
    "08ab27e2fb8f4aef6ac24c8c62df235a",
    "48a3d2d9655ede917d71967f8167de661d679226b896ee639bfa25c8c06aee4e80d73edbea1f33932820c95c38",
    "80781b89e8a6c56002",
    "70a52d8132225b1c0839c607f1f856d31271bdb09f288d58b5b73092251740",
    "7c88027a8abeb5db9c5f679e857359edc3906a5244864ada19b02a0810d2d2d8873686b0e2adc6f4f3fd37cfc23d43a68cd04bf2c8"
    "d02abd7d8b6f2d7ba9e4e985ed48ff6ef8a6c1d6feef0ad9009a",
    "fc",
])
relay = vectors["relay"]
seed("relay_head_fuzz", [h["head"].encode().hex() for h in relay["parseHead"]] +
     [e["body"].encode().hex() for e in relay["errorCode"]])
seed("relay_control_fuzz", [c["line"].encode().hex() for c in relay["controlParse"]])
seed("relay_request_fuzz", [r["bytes"].encode().hex() for r in relay["upgradeRequests"]] + [
    b"POST /v1/register HTTP/1.1\r\nHost: x\r\n\r\n".hex(),
    b"GET /v1/health HTTP/1.1\r\nHost: x\r\n\r\n".hex(),
    b"GET /v1/host HTTP/1.1\r\nUpgrade: pellora-relay/1\r\nX-Pellora-Id: 1\r\nX-Pellora-Secret: 2\r\n\r\n".hex(),
])
seed("relay_address_fuzz", [t.hex() for t in [
    b"PROXY TCP4 192.0.2.7 10.0.0.1 40000 8270\r\n", b"PROXY TCP6 2001:db8::7 2001:db8::1 40000 8270\r\n",
    b"PROXY UNKNOWN\r\n", b"10.0.0.0/8, 2001:db8::/32", b"::ffff:192.0.2.0/120", b"[::1]:8271",
]])
