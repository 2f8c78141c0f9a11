#!/usr/bin/env python3
"""Writes the seed corpus of the reply-path fuzzer in the harness's script format
(see replyharness.h). Run it after a change of that format; crash inputs kept as
regression cases (regress-*) are not touched."""
import pathlib

STX, CR = b"\x02", b"\r"
NO_FAULT = STX + b"0 0 0 0 0 0 0 0 0" + CR
COMMANDS = ["FREV", "FLT", "MON", "VP0805", "VP0000", "CP1100", "CP0000", "ENBL1", "ENBL0", "CLR"]
READ_AFTER_TIMEOUT, BINARY, HANG_UP, TAKE_ALL, NO_REPLY, STRAYS = 1, 2, 4, 8, 16, 32


def delay(ms):
    """The delay byte for ms: 0..223, or 3685..3716 around the end of a wait."""
    if ms < 224:
        return ms
    assert 3685 <= ms <= 3716, ms
    return ms - 3685 + 224


def settings(text=b"9600,N,8,1", utf8=False):
    return bytes([len(text), 1 if utf8 else 0]) + text


def exchange(command, reply=None, pieces=((3, None),), flags=0, hang_after=None, strays=()):
    """command: a mnemonic of the table, or ("FLT"|"MON", n) for another reply length.
    reply: exactly n bytes, arriving in pieces of (ms after the previous piece, length);
    None for no reply. strays: (ms after the write, bytes) pairs."""
    out = bytearray()
    if isinstance(command, tuple):
        out.append(10 if command[0] == "FLT" else 11)
        out.append(command[1])
    else:
        out.append(COMMANDS.index(command))
    flags |= (HANG_UP if hang_after is not None else 0) | (STRAYS if strays else 0)
    flags |= NO_REPLY if reply is None else 0
    out.append(flags)
    if hang_after is not None:
        out.append(delay(hang_after - 1))
    if reply is not None:
        out += reply
        out.append(len(pieces) - 1)
        for i, (ms, length) in enumerate(pieces):
            out.append(delay(ms))
            if i + 1 < len(pieces):
                out.append(length)
    if strays:
        out.append(len(strays) - 1)
        for ms, data in strays:
            out += bytes([delay(ms), len(data)]) + data
    return bytes(out)


def script(exchanges, setting=None):
    return (setting or settings()) + bytes([len(exchanges) - 1]) + b"".join(exchanges)


MON = STX + b"0805,1100,0250,0000" + CR
VERSION = STX + b"2000" + CR
SEEDS = {
    "flt-good": script([exchange("FLT", NO_FAULT)]),
    "flt-fault": script([exchange("FLT", STX + b"0 0 0 1 0 0 0 0 0" + CR)]),
    "mon": script([exchange("MON", MON)]),
    # Too short for the wait; read anyway, as an operator command would.
    "mon-short": script([exchange("MON", flags=READ_AFTER_TIMEOUT, strays=[(3, STX + b"0805,1100")])]),
    "mon-short-length": script([exchange(("MON", 11), STX + b"0805,1100\r")]),
    "mon-nul-8bit": script([exchange("MON", STX + b"0\x0005\xb511\xff0,02\x805" + b"0,000\r",
                                     [(1, 3), (1, 3), (7, None)])]),
    "poll-tick": script([exchange("FLT", NO_FAULT, [(2, 7), (2, None)]), exchange("MON", MON, [(5, None)])]),
    "reply-at-last-check": script([exchange("FLT", NO_FAULT, [(3700, None)])]),
    "reply-in-last-sleep": script([exchange("FLT", NO_FAULT, [(3701, None)])]),
    # Two stale characters spoil the count: the FLT wait times out, then MON and
    # FREV go on with what is left.
    "stale-leftover": script([exchange("FLT", NO_FAULT, flags=READ_AFTER_TIMEOUT, strays=[(0, b"\r\r")]),
                              exchange("MON", MON), exchange("FREV", VERSION)]),
    "late-reply": script([exchange("FLT", NO_FAULT, [(3702, None)]), exchange("MON", MON)]),
    "hang-up": script([exchange("FLT", NO_FAULT), exchange("MON", MON, [(30, None)], hang_after=10)]),
    "operator-commands": script([exchange("VP0805", STX + b"VP0805" + CR),
                                 exchange("ENBL1", STX + b"ENBL1" + CR, flags=BINARY),
                                 exchange("CLR", STX + b"CLR" + CR, flags=TAKE_ALL | READ_AFTER_TIMEOUT,
                                          strays=[(3, b"xx")])]),
    "settings-even-7-2": script([exchange("FREV", VERSION)], settings(b"115200,e,7,2")),
    "settings-spaces-1.5": script([exchange("FREV", VERSION)], settings(b" 19200 , O , 5 , 1.5 ")),
    "settings-bad-data-bits": script([exchange("FREV", VERSION)], settings(b"9600,N,9,1")),
    "settings-signed-baud": script([exchange("FREV", VERSION)], settings(b"+9600,N,8,1")),
    "settings-utf8": script([exchange("FREV", VERSION)], settings("9600,\u00df,8,1".encode(), utf8=True)),
    "settings-garbage": script([exchange("FREV")], settings(b"\xff\x00,,,")),
}

corpus = pathlib.Path(__file__).resolve().parent / "corpus"
corpus.mkdir(exist_ok=True)
for name, data in SEEDS.items():
    (corpus / name).write_bytes(data)
