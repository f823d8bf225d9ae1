#!/usr/bin/env python3
"""Keeps a serial port open across pulling its USB adapter out and plugging it back in.

    python3 serial_replug.py PORT [--settings 9600,n,8,1] [--for SECONDS]

PORT is the platform's port number; map it to the adapter's stable name first
(`corvane-ports --map PORT /dev/ttyUSB0`), so that the adapter is port PORT again whatever
node it gets when it comes back. Prints what arrives. When the adapter is pulled, the
control closes the port with event 1011; the script then waits, through
corvane.watch_ports(), for the same adapter (as it does when the adapter is not plugged in
at the start) (the same stable name or serial number, or
whatever the port map now makes port PORT) and opens the port again. Runs until Ctrl+C, or
for --for seconds.
"""
import argparse
import sys
import time

import corvane

DATA_ARRIVED = 2  # CommEvent: data in the receive buffer
DEVICE_LOST = 1011  # CommEvent: the device went away and the port was closed
DEVICE_UNAVAILABLE = 68  # error: the port's device is not there


def adapter_of(port_number):
    """The port that port_number opens now, or None when it is not plugged in."""
    return next((p for p in corvane.ports() if p.port_number == port_number), None)


def is_same_adapter(port, known, port_number):
    if port.port_number == port_number:
        return True
    if known is None:
        return False
    if port.stable_name == known.stable_name:
        return True
    return bool(known.serial_number) and port.serial_number == known.serial_number and (
        port.vendor_id, port.product_id) == (known.vendor_id, known.product_id)


def open_port(control, port_number, time_left, attempts=20):
    """Opens the port: True when open, False when its device is not plugged in, None when
    the time is up. A node just back may take udev a moment to set up (its permissions,
    say): that is tried again a few times."""
    for attempt in range(attempts):
        try:
            control.CommPort = port_number
            control.PortOpen = True
            return True
        except corvane.Error as error:
            if error.number == DEVICE_UNAVAILABLE:
                return False
            if attempt == attempts - 1:
                raise
            print(f"not open yet ({error}); trying again", file=sys.stderr)
            left = time_left()
            if left is not None and left <= 0:
                return None
            corvane.run_until(lambda: False, timeout=0.25 if left is None else min(0.25, left))
    return None


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("port", type=int)
    parser.add_argument("--settings", default="9600,n,8,1")
    parser.add_argument("--for", dest="duration", type=float, default=None)
    args = parser.parse_args()
    deadline = None if args.duration is None else time.monotonic() + args.duration

    def time_left():
        return None if deadline is None else max(0.0, deadline - time.monotonic())

    known = adapter_of(args.port)
    if known is not None:
        print(f"port {args.port} is {known.description} at {known.stable_name}")
    state = {"lost": False, "back": None}

    def on_change(change, port):
        if change == "arrived" and is_same_adapter(port, known, args.port):
            state["back"] = port

    def wait_for_the_adapter():
        """True when it is back, False when the time is up."""
        nonlocal known
        # It may have come back before the watch saw it leave.
        back = adapter_of(args.port)
        state["back"] = back if back is not None and is_same_adapter(back, known, args.port) else None
        if state["back"] is None and not corvane.run_until(lambda: state["back"] is not None,
                                                           time_left()):
            return False
        known = state["back"]
        print(f"back as {known.device}; opening port {args.port}", flush=True)
        return True

    with corvane.Dispatch("Corvane.Portula") as control, corvane.watch_ports(on_change):
        def on_comm():
            if control.CommEvent == DATA_ARRIVED:
                data = control.Input2
                print("received:", data.hex(" "), flush=True)
            elif control.CommEvent == DEVICE_LOST:
                state["lost"] = True

        control.Settings = args.settings
        control.InputMode = 1  # binary: Input2 gives bytes
        control.RThreshold = 1
        control.events.OnComm = on_comm
        while True:
            state["lost"], state["back"] = False, None
            opened = open_port(control, args.port, time_left)
            if opened is None:
                return 0  # --for seconds have passed
            if not opened:
                print(f"port {args.port} is not plugged in; waiting for it", flush=True)
                if not wait_for_the_adapter():
                    return 0
                continue
            print(f"port {args.port} open", flush=True)
            if not corvane.run_until(lambda: state["lost"], time_left()):
                return 0
            print("the adapter went away; waiting for it to come back", flush=True)
            if not wait_for_the_adapter():
                return 0


if __name__ == "__main__":
    sys.exit(main())
