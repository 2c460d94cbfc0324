#!/usr/bin/env python3
"""Writes the fuzz targets' seed corpora, in the layouts the targets read:
fuzz/corpus/calls, short call sequences that reach each export, each kind of
device id, null pointers and every failing step of the open
(fuzz_calls.cpp); fuzz/corpus/decoder, streams of good, damaged and bad
bytes fed whole, in pieces and with pauses (fuzz_decoder.cpp);
fuzz/corpus/outputs, output lists and command lines (fuzz_outputs.cpp)."""
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


def calls_seeds():
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


RAW, COMMAND, DAMAGED, FEED_PART, FEED_ALL, PAUSE = 0, 1, 3, 4, 5, 6


def command(levels, start, data):
    """A well-formed command: bit 0 picks levels, bits 1-3 the bank."""
    return bytes([COMMAND, (1 if levels else 0) | (start // 32) << 1]) + bytes(data)


def decoder_seeds():
    ramp = list(range(0, 256, 8))
    states = [1, 0] * 16
    three = command(False, 0, states) + command(True, 224, ramp) + command(False, 96, [1] * 32)
    yield "commands", three + bytes([FEED_ALL])
    yield "in-pieces", three + bytes([FEED_PART, 7, FEED_PART, 30, PAUSE, FEED_PART, 1, FEED_PART, 40])
    yield "pause-after-each", b"".join(command(n % 2 == 1, 32 * n, ramp) + bytes([PAUSE]) for n in range(8))
    # A byte lost, then one changed, between good commands.
    yield "damaged", (command(True, 0, ramp) + bytes([DAMAGED, 1] + ramp + [5, 1])
                      + bytes([DAMAGED, 0] + states + [1, 0, 9]) + command(False, 64, states) + bytes([FEED_ALL]))
    yield "garbage-first", bytes([RAW, 63] + list(range(64))) + three + bytes([PAUSE])
    # Level data that holds a header of its own.
    yield "header-in-levels", command(True, 32, [0x00, 0x03, 0x00, 0x20] * 8) + command(False, 0, states)
    yield "ends-inside", three + bytes([RAW, 9, 0x00, 0x02, 0x20, 0x20, 1, 1, 1, 1, 1, 1])


def outputs_seeds():
    lists = [["0", "4-7", "31"], ["0,4-7,31"], ["all"], ["none"], ["0x1f", "0X0-0xA"], ["", "3"], ["all", "none"]]
    for number, words in enumerate(lists):
        yield f"list-{number}", b"\x00" + b"\x00".join(w.encode() for w in words)
    yield "levels-one", b"\x01" + b"128"
    yield "levels-32", b"\x01" + b"\x00".join(str(n * 8).encode() for n in range(32))
    lines = [["set", "3", "0", "4-7"], ["level", "8", "0xff"], ["test", "--delay", "100"], ["check", "--port", "COM3"],
             ["--version"], ["--help"], ["ports", "--udev-rule", "/dev/ttyUSB0"], ["--library", "x.so", "devices"]]
    for number, words in enumerate(lines):
        yield f"line-{number}", b"\x02" + b"\x00".join(w.encode() for w in words)


def main():
    corpus = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")
    for target, seeds in [("calls", calls_seeds), ("decoder", decoder_seeds), ("outputs", outputs_seeds)]:
        os.makedirs(os.path.join(corpus, target), exist_ok=True)
        for name, data in seeds():
            with open(os.path.join(corpus, target, name), "wb") as seed:
                seed.write(data)


if __name__ == "__main__":
    main()
