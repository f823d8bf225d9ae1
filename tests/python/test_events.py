"""Events: handlers run on the loop thread while the control raises them."""
import pytest

import corvane

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
