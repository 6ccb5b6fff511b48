#!/usr/bin/env python3
"""Writes the hand-made seeds of the fuzz corpus.

Each entry seed is one channel scenario in the entry fuzzer's input layout
(see entry_fuzzer.cpp, run()): exchange size selector, fill byte, 20 bytes
of channel name, 12 of password, fill byte, exit data (mode, log name
index, raw bytes where the mode leaves room), then one opcode per call.
Arithmetic seeds are plain messages; their first bytes steer the cuts.
Run from anywhere; it rewrites fuzz/corpus/{entry,arithmetic}/seed-*.
"""
import os

HERE = os.path.dirname(os.path.abspath(__file__))

# Opcodes (op % 12) of the entry fuzzer.
INIT, TERM, INVITE, MESSAGE, STATUS, CHALLENGE, ANSWER, REASON, STATE, EXIT_DATA, EXCHANGE, NULLS = range(12)
SIZE_256, SIZE_16, SIZE_32, SIZE_0, SIZE_NEGATIVE = 14, 4, 6, 0, 16
DIR_LENGTH = len("/tmp/tvfzXXXXXX")
NAMES = [0, DIR_LENGTH + 2, DIR_LENGTH + 6, DIR_LENGTH + 4, DIR_LENGTH + 8, 32]  # lengths


def field(text, width):
    return (text + b" " * width)[:width]


def exit_data(name_index, trace=False):
    """Exit data naming log file `name_index`; trailing room filled with blanks."""
    if name_index == 0:
        return bytes([0, 0])  # all blanks, nothing more read
    if trace:
        used = NAMES[name_index] + len(" TRACEON")
        return bytes([1, name_index]) + b" " * (32 - used)
    return bytes([3, name_index])  # the name, then blanks to the end


def header(size=SIZE_256, name=b"TO.PARTNER", password=b"SECRET", log=0, trace=False):
    return bytes([size, 0]) + field(name, 20) + field(password, 12) + b"\x41" + exit_data(log, trace)


CHALLENGE_BYTES = bytes(range(0x10, 0x20))
HANDSHAKE = bytes([INIT, INVITE, CHALLENGE]) + CHALLENGE_BYTES + bytes([STATUS, 0])


def status(code):
    return bytes([STATUS | 0x80, code])


