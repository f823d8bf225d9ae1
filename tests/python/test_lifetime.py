"""Releasing controls: every way closes the control at once and lets its library go, and a
forked child's release of what it inherited leaves its parent's ports alone."""
import contextlib
import gc
import pathlib
import socket
import subprocess
import sys
import threading

import pytest

import corvane
from conftest import free_udp_port, open_udp, run_script

sys.path.insert(0, str(pathlib.Path(__file__).parents[1] / "port_control" / "support"))
import rfc2217_server  # noqa: E402  (the tests' RFC 2217 server, run here on a thread)


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


# Opens a control on MODE's port (its own UDP port, a serial port over a pseudo-terminal, or
# that port behind a network serial server), then forks. "child ends": the child exits as a
# program does, releasing what it inherited at exit; the parent must still have what waited
# on its port, the device's lock, and what arrives next. "parent ends": the parent exits the
# same way and the daemon it leaves behind must go on receiving.
FORK_SCENARIO = """
import fcntl, os, socket, sys, corvane
mode, way, port, master, device = sys.argv[1:3] + [int(a) for a in sys.argv[3:5]] + sys.argv[5:]

def send(data):
    if mode == "udp":
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            s.sendto(data, ("127.0.0.1", port))
    else:
        os.write(master, data)

def receive(expected):
    corvane.run_until(lambda: "".join(received) == expected, timeout=5)
    return "".join(received)

def locked():
    try:
        fcntl.flock(other, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        return True
    fcntl.flock(other, fcntl.LOCK_UN)
    return False

p = corvane.Dispatch("Corvane.Portula")
if mode == "udp":
    p.UDPUse = True
    p.LocalPort = port
else:
    p.CommPort = port
p.RThreshold = 1
received = []
p.events.OnComm = lambda: received.append(p.Input2)
if mode == "serial":
    other = os.open(device, os.O_RDWR | os.O_NOCTTY)  # before the port takes it for itself
p.PortOpen = True

if way == "child ends":
    send(b"kept")
    child = os.fork()
    if child == 0:
        sys.exit(0)
    print("child", os.waitstatus_to_exitcode(os.waitpid(child, 0)[1]))
    if mode == "serial":
        print("locked", locked())
    print("received", receive("kept"))
    send(b"after")
    print("received", receive("keptafter"))
else:
    parent_alive, parent_leaves = os.pipe()
    if os.fork() != 0:
        sys.exit(0)
    os.close(parent_leaves)
    os.read(parent_alive, 1)  # the end of the file: the parent is gone
    send(b"after")
    print("daemon received", receive("after"))
"""


@contextlib.contextmanager
def network_serial_server(device):
    """A network serial server for `device`, on this process's thread: yields its port."""
    with socket.create_server(("127.0.0.1", 0)) as listener:
        def serve():
            with contextlib.suppress(OSError):
                connection, _ = listener.accept()
                with connection:
                    rfc2217_server.serve(connection, device)

        threading.Thread(target=serve, daemon=True).start()
        yield listener.getsockname()[1]


@pytest.mark.parametrize("way", ["child ends", "parent ends"])
@pytest.mark.parametrize("mode", ["udp", "serial", "network"])
def test_a_forked_child_leaves_the_parents_ports_and_a_daemon_keeps_receiving(
        mode, way, serial_pty, platform_home):
    ports = platform_home / "ports"
    device = ports.read_text().split("=", 1)[1].strip()
    with contextlib.ExitStack() as stack:
        port = {"udp": free_udp_port(), "serial": 7, "network": 8}[mode]
        if mode == "network":
            server = stack.enter_context(network_serial_server(device))
            ports.write_text(f"8=rfc2217://127.0.0.1:{server}\n")
        done = subprocess.run(
            [sys.executable, "-c", FORK_SCENARIO, mode, way, str(port), str(serial_pty), device],
            capture_output=True, text=True, timeout=60, pass_fds=(serial_pty,))
    assert (done.returncode, done.stderr) == (0, "")
    expected = {
        "child ends": ["child 0", *(["locked True"] if mode == "serial" else []),
                       "received kept", "received keptafter"],
        "parent ends": ["daemon received after"],
    }[way]
    assert done.stdout.splitlines() == expected


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
