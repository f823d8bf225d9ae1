"""Events: handlers run on the loop thread while the control raises them."""
import contextlib
import socket

import pytest

import corvane
from conftest import free_udp_port, open_udp, run_script

RECEIVED, SENT = 2, 1  # CommEvent codes


def frame(n):
    return b"\x01\x02\x1f" + str(n).encode() + b"\x03\x04"


def text(n):
    return "\x01\x02\x1f" + str(n) + "\x03\x04"


def test_one_event_per_datagram_with_input_read_inside(udp_pair):
    sender, receiver = udp_pair
    seen = []
    receiver.events.OnComm = lambda: seen.append((receiver.CommEvent, receiver.Input2))
    for n in range(1, 6):
        sender.Output = frame(n)
    assert corvane.run_until(lambda: len(seen) >= 5, timeout=5)
    corvane.pump(0.1)
    assert seen == [(RECEIVED, text(n)) for n in range(1, 6)]


def test_a_send_inside_a_handler_raises_a_nested_event(udp_pair):
    sender, receiver = udp_pair
    receiver.SThreshold = 1  # OnComm after each send
    log, replies = [], []

    class Handler:
        def oncomm(self):  # any case binds
            event = receiver.CommEvent
            log.append(("enter", event))
            if event == RECEIVED:
                receiver.Output = "reply to " + receiver.Input2
            log.append(("leave", event))

    corvane.connect(receiver, Handler())
    sender.events.OnComm = lambda: replies.append(sender.Input2)
    sender.Output = "ping"
    assert corvane.run_until(lambda: replies, timeout=5)
    assert log == [("enter", RECEIVED), ("enter", SENT), ("leave", SENT), ("leave", RECEIVED)]
    assert replies == ["reply to ping"]


def test_a_failing_handler_is_reported_and_the_next_event_still_arrives(udp_pair, capfd):
    sender, receiver = udp_pair
    calls = []

    def handler():
        calls.append(receiver.Input2)
        if len(calls) == 1:
            raise ZeroDivisionError("first frame")

    receiver.events.OnComm = handler
    sender.Output = "one"
    assert corvane.run_until(lambda: calls, timeout=5)
    sender.Output = "two"
    assert corvane.run_until(lambda: len(calls) == 2, timeout=5)
    assert calls == ["one", "two"]
    err = capfd.readouterr().err
    assert "exception in the OnComm handler of Portula" in err
    assert "Traceback" in err and "ZeroDivisionError: first frame" in err and "handler" in err


def test_an_interrupt_in_a_handler_reaches_the_loops_caller(udp_pair):
    sender, receiver = udp_pair

    def handler():
        raise KeyboardInterrupt

    receiver.events.OnComm = handler
    sender.Output = "x"
    with pytest.raises(KeyboardInterrupt):
        corvane.run_until(lambda: False, timeout=5)


def test_an_interrupt_in_a_handler_stays_with_its_thread():
    # Another thread reads a member of its own control as fast as it can while the main
    # thread's loop raises two events in one pass: the first handler raises, the second
    # gives the other thread time while that exception waits. Only the main thread's loop
    # may raise it.
    done = run_script("""
        import threading, time
        stop, reader_saw = threading.Event(), []
        def read():
            with corvane.Dispatch("Corvane.Portula") as own:
                while not stop.is_set():
                    try:
                        own.Settings
                    except BaseException as error:
                        reader_saw.append(type(error).__name__)
        reader = threading.Thread(target=read)
        reader.start()
        port = free_udp_port()
        p = open_udp(port, port)  # sends to itself
        raised = []
        for error in [KeyboardInterrupt, SystemExit] * 5:
            calls = []
            def handler(error=error):
                calls.append(error)
                if len(calls) == 1:
                    raise error
                time.sleep(0.02)
            p.events.OnComm = handler
            p.Output = "1"
            p.Output = "2"
            try:
                corvane.run_until(lambda: len(calls) == 2, timeout=5)
            except BaseException as caught:
                raised.append(type(caught).__name__)
        stop.set()
        reader.join()
        print(raised == ["KeyboardInterrupt", "SystemExit"] * 5, reader_saw)
    """)
    assert (done.returncode, done.stderr, done.stdout) == (0, "", "True []\n")


