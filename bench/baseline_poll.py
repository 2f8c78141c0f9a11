#!/usr/bin/env python3
"""The generator's status poll as a lab engineer would script it with pyserial.

Every 200 ms: write FLT and wait for its 19 characters, then MON and its 21. Two
ways of waiting: --style loop looks at in_waiting every millisecond; --style read
is the idiomatic read(n) with a 3.7 s time-out, which sleeps in select(). It
measures its own CPU over the polling loop only (not the interpreter's start-up)
and ends with one summary line for bench_poll:

  baseline: polls N timeouts T cpu SECONDS wall SECONDS
"""

import argparse
import resource
import sys
import time

try:
    import serial
except ImportError:
    sys.exit("baseline_poll: python3-serial is not installed (import serial failed)")

FLT = b"\x02FLT\r"
MON = b"\x02MON\r"
PERIOD_S = 0.2
# Same bound as the console's wait, so a silent generator cannot hang the run.
WAIT_LIMIT_S = 3.7


def exchange_read(port, frame, length):
    port.write(frame)
    reply = port.read(length)
    if len(reply) < length:
        port.reset_input_buffer()
        return None
    return reply


def exchange(port, frame, length):
    port.write(frame)
    deadline = time.monotonic() + WAIT_LIMIT_S
    while port.in_waiting < length:
        if time.monotonic() > deadline:
            port.reset_input_buffer()
            return None
        time.sleep(0.001)
    return port.read(length)


def cpu_seconds():
    r = resource.getrusage(resource.RUSAGE_SELF)
    return r.ru_utime + r.ru_stime


def positive(text):
    value = float(text)
    if value <= 0:
        raise argparse.ArgumentTypeError("must be above 0")
    return value


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", required=True, help="the generator's serial device")
    parser.add_argument("--seconds", type=positive, default=60.0, help="how long to poll")
    parser.add_argument("--style", choices=("loop", "read"), default="loop",
                        help="look every millisecond (loop) or block in read(n) (read)")
    args = parser.parse_args()
    wait = exchange_read if args.style == "read" else exchange

    try:
        port = serial.Serial(args.port, 9600, bytesize=8, parity="N", stopbits=1,
                             timeout=WAIT_LIMIT_S)
    except (serial.SerialException, OSError) as e:
        sys.exit("baseline_poll: cannot open %s: %s" % (args.port, e))

    polls = timeouts = 0
    cpu0 = cpu_seconds()
    start = time.monotonic()
    next_tick = start
    with port:
        while time.monotonic() - start < args.seconds:
            if wait(port, FLT, 19) is None:
                timeouts += 1
            if wait(port, MON, 21) is None:
                timeouts += 1
            polls += 1
            # Keep the 200 ms rhythm like a timer does, rather than 200 ms of rest.
            next_tick += PERIOD_S
            pause = next_tick - time.monotonic()
            if pause > 0:
                time.sleep(pause)
    wall = time.monotonic() - start
    cpu = cpu_seconds() - cpu0
    print("baseline: polls %d timeouts %d cpu %.4f wall %.3f" % (polls, timeouts, cpu, wall))
    return 0


if __name__ == "__main__":
    sys.exit(main())
