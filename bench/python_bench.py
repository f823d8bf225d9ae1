#!/usr/bin/env python3
"""The corvane Python module next to plain Python, side by side in one process.

    python3 bench/python_bench.py [--smoke] [--table=FILE]

10. UDP round trip of 16 bytes: two Portula controls driven from Python (A sends, B's
    OnComm reads Input2 and sends it back, A's OnComm reads it; the thread's loop run by
    corvane.pump) against two plain asyncio datagram endpoints doing the same on one
    asyncio loop. Alternating rounds, median of the per-round ratio.
10. Late-bound property access: a get of CommEvent and a put of RThreshold through the
    module (name cached after the first call), with a plain Python attribute beside it for
    information; the target is on the absolute time.

Rows go to stdout and, with --table, are appended to FILE as "ROW|workload|ours|
reference|ratio|target|met", as the C++ benchmarks print them. Needs PYTHONPATH to reach
the corvane package and CORVANE_MODULE_PATH naming the built control library; it
registers the control in a temporary platform home of its own.
"""
import asyncio
import os
import socket
import statistics
import sys
import tempfile
import time

ROUND_TRIP_LIMIT = 1.5     # x plain asyncio
PROPERTY_LIMIT_NS = 1000.0  # per call


def free_udp_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def nanoseconds(seconds):
    ns = seconds * 1e9
    return f"{ns:.0f} ns" if ns < 1000 else f"{ns / 1000:.2f} us"


class ControlPair:
    """A and B over UDP; round_trips(n) times n echoes of one 16-byte frame."""

    def __init__(self, corvane):
        self.corvane = corvane
        a, b = free_udp_port(), free_udp_port()
        self.a, self.b = self._open(a, b), self._open(b, a)
        self.back = 0
        b_control, a_control = self.b, self.a

        def echo():
            b_control.Output = b_control.Input2

        def arrived():
            a_control.Input2
            self.back += 1

        self.b.events.OnComm = echo
        self.a.events.OnComm = arrived
        self.frame = b"\x01\x02\x1f" + b"0123456789" + b"\x03\x04\x05"

    def _open(self, local, remote):
        c = self.corvane.Dispatch("Corvane.Portula")
        c.UDPUse = True
        c.RemoteHost = "127.0.0.1"
        c.RemotePort = remote
        c.LocalPort = local
        c.RThreshold = 1
        c.PortOpen = True
        return c

    def round_trips(self, count):
        pump, a, frame = self.corvane.pump, self.a, self.frame
        start = time.perf_counter()
        for _ in range(count):
            target = self.back + 1
            a.Output = frame
            while self.back < target:
                pump(1.0)
        return time.perf_counter() - start

    def close(self):
        self.corvane.release(self.a)
        self.corvane.release(self.b)


class AsyncioPair:
    """The same echo between two asyncio datagram endpoints on one loop."""

    class Echo(asyncio.DatagramProtocol):
        def connection_made(self, transport):
            self.transport = transport

        def datagram_received(self, data, addr):
            self.transport.sendto(data)

    class Back(asyncio.DatagramProtocol):
        def __init__(self):
            self.waiter = None

        def connection_made(self, transport):
            self.transport = transport

        def datagram_received(self, data, addr):
            if self.waiter and not self.waiter.done():
                self.waiter.set_result(data)

    def __init__(self, loop):
        self.loop = loop
        a, b = free_udp_port(), free_udp_port()
        self.b_transport, _ = loop.run_until_complete(loop.create_datagram_endpoint(
            self.Echo, local_addr=("127.0.0.1", b), remote_addr=("127.0.0.1", a)))
        self.a_transport, self.back = loop.run_until_complete(loop.create_datagram_endpoint(
            self.Back, local_addr=("127.0.0.1", a), remote_addr=("127.0.0.1", b)))
        self.frame = b"\x01\x02\x1f" + b"0123456789" + b"\x03\x04\x05"

    async def _trips(self, count):
        send, back, loop = self.a_transport.sendto, self.back, self.loop
        for _ in range(count):
            back.waiter = loop.create_future()
            send(self.frame)
            await back.waiter

    def round_trips(self, count):
        start = time.perf_counter()
        self.loop.run_until_complete(self._trips(count))
        return time.perf_counter() - start

    def close(self):
        self.a_transport.close()
        self.b_transport.close()


def alternate(sides, count, rounds):
    """Per round, each side's seconds per operation; the order flips every round."""
    for side in sides:  # warm-up
        side(max(1, count // 10))
    times = [[] for _ in sides]
    for r in range(rounds):
        order = range(len(sides)) if r % 2 == 0 else reversed(range(len(sides)))
        for i in order:
            times[i].append(sides[i](count) / count)
    return times


def row(workload, ours, reference, ratio, target, met):
    return f"ROW|{workload}|{ours}|{reference}|{ratio:.2f}|{target}|{met}"


def round_trip_rows(corvane, smoke):
    loop = asyncio.new_event_loop()
    controls, plain = ControlPair(corvane), AsyncioPair(loop)
    try:
        times = alternate([controls.round_trips, plain.round_trips],
                          count=20 if smoke else 2000, rounds=1 if smoke else 9)
    finally:
        controls.close()
        plain.close()
        loop.close()
    ratio = statistics.median(o / r for o, r in zip(*times))
    ours, ref = statistics.median(times[0]), statistics.median(times[1])
    return [row("10. Python host UDP round trip 16 B, median", nanoseconds(ours),
                nanoseconds(ref) + " asyncio", ratio, f"<= {ROUND_TRIP_LIMIT:.2f} x asyncio",
                "yes" if ratio <= ROUND_TRIP_LIMIT else "NO")]


def property_rows(corvane, smoke):
    class Plain:
        CommEvent = 0

    plain = Plain()
    count, rounds = (1000, 1) if smoke else (200_000, 9)
    with corvane.Dispatch("Corvane.Portula") as p:
        p.CommEvent  # binds the name

        def get_control(n):
            start = time.perf_counter()
            for _ in range(n):
                p.CommEvent
            return time.perf_counter() - start

        def put_control(n):
            start = time.perf_counter()
            for _ in range(n):
                p.RThreshold = 1
            return time.perf_counter() - start

        def get_plain(n):
            start = time.perf_counter()
            for _ in range(n):
                plain.CommEvent
            return time.perf_counter() - start

        times = alternate([get_control, put_control, get_plain], count, rounds)
    plain_ns = statistics.median(times[2])
    rows = []
    for name, side in (("get CommEvent", 0), ("put RThreshold", 1)):
        ours = statistics.median(times[side])
        ratio = statistics.median(o / r for o, r in zip(times[side], times[2]))
        rows.append(row(f"10. Python late-bound {name}", nanoseconds(ours),
                        nanoseconds(plain_ns) + " plain attribute", ratio,
                        "< 1 us per call", "yes" if ours * 1e9 < PROPERTY_LIMIT_NS else "NO"))
    return rows


def main(argv):
    smoke = "--smoke" in argv
    table = next((a.split("=", 1)[1] for a in argv if a.startswith("--table=")), None)
    with tempfile.TemporaryDirectory() as home:
        os.environ["CORVANE_PLATFORM_HOME"] = home
        import corvane
        corvane.register(os.environ["CORVANE_MODULE_PATH"])
        rows = round_trip_rows(corvane, smoke) + property_rows(corvane, smoke)
    for line in rows:
        print(line)
    if table:
        with open(table, "a") as out:
            out.writelines(line + "\n" for line in rows)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
