"""Writes the seed corpus of fuzz_core into a directory: sealed CSV files in the shipped format
(base64 of the CSV bytes, PKCS#7 fill, AES-128-CBC with the fixed key and IV), and the same
texts as plaintext for the modes that encrypt them first.

    python make_seeds.py DIR

Each seed starts with the byte that tells fuzz_core.cpp what the rest is (see there).
"""
import base64
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from testsupport.sealing import IV, KEY, pkcs7, seal  # noqa: E402

RAW, PLAIN, BOUNDARY, KEYED = 0, 1, 2, 3
PKCS7 = 4


def flags(mode, fill=False, filler=0, fail_at=0):
    return bytes([mode | (PKCS7 if fill else 0) | filler << 3 | fail_at << 5])


CSVS = [
    b"",
    b"id\n",
    b"id,value\n1,0.5\n2,-1.25\n3,\n",
    b"date,asset,close\n2020-01-02,A,101.5\n2020-01-02,B,99.75\n2020-01-03,A,102\n",
    b'id,name\n1,"quoted, with comma"\n2,"line\nbreak"\n3,\xc3\xa9t\xc3\xa9\n',
    b"".join(b"%d,%d.%02d,%d\n" % (i, i * 7 % 100, i % 100, i % 3) for i in range(120)),
]

# Texts that sit on the decoder's edges: pads, text after them, incomplete quanta.
TEXTS = [
    b"QQ==", b"QUI=", b"QUJD", b"QQ==QQ==", b"QUI=QUJD", b"QQ=x=", b"QQ= ,=tail", b"Q===",
    b"QUJDR", b"QUI=Q", b"QU\nJD\r\n", b"Q-U_J.D", b"QUJD====QUJD",
]


def seeds():
    for i, csv in enumerate(CSVS):
        text = base64.b64encode(csv)
        yield "sealed-%02d" % i, flags(RAW) + seal(csv)
        yield "sealed-lines-%02d" % i, flags(RAW) + seal(csv, line_length=76)
        yield "sealed-keyed-%02d" % i, flags(KEYED) + KEY + IV + seal(csv)
        yield "sealed-failing-read-%02d" % i, flags(RAW, fail_at=1 + i % 3) + seal(csv)
        yield "plain-%02d" % i, flags(PLAIN) + pkcs7(text)
        yield "plain-unfilled-%02d" % i, flags(PLAIN, fill=True) + text
        for filler in range(4):
            yield ("boundary-%d-%02d" % (filler, i),
                   flags(BOUNDARY, fill=True, filler=filler) + bytes([(7 * i + filler) % 64]) + text)
    for i, text in enumerate(TEXTS):
        yield "text-%02d" % i, flags(PLAIN, fill=True) + text
        yield "text-boundary-%02d" % i, flags(BOUNDARY, fill=True) + bytes([i % 5]) + text


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: make_seeds.py DIR")
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    n = 0
    for name, data in seeds():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)
        n += 1
    print("%d seeds in %s" % (n, out))


if __name__ == "__main__":
    main()
