#!/usr/bin/env python3
"""pyserial's own RFC 2217 client against a trelvaned listening port with the
option rfc2217, whose other port is a pseudo-terminal serial line.

Usage: rfc2217_pyserial.py TRELVANED

For the listening port as the Input and as the Output: the plain URL opens
the port, the line's termios follows the client's baud rate, and every byte
value (0xFF and 0x00 among them) passes exactly both ways. Exit 77 (skipped)
when pyserial is not installed."""

import os
import pty
import select
import socket
import subprocess
import sys
import tempfile
import termios
import time

try:
    import serial
except ImportError:
    print("python3-serial is not installed")
    sys.exit(77)

TIMEOUT = 10.0


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def line_speed(master):
    # The master reports the settings of its slave, the gateway's line.
    return termios.tcgetattr(master)[4]


def read_exactly(fd, count):
    data = b""
    deadline = time.monotonic() + TIMEOUT
    while len(data) < count and time.monotonic() < deadline:
        ready, _, _ = select.select([fd], [], [], 0.2)
        if ready:
            data += os.read(fd, count - len(data))
    return data


def wait_for(predicate, what):
    deadline = time.monotonic() + TIMEOUT
    while time.monotonic() < deadline:
        if predicate():
            return
        time.sleep(0.02)
    raise AssertionError("timed out waiting for " + what)


def run(trelvaned, listen_as_input, work):
    master, slave = pty.openpty()
    slave_path = os.ttyname(slave)
    os.close(slave)
    profile = os.path.join(work, "profile.ini")
    with open(profile, "w") as f:
        f.write("[Serial Ports]\nCOM5=%s\n" % slave_path)
    port = free_port()
    listen = "TCP:%d;rfc2217" % port
    line = "COM5:9600,n,8,1"
    setup_in, setup_out = (listen, line) if listen_as_input else (line, listen)
    out_path = os.path.join(work, "out.txt")
    with open(out_path, "wb") as out:
        daemon = subprocess.Popen(
            [trelvaned, "--profile", profile, "--in", setup_in, "--out", setup_out,
             "--out-startup", "with-input"],
            stdout=out, stderr=subprocess.STDOUT)
    try:
        def output():
            with open(out_path, "rb") as f:
                return f.read().decode("latin-1")
        wait_for(lambda: output().count("Done!") >= 2, "both ports to start:\n" + output())

        ser = serial.serial_for_url("rfc2217://127.0.0.1:%d" % port, baudrate=19200, timeout=TIMEOUT)
        try:
            wait_for(lambda: line_speed(master) == termios.B19200, "19200 baud on the line")
            ser.baudrate = 57600
            wait_for(lambda: line_speed(master) == termios.B57600, "57600 baud on the line")
            wait_for(lambda: "RFC2217 Set,SET-BAUDRATE 57600" in output(), "the change's line:\n" + output())

            payload = bytes(range(256)) * 8 + b"\xff\xff\x00\xff"
            ser.write(payload)
            got = read_exactly(master, len(payload))
            assert got == payload, "client to line: %d of %d bytes, differ" % (len(got), len(payload))

            os.write(master, payload)
            got = ser.read(len(payload))
            assert got == payload, "line to client: %d of %d bytes, differ" % (len(got), len(payload))
        finally:
            ser.close()
        # The setup string's mode applies again once the client has gone.
        if not listen_as_input:
            wait_for(lambda: line_speed(master) == termios.B9600, "9600 baud again after the client left")
    finally:
        daemon.terminate()
        daemon.wait(TIMEOUT)
        os.close(master)


def main():
    trelvaned = sys.argv[1]
    for listen_as_input in (True, False):
        with tempfile.TemporaryDirectory() as work:
            run(trelvaned, listen_as_input, work)
        print("ok: listening port as the %s" % ("Input" if listen_as_input else "Output"))


if __name__ == "__main__":
    main()
