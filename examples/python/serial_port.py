#!/usr/bin/env python3
"""One Portula control on a serial port: sends the sample's test frame and prints what
comes back.

    python3 serial_port.py PORT [--settings 9600,n,8,1] [--wait SECONDS]

PORT is the platform's port number (the per-user port map says which device it is, see
docs/platform.md). Exits 0 when an answer arrived within --wait seconds.
"""
import argparse
import sys

import corvane
from frames import render, test_frame


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("port", type=int)
    parser.add_argument("--settings", default="9600,n,8,1")
    parser.add_argument("--wait", type=float, default=5.0)
    args = parser.parse_args()

    received = []
    with corvane.Dispatch("Corvane.Portula") as port:
        port.CommPort = args.port
        port.Settings = args.settings
        port.InputMode = 1  # binary: Input2 gives bytes
        port.RThreshold = 1
        port.events.OnComm = lambda: received.append(port.Input2) if port.CommEvent == 2 else None
        port.PortOpen = True
        frame = test_frame(1)
        port.Output = frame
        print("sent:    ", render(frame))
        # The answer may come in pieces; wait for as many bytes as were sent.
        if not corvane.run_until(lambda: sum(map(len, received)) >= len(frame), args.wait):
            print(f"no answer within {args.wait} seconds", file=sys.stderr)
            return 1
        print("received:", render(b"".join(received)))
        port.PortOpen = False
    return 0


if __name__ == "__main__":
    sys.exit(main())
