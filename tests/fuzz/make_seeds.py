#!/usr/bin/env python3
"""Writes the seed corpus of the reply-path fuzzer in the harness's script format
(see replyharness.h). Run it after a change of that format; crash inputs kept as
regression cases (regress-*) are not touched."""
import pathlib

STX, CR = b"\x02", b"\r"
NO_FAULT = STX + b"0 0 0 0 0 0 0 0 0" + CR
COMMANDS = ["FREV", "FLT", "MON", "VP0805", "VP0000", "CP1100", "CP0000", "ENBL1", "ENBL0", "CLR"]
READ_AFTER_TIMEOUT, BINARY, HANG_UP, TAKE_ALL = 1, 2, 4, 8


def settings(text=b"9600,N,8,1", utf8=False):
    return bytes([len(text), 1 if utf8 else 0]) + text


def exchange(command, chunks, flags=0, n=None, hang_after=None):
    """command: a mnemonic of the table, or ("FLT"|"MON", n) for another reply length.
    chunks: (delay after the write in ms, bytes) pairs."""
    out = bytearray()
    if isinstance(command, tuple):
        out.append(10 if command[0] == "FLT" else 11)
        out.append(command[1])
    else:
        out.append(COMMANDS.index(command))
    out.append(flags | (HANG_UP if hang_after is not None else 0))
    if hang_after is not None:
        out += (hang_after - 1).to_bytes(2, "big")
    out.append(len(chunks))
    for delay, data in chunks:
        out += delay.to_bytes(2, "big") + bytes([len(data)]) + data
    return bytes(out)


def script(exchanges, setting=None):
    return (setting or settings()) + bytes([len(exchanges) - 1]) + b"".join(exchanges)


MON = STX + b"0805,1100,0250,0000" + CR
SEEDS = {
    "flt-good": script([exchange("FLT", [(3, NO_FAULT)])]),
    "flt-fault": script([exchange("FLT", [(3, STX + b"0 0 0 1 0 0 0 0 0" + CR)])]),
    "mon": script([exchange("MON", [(3, MON)])]),
    # Too short for the wait; read anyway, as an operator command would.
    "mon-short": script([exchange("MON", [(3, STX + b"0805,1100")], READ_AFTER_TIMEOUT)]),
    "mon-short-length": script([exchange(("MON", 11), [(3, STX + b"0805,1100\r")])]),
    "mon-nul-8bit": script([exchange("MON", [(1, STX + b"0\x00"), (2, b"05\xb5"),
                                             (9, b"11\xff0,02\x805" + b"0,000\r")])]),
    "poll-tick": script([exchange("FLT", [(2, NO_FAULT[:7]), (4, NO_FAULT[7:])]),
                         exchange("MON", [(5, MON)])]),
    # Two stale characters spoil the count: the FLT wait times out, then MON and
    # FREV go on with what is left.
    "stale-leftover": script([exchange("FLT", [(0, b"\r\r"), (3, NO_FAULT)], READ_AFTER_TIMEOUT),
                              exchange("MON", [(3, MON)]), exchange("FREV", [(3, STX + b"2000" + CR)])]),
    "late-reply": script([exchange("FLT", [(3702, NO_FAULT)]), exchange("MON", [(3, MON)])]),
    "hang-up": script([exchange("FLT", [(3, NO_FAULT)]), exchange("MON", [(30, MON)], hang_after=10)]),
    "operator-commands": script([exchange("VP0805", [(3, STX + b"VP0805" + CR)]),
                                 exchange("ENBL1", [(3, STX + b"ENBL1" + CR)], BINARY),
                                 exchange("CLR", [(3, STX + b"CLR" + CR + b"xx")], TAKE_ALL | READ_AFTER_TIMEOUT)]),
    "settings-even-7-2": script([exchange("FREV", [(3, STX + b"2000" + CR)])],
                                settings(b"115200,e,7,2")),
    "settings-spaces-1.5": script([exchange("FREV", [(3, STX + b"2000" + CR)])],
                                  settings(b" 19200 , O , 5 , 1.5 ")),
    "settings-bad-data-bits": script([exchange("FREV", [(3, STX + b"2000" + CR)])],
                                     settings(b"9600,N,9,1")),
    "settings-signed-baud": script([exchange("FREV", [(3, STX + b"2000" + CR)])],
                                   settings(b"+9600,N,8,1")),
    "settings-utf8": script([exchange("FREV", [(3, STX + b"2000" + CR)])],
                            settings("9600,\u00df,8,1".encode(), utf8=True)),
    "settings-garbage": script([exchange("FREV", [])], settings(b"\xff\x00,,,")),
}

corpus = pathlib.Path(__file__).resolve().parent / "corpus"
corpus.mkdir(exist_ok=True)
for name, data in SEEDS.items():
    (corpus / name).write_bytes(data)
