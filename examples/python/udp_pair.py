#!/usr/bin/env python3
"""Two Portula controls exchange the sample's test frame over UDP on 127.0.0.1.

    python3 udp_pair.py [--count N]

The first control sends N numbered frames; the second prints each as it arrives (its
OnComm handler reads Input2) and answers "ACK <n>", which the first prints. Exits 0 when
every frame and every answer arrived unchanged.
"""
import argparse
import sys

import corvane
from frames import frame_text, free_udp_port, render, test_frame


def open_udp(local_port, remote_port):
    control = corvane.Dispatch("Corvane.Portula")
    control.UDPUse = True
    control.RemoteHost = "127.0.0.1"
    control.RemotePort = remote_port
    control.LocalPort = local_port
    control.RThreshold = 1  # OnComm for every datagram that arrives
    control.PortOpen = True
    return control


class Receiver:
    def __init__(self, control):
        self.control = control
        self.frames = []

    def OnComm(self):
        if self.control.CommEvent != 2:  # 2: data arrived
            return
        data = self.control.Input2
        self.frames.append(data)
        print("received:", render(data))
        self.control.Output = f"ACK {len(self.frames)}"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--count", type=int, default=3)
    args = parser.parse_args()

    port_a, port_b = free_udp_port(), free_udp_port()
    with open_udp(port_a, port_b) as sender, open_udp(port_b, port_a) as receiver:
        answers = []
        sender.events.OnComm = lambda: answers.append(sender.Input2)
        peer = corvane.connect(receiver, Receiver(receiver))
        for n in range(1, args.count + 1):
            print("sent:    ", render(test_frame(n)))
            sender.Output = test_frame(n)
            if not corvane.run_until(lambda: len(answers) == n, timeout=5):
                print(f"frame {n}: no answer within 5 seconds", file=sys.stderr)
                return 1
            print("answer:  ", answers[-1])
        expected = [frame_text(n) for n in range(1, args.count + 1)]
        if peer.frames != expected or answers != [f"ACK {n}" for n in range(1, args.count + 1)]:
            print("frames arrived changed", file=sys.stderr)
            return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
