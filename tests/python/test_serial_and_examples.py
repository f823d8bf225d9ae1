"""A serial exchange over a pseudo-terminal, and the examples as a user runs them."""
import contextlib
import os
import pathlib
import select
import socket
import subprocess
import sys
import threading

import corvane
from conftest import EXAMPLES_DIR, run_example, run_script

sys.path.insert(0, str(pathlib.Path(__file__).parents[1] / "port_control" / "support"))
import rfc2217_server  # noqa: E402  (the tests' RFC 2217 server, run here on a thread)

FRAME = b"\x01\x02\x1f1\x03\x04\xff"


def read_exactly(fd, count, timeout=5.0):
    data = b""
    while len(data) < count:
        ready, _, _ = select.select([fd], [], [], timeout)
        if not ready:
            break
        data += os.read(fd, count - len(data))
    return data


def test_a_serial_exchange_over_a_pseudo_terminal(serial_pty):
    received = []
    with corvane.Dispatch("Corvane.Portula") as port:
        port.CommPort = 7
        port.InputMode = 1  # binary
        port.RThreshold = 1
        port.events.OnComm = lambda: received.append((port.CommEvent, port.Input2))
        port.PortOpen = True
        port.Output = FRAME
        assert read_exactly(serial_pty, len(FRAME)) == FRAME
        os.write(serial_pty, b"answer\xff")
        assert corvane.run_until(lambda: sum(len(d) for _, d in received) >= 7, timeout=5)
        assert {event for event, _ in received} == {2}
        assert b"".join(data for _, data in received) == b"answer\xff"


def test_the_serial_example_talks_to_the_far_end(serial_pty):
    def echo():
        os.write(serial_pty, read_exactly(serial_pty, len(FRAME)))

    echoing = threading.Thread(target=echo)
    echoing.start()
    done = run_example("serial_port.py", 7)
    echoing.join()
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines()[-1] == "received: <SOH><STX><US>1<ETX><EOT><0xFF>"



def test_the_replug_example_hears_its_port_and_waits_when_it_goes(platform_home):
    # The adapter is a pseudo-terminal here, its pulling out the far end hanging up; the
    # example watches the machine's own udev for it to come back.
    near, far = os.openpty()
    (platform_home / "ports").write_text(f"7={os.ttyname(far)}\n")
    os.chmod(platform_home / "ports", 0o600)
    example = subprocess.Popen(
        [sys.executable, str(EXAMPLES_DIR / "serial_replug.py"), "7", "--for", "60"],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, bufsize=1,
        env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))
    os.close(far)
    try:
        def expect(start):
            ready, _, _ = select.select([example.stdout], [], [], 20)
            assert ready, f"no line starting {start!r}"
            line = example.stdout.readline()
            assert line.startswith(start), line + example.stderr.read()

        expect("port 7 open")
        os.write(near, b"\x01A")
        expect("received: 01 41")
        os.close(near)
        expect("the adapter went away; waiting for it")
        assert example.poll() is None  # still there, waiting
    finally:
        example.kill()
        example.wait()


