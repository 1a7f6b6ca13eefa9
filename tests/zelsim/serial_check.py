"""A serial program as users write them, on a terminal whose far end loops back what is sent.

It changes speed, frame and time-outs with the serial module, writes, and reads back what it
wrote; it prints one line per step ("step <name>") so that the caller can match zelsim's reports
against the steps, and "ok" at the end. Any difference ends it with exit code 1.

usage: serial_check.py TERMINAL
"""

import sys
import time

import serial


def fail(what):
    print("FAILED: " + what, flush=True)
    sys.exit(1)


def step(name):
    print("step " + name, flush=True)
    # zelsim looks at the terminal's settings every few milliseconds; give it the time.
    time.sleep(0.3)


def echo(port, data, what):
    """Writes data and reads it back, a piece at a time: a piece of 32 bytes fits the UART's
    FIFO however late a busy host serves the interrupt, so nothing is lost to an overrun."""
    port.reset_input_buffer()
    for at in range(0, len(data), 32):
        piece = data[at:at + 32]
        port.write(piece)
        got = port.read(len(piece))
        if got != piece:
            fail("%s: wrote %r at %d, read back %r" % (what, piece, at, got))


def main():
    port = serial.Serial(sys.argv[1], baudrate=9600, timeout=5)
    everything = bytes(range(256))

    # Speed and stop bits: what a pseudo-terminal carries.
    frames = [
        (57600, serial.STOPBITS_ONE, "57600 8N1"),
        (19200, serial.STOPBITS_TWO, "19200 8N2"),
        (115200, serial.STOPBITS_ONE, "115200 8N1"),
    ]
    for baud, stop, name in frames:
        port.baudrate = baud
        port.stopbits = stop
        step(name)
        echo(port, everything, name)

    # Parity: the pty driver drops PARENB, and the C library reports that as an error after
    # the rest was applied. PARODD and CMSPAR stay, and zelsim follows them.
    import termios
    for parity, name in [(serial.PARITY_ODD, "115200 8O1"), (serial.PARITY_MARK, "115200 8M1"),
                         (serial.PARITY_SPACE, "115200 8S1")]:
        try:
            port.parity = parity
        except (serial.SerialException, termios.error):
            pass
        step(name)
        echo(port, everything, name)
    port.parity = serial.PARITY_NONE
    step("115200 8N1")

    # Hardware hand-shake on a loopback plug: RTS comes back as CTS.
    port.baudrate = 57600
    port.rtscts = True
    step("57600 8N1 rtscts")
    echo(port, everything * 4, "rtscts")
    port.rtscts = False
    step("57600 8N1")

    # Time-outs: nothing comes back, so a read waits for its whole time-out ...
    port.timeout = 0.4
    start = time.monotonic()
    got = port.read(10)
    waited = time.monotonic() - start
    if got != b"" or waited < 0.35:
        fail("read with a 0.4 s time-out returned %r after %.2f s" % (got, waited))
    # ... and a read with data there returns as soon as it has what it asked for.
    port.timeout = 10
    port.write(b"short")
    start = time.monotonic()
    got = port.read(5)
    waited = time.monotonic() - start
    if got != b"short" or waited > 5:
        fail("a read of what was there: %r after %.2f s" % (got, waited))
    # A non-blocking read returns at once with what is there.
    port.timeout = 0
    if port.read(10) != b"":
        fail("a non-blocking read found data")
    port.timeout = 5

    # A speed the port cannot make: the terminal gets the speed in force back.
    port.baudrate = 1500000
    step("1500000 refused")
    speed = termios.tcgetattr(port.fd)[4]
    if speed != termios.B57600:
        fail("after a refused speed the terminal says %d" % speed)
    port.baudrate = 57600
    echo(port, b"still works", "after the refusal")

    port.close()
    print("ok", flush=True)


if __name__ == "__main__":
    main()
