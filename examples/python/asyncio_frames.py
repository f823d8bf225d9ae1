#!/usr/bin/env python3
"""An asyncio program with one Portula control: sends the sample's test frame once a
second and prints whatever arrives, while the control's events run inside asyncio.

    python3 asyncio_frames.py [--count N] [--interval SECONDS]
                              [--remote-host HOST --remote-port PORT] [--local-port PORT]

Without a remote port the control sends to its own local port, so every frame comes back.
Exits 0 after N frames (default: runs until interrupted) when as many frames arrived.
"""
import argparse
import asyncio
import sys

import corvane
import corvane.asyncio
from frames import free_udp_port, render, test_frame


async def run(args):
    local_port = args.local_port or free_udp_port()
    arrived = asyncio.Queue()
    with corvane.asyncio.attach(), corvane.Dispatch("Corvane.Portula") as port:
        port.UDPUse = True
        port.RemoteHost = args.remote_host
        port.RemotePort = args.remote_port or local_port
        port.LocalPort = local_port
        port.RThreshold = 1
        port.events.OnComm = lambda: arrived.put_nowait(port.Input2)
        port.PortOpen = True

        received = 0

        async def printer():
            nonlocal received
            while True:
                data = await arrived.get()
                received += 1
                print("received:", render(data), flush=True)

        printing = asyncio.create_task(printer())
        n = 0
        while args.count is None or n < args.count:
            n += 1
            port.Output = test_frame(n)
            print("sent:    ", render(test_frame(n)), flush=True)
            await asyncio.sleep(args.interval)
        # The last frame may still be on its way.
        for _ in range(100):
            if received >= n:
                break
            await asyncio.sleep(0.02)
        printing.cancel()
        return received == n


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--count", type=int)
    parser.add_argument("--interval", type=float, default=1.0)
    parser.add_argument("--remote-host", default="127.0.0.1")
    parser.add_argument("--remote-port", type=int)
    parser.add_argument("--local-port", type=int)
    args = parser.parse_args()
    try:
        all_arrived = asyncio.run(run(args))
    except KeyboardInterrupt:
        return 0
    if not all_arrived:
        print("not every frame arrived", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