def test_the_replug_example_waits_for_an_adapter_absent_at_the_start_within_its_time(
        platform_home):
    (platform_home / "ports").write_text("7=/dev/ttyUSB-never-plugged\n")
    os.chmod(platform_home / "ports", 0o600)
    done = subprocess.run(
        [sys.executable, str(EXAMPLES_DIR / "serial_replug.py"), "7", "--for", "1"],
        capture_output=True, text=True, timeout=60,
        env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == ["port 7 is not plugged in; waiting for it"]
    assert done.stderr == ""


def test_the_udp_example_exchanges_frames_between_two_controls():
    done = run_example("udp_pair.py", "--count", 4)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert [line for line in lines if line.startswith("received:")] == [
        f"received: <SOH><STX><US>{n}<ETX><EOT><0xFF>" for n in range(1, 5)]
    assert lines[-1] == "answer:   ACK 4"


def test_the_asyncio_example_exchanges_ten_frames():
    done = run_example("asyncio_frames.py", "--count", 10, "--interval", 0.05)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert sum(line.startswith("sent:") for line in lines) == 10
    assert [line for line in lines if line.startswith("received:")] == [
        f"received: <SOH><STX><US>{n}<ETX><EOT><0xFF>" for n in range(1, 11)]


def test_a_character_split_across_two_reads_keeps_both_bytes_in_text_mode(serial_pty):
    with corvane.Dispatch("Corvane.Portula") as port:
        port.CommPort = 7
        port.RThreshold = 1
        texts = []
        port.events.OnComm = lambda: texts.append(port.Input2)
        port.PortOpen = True
        for part in (b"\x82", b"\xa0"):  # the two bytes of "あ", one read each
            count = len(texts)
            os.write(serial_pty, part)
            assert corvane.run_until(lambda: len(texts) > count, timeout=5)
        assert texts == ["\udc82", "\uf8f0"]
        port.Output = "".join(texts)
        assert read_exactly(serial_pty, 2) == b"\x82\xa0"


def test_a_network_port_opens_against_a_server_on_another_thread_of_this_process(
        serial_pty, platform_home):
    """Opening waits for the server's answers; the server needs this interpreter to give
    them, so the wait must not hold it."""
    ports = platform_home / "ports"
    device = ports.read_text().split("=", 1)[1].strip()
    with socket.create_server(("127.0.0.1", 0)) as listener:
        ports.write_text(f"8=rfc2217://127.0.0.1:{listener.getsockname()[1]}\n")

        def serve():
            connection, _ = listener.accept()
            with connection, contextlib.suppress(OSError):
                rfc2217_server.serve(connection, device)

        server = threading.Thread(target=serve, daemon=True)  # never blocks the exit
        server.start()
        with corvane.Dispatch("Corvane.Portula") as port:
            port.CommPort = 8
            port.PortOpen = True
            port.Output = FRAME
            assert read_exactly(serial_pty, len(FRAME)) == FRAME
        server.join(timeout=10)
        assert not server.is_alive()  # it saw the port close


def test_ctrl_c_stops_opening_a_network_port_whose_server_stays_silent():
    # The server takes the connection and never answers: the open would wait for it until
    # its time-out (3 s). Ctrl+C ends the wait, and the control is as it was before.
    done = run_script("""
        import os, signal, socket, threading, time
        listener = socket.create_server(("127.0.0.1", 0))
        ports = os.path.join(os.environ["CORVANE_PLATFORM_HOME"], "ports")
        with open(ports, "w") as entries:
            entries.write(f"8=rfc2217://127.0.0.1:{listener.getsockname()[1]}\\n")
        os.chmod(ports, 0o600)
        p = corvane.Dispatch("Corvane.Portula")
        p.CommPort = 8
        threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT)).start()
        started = time.monotonic()
        try:
            p.PortOpen = True
        except KeyboardInterrupt:
            print("interrupted before the time-out:", time.monotonic() - started < 2.5)
        print("open:", p.PortOpen)
        # Nothing is left half open: the server sees the connection closed.
        connection, _ = listener.accept()
        connection.settimeout(10)
        while connection.recv(1024):
            pass
        port = free_udp_port()
        p.UDPUse, p.RemoteHost, p.RemotePort, p.LocalPort = True, "127.0.0.1", port, port
        p.RThreshold = 1
        heard = []
        p.events.OnComm = lambda: heard.append(p.Input2)
        p.PortOpen = True
        p.Output = "still works"
        print(corvane.run_until(lambda: heard, timeout=10), heard)
    """)
    assert (done.returncode, done.stderr) == (0, "")
    assert done.stdout == ("interrupted before the time-out: True\nopen: False\n"
                           "True ['still works']\n")