ENTRY = {
    "signon": header() + HANDSHAKE + bytes([ANSWER, TERM]),
    "signon-traced-logged": header(log=1, trace=True) + HANDSHAKE + bytes([ANSWER, TERM]),
    "signon-lower-case-challenge": header(log=2) + bytes([INIT, CHALLENGE | 0x10]) + CHALLENGE_BYTES
    + bytes([STATUS, 0, ANSWER, TERM]),
    "signon-long-challenge": header() + bytes([INIT, CHALLENGE | 0xC0]) + CHALLENGE_BYTES
    + bytes([STATUS, 0, ANSWER, TERM]),
    "wrong-answer": header(log=1, trace=True) + HANDSHAKE + bytes([ANSWER | 0x80, 3, 1, TERM]),
    "short-answer": header() + HANDSHAKE + bytes([ANSWER | 0x40, TERM]),
    "password-violation": header(log=2) + bytes([INIT, CHALLENGE]) + CHALLENGE_BYTES + status(7) + bytes([TERM]),
    "sender-not-started": header() + bytes([INIT, CHALLENGE]) + CHALLENGE_BYTES + status(9) + bytes([TERM]),
    "not-registered": header() + bytes([INIT, CHALLENGE]) + CHALLENGE_BYTES + status(10) + bytes([TERM]),
    "revoked-late": header() + bytes([INIT, CHALLENGE]) + CHALLENGE_BYTES + status(8) + bytes([TERM]),
    "revoked-at-start": header(log=1) + bytes([INIT]) + status(8) + bytes([TERM]),
    "unknown-status-at-start": header() + bytes([INIT]) + status(5) + bytes([TERM]),
    "short-challenge": header() + bytes([INIT, MESSAGE, 31]) + b"A" * 31 + bytes([TERM]),
    "small-exchange": header(size=SIZE_16) + bytes([INIT, CHALLENGE]) + CHALLENGE_BYTES + bytes([TERM]),
    "exact-exchange": header(size=SIZE_32) + HANDSHAKE + bytes([ANSWER, TERM]),
    "no-exchange": header(size=SIZE_0) + bytes([INIT]) + status(6) + bytes([TERM]),
    "negative-exchange": header(size=SIZE_NEGATIVE) + bytes([INIT, CHALLENGE]) + CHALLENGE_BYTES + bytes([TERM]),
    "huge-data-length": header() + bytes([INIT, MESSAGE | 0x80, 32]) + b"0" * 32 + b"\xff\xff\xff\x7f" + bytes([TERM]),
    "verify-bad-length": header() + HANDSHAKE + bytes([MESSAGE, 33]) + b"0" * 33 + bytes([TERM]),
    "invalid-reason": header(log=1) + bytes([INIT, REASON]) + (99).to_bytes(4, "little") + bytes([TERM]),
    "negative-reason": header() + bytes([INIT, REASON]) + (-1).to_bytes(4, "little", signed=True) + bytes([TERM]),
    "forged-state": header() + bytes([INIT, STATE | 0x80, 7, MESSAGE, 1, 6, TERM]),
    "forged-verify": header() + bytes([INIT, STATE, 2, ANSWER, TERM]),
    "null-pointers-init": header() + bytes([NULLS, 0x3F, INIT, INIT, TERM]),
    "null-exit-buffer-signon": header() + bytes([INIT, CHALLENGE]) + CHALLENGE_BYTES
    + bytes([NULLS, 0x20, STATUS, 0, TERM]),
    "null-channel": header() + bytes([INIT, NULLS, 0x01, CHALLENGE]) + CHALLENGE_BYTES + bytes([TERM]),
    "double-init": header() + bytes([INIT, INIT, TERM, TERM]),
    "swapped-exchange": header() + bytes([INIT, EXCHANGE, SIZE_32, 0, CHALLENGE]) + CHALLENGE_BYTES
    + bytes([EXCHANGE, SIZE_0, 0, STATUS, 0, TERM]),
    "unopenable-log": header(log=3) + HANDSHAKE + bytes([ANSWER, TERM]),
    "missing-log-directory": header(log=4, trace=True) + HANDSHAKE + bytes([ANSWER, TERM]),
    "full-width-log-path": header(log=5) + HANDSHAKE + bytes([ANSWER, TERM]),
    "trace-then-init": header(log=1, trace=True) + bytes([INIT, INVITE, EXIT_DATA, 0, 0, INIT, TERM]),
    "zero-in-exit-data": header() + bytes([EXIT_DATA, 2, 1]) + b"X" * (32 - NAMES[1] - 1)
    + bytes([INIT, TERM]),
    "empty": b"",
}

ARITHMETIC = {
    "empty": b"",
    "abc": b"abc",
    "block-minus-one": bytes([3, 0, 20, 0, 40]) + b"x" * 50,
    "one-block": bytes(range(64)),
    "two-blocks-cut": bytes([7]) + bytes(range(1, 128)),
    "hex-challenge": bytes([6]) + b"SECRET      " + bytes([0x5A]) + b"0123456789ABCDEFfedcba9876543210",
    "long": bytes((i * 7) & 0xFF for i in range(1000)),
}


def write(kind, seeds):
    directory = os.path.join(HERE, "corpus", kind)
    os.makedirs(directory, exist_ok=True)
    for name in os.listdir(directory):
        if name.startswith("seed-"):
            os.remove(os.path.join(directory, name))
    for name, data in seeds.items():
        with open(os.path.join(directory, "seed-" + name), "wb") as f:
            f.write(data)


write("entry", ENTRY)
write("arithmetic", ARITHMETIC)
