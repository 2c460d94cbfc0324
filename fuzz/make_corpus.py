#!/usr/bin/env python3
"""Writes the fuzzer's seed corpus (fuzz/corpus): short call sequences that
reach each export, each kind of device id, null pointers and every failing
step of the open. The layout is the one fuzz_calls.cpp reads."""
import os
import struct

SBA, PBA, NOTIFY, IGNORED, UNLOAD, RELOAD = 0, 3, 6, 7, 8, 9


def device(d):
    # Ids -2..9 take one byte; any other id is spelled out in full.
    return bytes([d + 2]) if -2 <= d <= 9 else b"\xff" + struct.pack("<i", d)


def sba(d, *banks):
    return bytes([SBA]) + device(d) + b"".join(struct.pack("<I", b & 0xFFFFFFFF) for b in banks)


def pba(d, values=None):
    return bytes([PBA]) + device(d) + bytes([0 if values is None else 1]) + bytes(values or [0] * 32)


def notify(null_list=False, null_proc=False, count=3):
    flags = (1 if null_list else 0) | (2 if null_proc else 0)
    return bytes([NOTIFY, flags]) + struct.pack("<i", -5) * 16 + struct.pack("<i", count)


def seeds():
    ramp = list(range(0, 256, 8))
    yield "each-export", b"\x00" + sba(1, 0x12, 0x34, 0x56, 0x78) + pba(8, ramp) + notify() + bytes([IGNORED, 0, IGNORED, 1])
    yield "invalid-ids", b"\x00" + b"".join(sba(d, 0xFF, 0xFF, 0xFF, 0xFF) + pba(d, ramp)
                                            for d in (0, 9, -1, -2, 2**31 - 1, -2**31, 4096 + 3))
    yield "wide-banks", b"\x00" + sba(3, 0x1FF, -1, 0x80000001, 0x100) + sba(9, 1, 2, 3, 4)
    yield "null-pointers", b"\x00" + pba(2, None) + notify(null_list=True) + notify(null_proc=True) + notify(True, True)
    yield "unload-then-calls", b"\x00" + sba(1, 1, 1, 1, 1) + bytes([UNLOAD]) + sba(1, 2, 2, 2, 2) + pba(1, ramp) + notify()
    for step in range(1, 6):
        yield f"open-fails-at-{step}", bytes([step]) + sba(4, 0xF0, 0, 0, 0) + pba(4, ramp) + notify()
    yield "reload", b"\x00" + sba(5, 0xFF, 0, 0, 0) + bytes([RELOAD, 3]) + sba(5, 0, 0, 0, 0) + bytes([RELOAD, 0]) + pba(5, ramp)
    yield "every-device", b"\x00" + b"".join(sba(d, d, d * 3, d * 5, d * 7) + pba(d, [d] * 32) for d in range(1, 9))


def main():
    corpus = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")
    os.makedirs(corpus, exist_ok=True)
    for name, data in seeds():
        with open(os.path.join(corpus, name), "wb") as seed:
            seed.write(data)


if __name__ == "__main__":
    main()
