"""Releasing controls: every way closes the control at once and lets its library go."""
import gc
import threading

import pytest

import corvane
from conftest import free_udp_port, open_udp, run_script


def with_block():
    with corvane.Dispatch("Corvane.Portula") as p:
        p.Settings = "1200,n,8,1"


def with_block_left_by_an_exception():
    with pytest.raises(RuntimeError):
        with corvane.Dispatch("Corvane.Portula"):
            raise RuntimeError("leaving")


def delete():
    p = corvane.Dispatch("Corvane.Portula")
    del p


def explicit_release():
    p = corvane.Dispatch("{4ACD93B7-4A1E-48E6-B6CE-BE0BA1785C43}")
    corvane.release(p)
    corvane.release(p)  # twice is harmless
    with pytest.raises(RuntimeError, match="released"):
        p.Settings


def handler_referring_back():
    # control -> handler -> control: only the cycle collector can free it.
    class Handler:
        def __init__(self, control):
            self.control = control

        def OnComm(self):
            self.control.Input2

    p = corvane.Dispatch("Corvane.Portula")
    corvane.connect(p, Handler(p))
    del p
    gc.collect()


def release_from_its_own_handler():
    port = free_udp_port()
    p = open_udp(port, port)  # sends to itself
    released = []

    def handler():
        corvane.release(p)
        released.append(p.__repr__())

    p.events.OnComm = handler
    p.Output = "bye"
    assert corvane.run_until(lambda: released, timeout=5)
    assert "released" in released[0]


def open_udp_control_dropped():
    port = free_udp_port()
    p = open_udp(port, free_udp_port())
    p.events.OnComm = lambda: None
    del p


@pytest.mark.parametrize("way", [with_block, with_block_left_by_an_exception, delete,
                                 explicit_release, handler_referring_back,
                                 release_from_its_own_handler, open_udp_control_dropped])
def test_every_way_of_letting_go_unloads_the_library(way):
    way()
    # The loader unloads a library only when its DllCanUnloadNow says yes.
    assert corvane._corvane._loaded_libraries() == []


def test_a_thread_that_ends_closes_the_controls_it_created():
    kept = []

    def work():
        port = free_udp_port()
        p = open_udp(port, port)
        p.events.OnComm = lambda: None
        kept.append(p)

    thread = threading.Thread(target=work)
    thread.start()
    thread.join()
    assert "released" in repr(kept[0])
    assert corvane._corvane._loaded_libraries() == []


def test_another_thread_gets_a_clear_error():
    with corvane.Dispatch("Corvane.Portula") as p:
        errors = []

        def use():
            for action in (lambda: p.Settings, lambda: setattr(p, "Settings", "x"),
                           lambda: corvane.release(p), lambda: setattr(p.events, "OnComm", print)):
                try:
                    action()
                except RuntimeError as error:
                    errors.append(str(error))

        thread = threading.Thread(target=use)
        thread.start()
        thread.join()
        assert len(errors) == 4 and all("another thread" in e for e in errors)
        assert p.Settings == "9600,n,8,1"


LEFT_ALIVE_AT_EXIT = {
    "plain": """
        a, b = free_udp_port(), free_udp_port()
        first, second = open_udp(a, b), open_udp(b, a)
        # The third control lives on in the handler alone: the second's release frees it.
        second.events.OnComm = lambda third=corvane.Dispatch("Corvane.Portula"): print(
            "arrived", second.Input2, flush=True)
        first.Output = "last words"
        corvane.run_until(lambda: False, timeout=0.3)
        keep = [first, second, corvane.Dispatch("Corvane.Portula")]
    """,
    # The handler refers to a future of a loop that is closed before the control goes,
    # and to the control itself: the control's release drops the last reference to it.
    "asyncio": """
        import asyncio, corvane.asyncio
        async def main():
            corvane.asyncio.attach()
            arrived = asyncio.get_running_loop().create_future()
            port = free_udp_port()
            p = open_udp(port, port)
            p.events.OnComm = lambda: arrived.done() or arrived.set_result(p.Input2)
            p.Output = "last words"
            print("arrived", await arrived, flush=True)
        asyncio.run(main())
    """,
}


@pytest.mark.parametrize("body", LEFT_ALIVE_AT_EXIT.values(), ids=LEFT_ALIVE_AT_EXIT.keys())
def test_a_program_ending_with_live_controls_exits_cleanly(body):
    done = run_script(body)
    assert (done.returncode, done.stderr) == (0, "")
    assert done.stdout == "arrived last words\n"
    # Nothing was left locked: registering again goes through at once.
    corvane.register(__import__("conftest").MODULE_PATH)


def test_a_program_ends_cleanly_while_daemon_threads_run_the_loop():
    # The main thread ends while daemon threads wait in the loop, run handlers and set
    # members: whatever each is doing then, the program ends quietly.
    body = """
        import threading
        heard = threading.Event()
        def talk_to_itself(wait):
            port = free_udp_port()
            p = open_udp(port, port)
            p.events.OnComm = lambda: p.Input2 and heard.set()
            while True:
                p.Output = "x"
                wait()
        for wait in (lambda: corvane.pump(1.0), lambda: corvane.run_until(lambda: False, 1.0)):
            threading.Thread(target=talk_to_itself, args=(wait,), daemon=True).start()
        print(heard.wait(10))
    """
    for _ in range(5):
        done = run_script(body)
        assert (done.returncode, done.stderr, done.stdout) == (0, "", "True\n")


def test_the_collector_frees_controls_whose_handlers_keep_their_events():
    # Each handler refers back to its control through the events view: only the cycle
    # collector can free them, and it must see through the view.
    done = run_script("""
        import gc, os, weakref
        descriptors = lambda: len(os.listdir("/proc/self/fd"))
        corvane.release(open_udp(free_udp_port(), free_udp_port()))  # the loop's own
        before = descriptors()
        controls = []
        for _ in range(100):
            p = open_udp(free_udp_port(), free_udp_port())
            events = p.events
            events.OnComm = lambda events=events: events
            controls.append(weakref.ref(p))
        del p, events
        gc.collect()
        print(sum(c() is not None for c in controls), descriptors() - before,
              corvane._corvane._loaded_libraries())
        # Traffic goes on as before.
        a, b = free_udp_port(), free_udp_port()
        first, second = open_udp(a, b), open_udp(b, a)
        heard = []
        second.events.OnComm = lambda: heard.append(second.Input2)
        first.Output = "after"
        print(corvane.run_until(lambda: heard, timeout=10), heard)
    """)
    assert (done.returncode, done.stderr) == (0, "")
    assert done.stdout == "0 0 []\nTrue ['after']\n"