@pytest.mark.parametrize("attach, error", [
    (lambda p: setattr(p.events, "NoSuchEvent", print), AttributeError),
    (lambda p: setattr(p.events, "OnComm", 42), TypeError),
    (lambda p: corvane.connect(p, object()), ValueError),
])
def test_a_handler_that_cannot_be_attached_fails_clearly(attach, error):
    with corvane.Dispatch("Corvane.Portula") as p:
        with pytest.raises(error):
            attach(p)
        p.events.oncomm = print
        assert p.events.OnComm is print
        del p.events.OnComm
        assert p.events.OnComm is None


def cp932_pairs_without_a_character():
    """Every lead byte of code page 932 before a trail that makes no character with it."""
    for lead in [*range(0x81, 0xA0), *range(0xE0, 0xFD)]:
        for trail in range(0x100):
            pair = bytes([lead, trail])
            try:
                pair.decode("cp932")
            except UnicodeDecodeError:
                yield pair


# What some of them read as: a byte without a character is U+DC80..U+DCFF, as Python's
# "surrogateescape" has it; the rest read as the code page says.
TEXT_OF = {b"A\x82": "A\udc82", b"\x85\x40": "\udc85@", b"\x82": "\udc82", b"\xfc": "\udcfc",
           b"\xff": "\uf8f3", b"\x80": "\x80", b"\xa0": "\uf8f0", b"\x82\xa0": "あ"}


def test_every_byte_crosses_python_text_unchanged():
    """p.Output = p2.Input2 forwards whatever arrived, byte for byte."""
    datagrams = [bytes([b]) for b in range(0x100)] + list(cp932_pairs_without_a_character())
    datagrams += list(TEXT_OF)
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as source, \
            socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sink:
        source.bind(("127.0.0.1", 0))
        sink.bind(("127.0.0.1", 0))
        sink.setblocking(False)
        receiver_port = free_udp_port()
        receiver = open_udp(receiver_port, source.getsockname()[1])
        forwarder = open_udp(free_udp_port(), sink.getsockname()[1])
        texts = []

        def forward():
            texts.append(receiver.Input2)
            forwarder.Output = texts[-1]

        receiver.events.OnComm = forward
        forwarded = []

        def all_forwarded(count):
            with contextlib.suppress(BlockingIOError):
                while True:
                    forwarded.append(sink.recv(16))
            return len(forwarded) >= count

        # In batches that the sockets' buffers hold whole.
        for start in range(0, len(datagrams), 64):
            for data in datagrams[start:start + 64]:
                source.sendto(data, ("127.0.0.1", receiver_port))
            count = min(start + 64, len(datagrams))
            assert corvane.run_until(lambda: all_forwarded(count), timeout=10), start
        corvane.release(receiver)
        corvane.release(forwarder)
    assert forwarded == datagrams
    text_of = dict(zip(datagrams, texts))
    assert {data: text_of[data] for data in TEXT_OF} == TEXT_OF
    assert all("\ufffd" not in text for text in texts)


def test_nested_asyncio_attachments_each_detach_only_their_own():
    import asyncio

    import corvane.asyncio

    async def main():
        outer = corvane.asyncio.attach()
        corvane.asyncio.attach().detach()
        arrived = asyncio.get_running_loop().create_future()
        port = free_udp_port()
        with open_udp(port, port) as p:
            p.events.OnComm = lambda: arrived.done() or arrived.set_result(p.Input2)
            p.Output = "still heard"
            heard = await asyncio.wait_for(arrived, 20)
        outer.detach()
        outer.detach()  # twice is harmless, and takes nothing of another's
        return heard

    assert asyncio.run(main()) == "still heard"
